#pragma once

// Whole-file reads and writes for tests that lay out files on disk, and content to fill them.

#include <QByteArray>
#include <QString>

namespace TestFiles {

// Creates the parent directories; true when every byte was written.
bool writeFile(const QString &path, const QByteArray &content);
// The whole file, or empty when it cannot be read.
QByteArray readFile(const QString &path);
// Deterministic bytes of the given length, different for every seed: half noise, half runs, so
// that packing has something to do.
QByteArray bytes(int length, int seed);

} // namespace TestFiles
