#pragma once

#include <QSet>
#include <QString>
#include <QStringList>

class LocalTree;

// Putting the game directory into the shape the rest of the synchronisation assumes: no
// temporary or link files, canonical names, and the list of IMG archives still to convert.
// Each check has a form that reads a LocalTree, the walk a cycle shares, and marks it stale
// when it changed the tree; the forms taking gameDir walk for themselves.
namespace Tidying {

// Surrounding white space removed, inner runs made one "_", lower case.
QString canonicalName(const QString &name);

// The eight archives the game reads in its own way; they are never IMG-managed.
bool isExcludedArchiveName(const QString &fileName);

// Removes every file below gameDir whose lower-cased suffix is "tmp", "lnk" or "link"
// (symbolic links included: the link itself goes). Failures are left as they are.
void removeTemporaryFiles(const QString &gameDir);
void removeTemporaryFiles(LocalTree &tree);

// Gives every directory below gameDir its canonical name, deepest first, so that one pass
// reaches every level. A rename that fails (the name is taken) leaves the directory as it is.
void convertDirectoryNames(const QString &gameDir);
void convertDirectoryNames(LocalTree &tree);

// Gives every file below gameDir its canonical name; a taken name leaves the file as it is.
void convertFileNames(const QString &gameDir);
void convertFileNames(LocalTree &tree);

// Whether a static-header archive is laid out as the rebuild leaves it: the placeholder, then
// every element packed from the first data sector on in directory order, and nothing behind
// the last. Element updates cut short before the rebuild stage (a grown element moved behind
// the others, data appended but not yet listed) leave another layout, and the set of archives
// awaiting the rebuild is lost with the process; this is how the next cycle still finds them.
// Reads only the directory.
bool isCompactArchive(const QString &path);

// Absolute paths, in walk order, of the IMG archives below gameDir that the launcher manages
// and that are not yet in the static-header layout, or not compacted in it. plainFiles: paths
// relative to gameDir that the remote list names as plain files, whose bytes must stay as
// they are.
QStringList archivesToConvert(const QString &gameDir, const QSet<QString> &plainFiles = {});
QStringList archivesToConvert(LocalTree &tree, const QSet<QString> &plainFiles = {});

// Whether a file of this name is a temporary or a link that the tidying removes.
bool isTemporaryName(const QString &fileName);

} // namespace Tidying
