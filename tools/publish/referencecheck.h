#pragma once

// What in a reference game directory cannot be published as it is. Every player's launcher
// deletes what the list no longer names and takes what the host serves, so anything that would
// reach them incomplete or altered refuses the whole publication instead.

#include <QString>
#include <QStringList>

namespace ReferenceCheck {

// One line per problem, "path: reason", relative to gameDir and in walk order; empty when the
// tree can be published. Reads every directory, the head of every file and the directory of
// every IMG archive the launcher manages.
QStringList problems(const QString &gameDir);

// Why outDir cannot take the publication of gameDir (one inside the other), or empty.
QString overlap(const QString &gameDir, const QString &outDir);

} // namespace ReferenceCheck
