#include "img/imgformat.h"

#include <QFileDevice>
#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <limits>

namespace ImgArchive {

const char staticMagic[4] = { 'V', '2', 'S', 'H' };
const char placeholderName[20] = "v2staticHeader.v2sh";

namespace {
// 16 KiB per read: few system calls, small memory whatever the directory's size.
constexpr qint64 chunkCapacity = 512;
} // namespace

bool RawEntry::isPlaceholder() const
{
    return name.startsWith(placeholderName);
}

void encodeEntry(
    char *out, quint32 offset, quint16 streamingSize, quint16 sizeInArchive, const QByteArray &name)
{
    qToLittleEndian<quint32>(offset, out);
    qToLittleEndian<quint16>(streamingSize, out + 4);
    qToLittleEndian<quint16>(sizeInArchive, out + 6);
    std::memset(out + 8, 0, nameFieldSize);
    std::memcpy(out + 8, name.constData(), size_t(std::min<int>(name.size(), nameFieldSize)));
}

QByteArray staticHeader(qint32 count)
{
    QByteArray header(int(headerSize + entrySize), '\0');
    std::memcpy(header.data(), staticMagic, 4);
    qToLittleEndian<qint32>(count, header.data() + 4);
    encodeEntry(header.data() + headerSize, 0, 0, 0, QByteArray(placeholderName));
    return header;
}

DirectoryReader::DirectoryReader(QFileDevice &file)
    : file(file)
    , fileSize(file.size())
{
    char field[4];
    if (!file.seek(4) || file.read(field, 4) != 4)
        return;
    const qint32 claimed = qFromLittleEndian<qint32>(field);
    const qint64 held = std::max<qint64>(0, (fileSize - headerSize) / entrySize);
    claimedCount = std::clamp<qint64>(claimed, 0, held);
    rewind();
}

bool DirectoryReader::next(RawEntry &entry)
{
    while (index < count) {
        if (headerSize + index * entrySize >= dataStart) {
            count = index;
            return false;
        }
        if (index < chunkFirst || index >= chunkFirst + chunkEntries) {
            const qint64 wanted = std::min(chunkCapacity, count - index);
            chunk.resize(int(wanted * entrySize));
            qint64 got = 0;
            if (file.seek(headerSize + index * entrySize))
                got = std::max<qint64>(0, file.read(chunk.data(), chunk.size()));
            chunkFirst = index;
            chunkEntries = got / entrySize;
            if (chunkEntries == 0) {
                // The file shrank or cannot be read: the directory ends here.
                count = index;
                return false;
            }
        }
        const char *record = chunk.constData() + (index - chunkFirst) * entrySize;
        ++index;
        entry.offset = qFromLittleEndian<quint32>(record);
        entry.streamingSize = qFromLittleEndian<quint16>(record + 4);
        entry.sizeInArchive = qFromLittleEndian<quint16>(record + 6);
        if (entry.sectors() > 0) {
            const qint64 start = qint64(entry.offset) * sectorSize;
            if (start < headerSize + index * entrySize || start >= fileSize)
                continue;
            dataStart = std::min(dataStart, start);
        }
        const char *name = record + 8;
        entry.name = QByteArray(name, int(std::find(name, name + nameFieldSize, '\0') - name));
        return true;
    }
    return false;
}

void DirectoryReader::rewind()
{
    index = 0;
    count = claimedCount;
    dataStart = std::numeric_limits<qint64>::max();
}

} // namespace ImgArchive
