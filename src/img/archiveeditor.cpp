#include "img/archiveeditor.h"

#include "img/imgformat.h"

#include <QSaveFile>

#include <algorithm>
#include <cstring>

namespace ImgArchive {

namespace {

// No archive of the game comes near this; a directory of more entries is damage or an attack,
// and holding it would cost memory in proportion to a hostile file.
constexpr qint64 maxEditorEntries = 1 << 20;

constexpr quint64 maxSector = 0xffffffffu;

quint32 sectorsFor(qint64 bytes)
{
    return quint32((bytes + sectorSize - 1) / sectorSize);
}

qint64 directoryBytes(qint64 elementEntries)
{
    return headerSize + entrySize * (elementEntries + 1);
}

} // namespace

bool fitsNameField(const QString &name)
{
    return !name.isEmpty() && !name.contains(QChar(0)) && name.toUtf8().size() <= nameFieldSize;
}

ArchiveEditor::ArchiveEditor(const QString &path, QObject *parent)
    : QObject(parent)
    , path(path)
{
}

bool ArchiveEditor::open()
{
    if (isOpen())
        close();
    file.setFileName(path);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    if (!readDirectory()) {
        directory.clear();
        liveEntries = 0;
        file.close();
        return false;
    }
    return true;
}

bool ArchiveEditor::readDirectory()
{
    directory.clear();
    lookupValid = false;
    const qint64 fileSectors = (file.size() + sectorSize - 1) / sectorSize;
    DirectoryReader reader(file);
    RawEntry raw;
    while (reader.next(raw)) {
        if (raw.isPlaceholder() || raw.name.isEmpty())
            continue;
        // An empty element placed past the end of the file would make the next append write
        // there, up to 8 TiB away.
        if (raw.offset > fileSectors)
            continue;
        if (directory.size() >= maxEditorEntries)
            return false;
        DirectoryEntry entry;
        entry.offset = raw.offset;
        entry.streamingSize = raw.streamingSize;
        entry.sizeInArchive = raw.sizeInArchive;
        entry.name = QString::fromUtf8(raw.name);
        entry.nameBytes = raw.name;
        directory.append(entry);
    }
    liveEntries = directory.size();
    invalidate();
    changed = false;
    return true;
}

void ArchiveEditor::close()
{
    if (!isOpen())
        return;
    // An archive that was only read is left byte for byte as it was.
    if (changed)
        writeDirectory();
    file.flush();
    file.close();
    directory.clear();
    liveEntries = 0;
    invalidate();
}

int ArchiveEditor::findEntry(const QString &name) const
{
    if (!isOpen() || name.isEmpty())
        return -1;
    if (!lookupValid) {
        lookup.clear();
        lookup.reserve(directory.size());
        for (int i = directory.size() - 1; i >= 0; --i) {
            if (!directory[i].name.isEmpty())
                lookup.insert(directory[i].name.toCaseFolded(), i);
        }
        lookupValid = true;
    }
    return lookup.value(name.toCaseFolded(), -1);
}

void ArchiveEditor::removeEntry(int index)
{
    if (!isOpen() || index < 0 || index >= directory.size() || directory[index].name.isEmpty())
        return;
    directory[index].name.clear();
    --liveEntries;
    invalidate();
}

QByteArray ArchiveEditor::readEntry(int index)
{
    if (!isOpen() || index < 0 || index >= directory.size() || directory[index].name.isEmpty())
        return QByteArray();
    const DirectoryEntry &entry = directory[index];
    const qint64 start = qint64(entry.offset) * sectorSize;
    // Never more than the file holds, so a damaged size cannot make us allocate 128 MiB.
    const qint64 length = std::min(qint64(entry.sectors()) * sectorSize, file.size() - start);
    if (length <= 0 || !file.seek(start))
        return QByteArray();
    return file.read(length);
}

bool ArchiveEditor::appendEntry(const QString &name, const QByteArray &data)
{
    if (!isOpen() || !fitsNameField(name) || data.size() > maxElementSize)
        return false;
    const quint32 sectors = sectorsFor(data.size());
    const quint64 sector = freeSector();
    if (sector + sectors > maxSector)
        return false;
    qint64 dataStart = firstDataByte();
    if (sectors > 0)
        dataStart = std::min<qint64>(dataStart, qint64(sector) * sectorSize);
    if (directoryBytes(liveEntries + 1) > dataStart)
        return false;
    if (!writeElement(sector, data))
        return false;
    DirectoryEntry entry;
    entry.offset = quint32(sector);
    entry.streamingSize = quint16(sectors);
    entry.name = name;
    entry.nameBytes = name.toUtf8();
    directory.append(entry);
    ++liveEntries;
    changed = true;
    // Appends come by the thousand; keep the lookup and the layout instead of rescanning.
    if (lookupValid && !lookup.contains(name.toCaseFolded()))
        lookup.insert(name.toCaseFolded(), directory.size() - 1);
    layoutFreeSector = std::max<quint64>(layoutFreeSector, sector + sectors);
    if (sectors > 0) {
        layoutFirstData = layoutHasData
            ? std::min<qint64>(layoutFirstData, qint64(sector) * sectorSize)
            : qint64(sector) * sectorSize;
        layoutHasData = true;
    }
    return true;
}

bool ArchiveEditor::hasRoomForEntry() const
{
    return isOpen() && directoryBytes(liveEntries + 1) <= firstDataByte();
}

bool ArchiveEditor::replaceEntry(int index, const QByteArray &data)
{
    if (!isOpen() || index < 0 || index >= directory.size() || directory[index].name.isEmpty()
        || data.size() > maxElementSize)
        return false;
    DirectoryEntry &entry = directory[index];
    const quint32 sectors = sectorsFor(data.size());
    quint64 sector = entry.offset;
    if (entry.sectors() < sectors) {
        sector = freeSector();
        if (sector + sectors > maxSector)
            return false;
    }
    if (!writeElement(sector, data))
        return false;
    entry.offset = quint32(sector);
    entry.streamingSize = quint16(sectors);
    entry.sizeInArchive = 0;
    // Names are unchanged, so the lookup stays.
    layoutValid = false;
    changed = true;
    return true;
}

bool ArchiveEditor::writeDirectory()
{
    if (!isOpen())
        return false;
    if (directoryBytes(liveEntries) > firstDataByte())
        return false;
    QVector<DirectoryEntry> live;
    live.reserve(liveEntries);
    for (const DirectoryEntry &entry : qAsConst(directory)) {
        if (!entry.name.isEmpty())
            live.append(entry);
    }
    std::stable_sort(live.begin(), live.end(),
        [](const DirectoryEntry &a, const DirectoryEntry &b) { return a.name < b.name; });

    QByteArray bytes = staticHeader(qint32(live.size() + 1));
    bytes.resize(int(directoryBytes(live.size())));
    char *record = bytes.data() + headerSize + entrySize;
    for (const DirectoryEntry &entry : qAsConst(live)) {
        encodeEntry(
            record, entry.offset, entry.streamingSize, entry.sizeInArchive, entry.nameBytes);
        record += entrySize;
    }
    directory = live;
    invalidate();
    changed = false;
    return file.seek(0) && file.write(bytes) == bytes.size()
        && file.resize(qint64(freeSector()) * sectorSize) && file.flush();
}

quint32 ArchiveEditor::entrySectors(int index) const
{
    if (!isOpen() || index < 0 || index >= directory.size() || directory[index].name.isEmpty())
        return 0;
    return directory[index].sectors();
}

quint32 ArchiveEditor::nextFreeSector() const
{
    if (!isOpen())
        return 0;
    return quint32(std::min(freeSector(), maxSector));
}

quint64 ArchiveEditor::freeSector() const
{
    updateLayout();
    return layoutFreeSector;
}

qint64 ArchiveEditor::firstDataByte() const
{
    updateLayout();
    return layoutFirstData;
}

void ArchiveEditor::updateLayout() const
{
    if (layoutValid)
        return;
    // The greatest end of any live element rather than the end of the one with the greatest
    // offset: the two agree for every archive whose elements do not overlap, and for a damaged
    // one with overlaps this keeps an append from landing inside another element's data. Never
    // below the first data sector, so new data stays out of the directory area even when the
    // only elements are empty ones placed at sector 0.
    layoutFreeSector = dataStartSector;
    // Where the directory has to stop: the first live element data, or the reserved area when
    // there is none yet.
    layoutFirstData = directoryAreaSize;
    bool anyData = false;
    for (const DirectoryEntry &entry : directory) {
        if (entry.name.isEmpty())
            continue;
        layoutFreeSector
            = std::max<quint64>(layoutFreeSector, quint64(entry.offset) + entry.sectors());
        if (entry.sectors() == 0)
            continue;
        const qint64 start = qint64(entry.offset) * sectorSize;
        layoutFirstData = anyData ? std::min(layoutFirstData, start) : start;
        anyData = true;
    }
    if (!anyData) {
        // Nothing marks where the directory area ends but the file's length: a rebuild that
        // made room for a large directory leaves an archive of that length.
        const quint64 end = quint64((file.size() + sectorSize - 1) / sectorSize);
        layoutFreeSector = std::max<quint64>(layoutFreeSector, end);
        layoutFirstData = std::max<qint64>(layoutFirstData, qint64(end) * sectorSize);
    }
    layoutHasData = anyData;
    layoutValid = true;
}

void ArchiveEditor::invalidate()
{
    layoutValid = false;
    lookupValid = false;
    changed = true;
}

bool ArchiveEditor::writeElement(quint64 sector, const QByteArray &data)
{
    static const char zeros[sectorSize] = {};
    const qint64 padding = (sectorSize - data.size() % sectorSize) % sectorSize;
    return file.seek(qint64(sector) * sectorSize) && file.write(data) == data.size()
        && file.write(zeros, padding) == padding && file.flush();
}

bool createEmptyArchive(const QString &path)
{
    QByteArray bytes = staticHeader(1);
    bytes.resize(int(directoryAreaSize));
    std::memset(
        bytes.data() + headerSize + entrySize, 0, size_t(bytes.size() - headerSize - entrySize));
    // Written next to the old file and moved over it, so a failure keeps what was there.
    QSaveFile out(path);
    return out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size() && out.commit();
}

} // namespace ImgArchive
