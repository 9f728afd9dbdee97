#pragma once

#include <QString>

// The launcher's own files beside it (state, server list, picture cache, settings, installer)
// are written by a process that runs with administrator rights: a link planted in place of one
// would have that write land wherever the link points.
namespace OwnFile {

// Call before writing path: a link in its place (a file or directory link, a Windows junction)
// is removed, the link alone, so that the write makes a plain file or directory there. False
// when a link is there and cannot be removed.
bool clearLink(const QString &path);

} // namespace OwnFile
