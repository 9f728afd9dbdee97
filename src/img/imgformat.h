#pragma once

// The bytes of version-2 IMG archives and of their static-header layout, and a reader of their
// directories that never trusts the entry count further than the file's length.

#include <QByteArray>
#include <QtGlobal>

class QFileDevice;

namespace ImgArchive {

constexpr qint64 sectorSize = 2048;
constexpr int entrySize = 32;
constexpr int nameFieldSize = 24;
// Magic and count in front of the first directory entry.
constexpr qint64 headerSize = 8;
// The static-header layout reserves 200 sectors for the directory; data starts behind them.
constexpr quint32 dataStartSector = 200;
constexpr qint64 directoryAreaSize = dataStartSector * sectorSize;
// The first data sector of a rebuilt archive whose directory has this many entries (placeholder
// included): as many directory areas as the directory needs, so it never runs into the data and
// keeps room to grow.
constexpr quint64 rebuiltFirstSector(qint64 entries)
{
    return quint64((headerSize + entrySize * entries + directoryAreaSize - 1) / directoryAreaSize)
        * dataStartSector;
}
// Element entries that fit into the directory area next to the placeholder entry.
constexpr int maxStaticElements = int((directoryAreaSize - headerSize) / entrySize) - 1;
// Sizes are 16-bit sector counts, so no element is larger than this.
constexpr qint64 maxElementSize = 0xffff * sectorSize;

extern const char staticMagic[4];
extern const char placeholderName[20];

// One 32-byte directory entry as it is on disk; name holds the bytes before the first NUL.
struct RawEntry
{
    quint32 offset = 0;
    quint16 streamingSize = 0;
    quint16 sizeInArchive = 0;
    QByteArray name;

    quint32 sectors() const { return sizeInArchive ? sizeInArchive : streamingSize; }
    bool isPlaceholder() const;
};

// Writes the 32-byte record; name must already fit into the 24-byte field.
void encodeEntry(char *out, quint32 offset, quint16 streamingSize, quint16 sizeInArchive,
    const QByteArray &name);

// "V2SH", the count and the placeholder entry: the first 40 bytes of a static-header archive.
QByteArray staticHeader(qint32 count);

// Reads the entries of an archive's directory in sequence, a bounded chunk at a time. The
// count at byte 4 is believed only as far as the file holds whole entries, and the directory
// ends where the first element data begins, so a hostile or damaged count can neither make the
// reader loop nor allocate beyond the file's length, nor turn element data into entries. An
// element whose data would begin inside the directory or past the end of the file has no data
// of its own and is not yielded. The reader seeks before every chunk, so the device may be
// used for other reads between calls.
class DirectoryReader
{
public:
    explicit DirectoryReader(QFileDevice &file);

    // An upper bound of the entries still to come: what the count claims, as far as the file
    // holds whole entries.
    qint64 entryLimit() const { return count; }
    bool next(RawEntry &entry);
    void rewind();

private:
    QFileDevice &file;
    qint64 fileSize = 0;
    qint64 count = 0;
    qint64 claimedCount = 0;
    qint64 index = 0;
    qint64 dataStart = 0;
    QByteArray chunk;
    qint64 chunkFirst = 0;
    qint64 chunkEntries = 0;
};

} // namespace ImgArchive
