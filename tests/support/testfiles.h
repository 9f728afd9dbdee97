#pragma once

// Whole-file reads and writes for tests that lay out files on disk.

#include <QByteArray>
#include <QString>

namespace TestFiles {

// Creates the parent directories; true when every byte was written.
bool writeFile(const QString &path, const QByteArray &content);
// The whole file, or empty when it cannot be read.
QByteArray readFile(const QString &path);

} // namespace TestFiles
