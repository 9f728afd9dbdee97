#pragma once

#include <QByteArray>
#include <QString>

class FileSystem;

// The remote list decides what is written and deleted on the player's disk, so before anything
// is planned from it, every item that could reach outside the game directory, or that the local
// scan could never see again (and so would fetch on every cycle), is dropped.
namespace RemoteList {

// Reads body into list (empty) when it is a whole list: text ending with a line feed, every line
// understood, an "[entries]" section with at least one entry, and the element section of every
// archive it names. False otherwise; the list is then not to be used.
bool read(const QByteArray &body, FileSystem &list);

// Why a path from a list could not be kept by the launcher (first fault found), or None: a
// hidden or non-canonical component, a path no game directory can hold (SafePath), or, for a
// file, a temporary or link name the tidying deletes. The publisher refuses what this names.
enum class PathFault { None, Hidden, NotCanonical, Unstorable, Temporary };
PathFault pathFault(const QString &path, bool isFile);

// What Windows compares paths by: two paths with the same key are one file there.
QString windowsKey(const QString &path);

// Whether an element name can stand in a list and in an archive's name field.
bool isListableElementName(const QString &name);

// Drops directories and entries whose path is not a safe relative path of canonical, visible
// components, that the tidying would delete, or that Windows holds as one with a path listed
// before (windowsKey); elements whose name is not a plain name that
// fits an archive's name field or repeats another's but for case, and elements whose size is 0
// or beyond what an archive can hold. Adds the parent directories of every entry that the list
// forgot, so that the directory creation makes them and the next scan does not take them for
// extras.
void sanitize(FileSystem &list);

} // namespace RemoteList
