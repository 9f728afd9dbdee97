#pragma once

// Recognising the static-header layout and rebuilding any version-2 archive into it, compacted.

#include <QString>

class QObject;

namespace ImgArchive {

// True for a file with the magic "V2SH", a count of at least 1 and the placeholder as its first
// directory entry.
bool isStaticHeaderArchive(const QString &path);

// The temporary file the rebuild writes: the archive's directory, its base name and ".img.tmp".
QString staticHeaderTempPath(const QString &path);

// Rebuilds the archive at path in place: kept elements packed from the first data sector on, in
// their directory order, without gaps. Progress goes to the receiver's updateCurrentFile(QString,
// QString) and updateProgressBar(quint64 maxValue, quint64 currentValue), called directly, when
// a receiver is given. Returns whether the archive was replaced; on every failure (including a
// stop request) the archive is left exactly as it was and no temporary file stays behind.
// roomFor: the directory area is made large enough for at least this many elements, so that
// an archive about to grow past what its area holds gets the room first.
bool convertToStaticHeader(const QString &path, QObject *receiver = nullptr, qint64 roomFor = 0);

} // namespace ImgArchive
