#pragma once

#include <QString>

// The one place that decides whether a path taken from a file list may be written or deleted.
// The remote list and the state file decide what the launcher changes on the player's disk,
// so nothing they name may reach outside the game directory: not through "..", an absolute
// or drive path, a backslash, nor a symbolic link (or junction) inside the game directory.
namespace SafePath {

// Far beyond any path of the game, and what Windows can hold below a game directory.
constexpr int maxLength = 240;
constexpr int maxDepth = 32;

// A relative "/" path made of plain components: not empty, at most maxLength characters and
// maxDepth components, no leading "/", no control character and none of \ : < > " | ? *, no
// empty, "." or ".." component, and none that Windows would not store under that very name
// (a device name such as "nul.txt" or "COM1", a name ending in a dot or a blank).
bool isSafeRelative(const QString &relative);

// A single plain component (an IMG element name, a file name).
bool isPlainName(const QString &name);

// base + "/" + relative when relative is safe and no component of it that exists on disk is a
// symbolic link or junction; otherwise an empty string. Every write, rename and delete of the
// synchronisation goes through this. finalMayBeLink allows the last component to be a link,
// for removing that link itself (never what it points to).
QString resolve(const QString &base, const QString &relative, bool finalMayBeLink = false);

// Moves from over to, replacing to when it exists, in one step where the system allows it, so
// that a crash leaves either the old or the new file, never none.
bool replaceFile(const QString &from, const QString &to);

} // namespace SafePath
