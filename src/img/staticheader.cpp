#include "img/staticheader.h"

#include "app/runstate.h"
#include "img/imgformat.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace ImgArchive {

namespace {

// Element data is copied through a buffer of this size, so memory stays small even for an
// element of 128 MiB.
constexpr qint64 copyChunk = 1 << 20;
// Directory records are written in batches of this many.
constexpr int recordBatch = 512;

void reportFile(QObject *receiver, const QString &fileName)
{
    if (receiver)
        QMetaObject::invokeMethod(receiver, "updateCurrentFile", Qt::DirectConnection,
            Q_ARG(QString, fileName), Q_ARG(QString, QString()));
}

void reportProgress(QObject *receiver, quint64 maxValue, quint64 currentValue)
{
    if (receiver)
        QMetaObject::invokeMethod(receiver, "updateProgressBar", Qt::DirectConnection,
            Q_ARG(quint64, maxValue), Q_ARG(quint64, currentValue));
}

// Removed entries, space-named elements and the placeholder of an earlier rebuild are not
// carried over.
bool isCarried(const RawEntry &entry)
{
    return !entry.isPlaceholder() && !entry.name.isEmpty()
        && !QString::fromLocal8Bit(entry.name).contains(QLatin1Char(' '));
}

// The name as the rebuilt directory stores it: re-encoded as UTF-8, unless the local code page
// could not decode it faithfully or the UTF-8 form no longer fits the field; then the original
// bytes stay rather than an altered or cut name.
QByteArray carriedName(const RawEntry &entry)
{
    const QString name = QString::fromLocal8Bit(entry.name);
    const QByteArray utf8 = name.toUtf8();
    if (utf8.size() > nameFieldSize || name.toLocal8Bit() != entry.name)
        return entry.name;
    return utf8;
}

// Copies what the source holds of [from, from + length) to the current position of target;
// a short source leaves the rest to the zeros of the target's later extension.
bool copyRange(QFile &source, qint64 from, qint64 length, QFile &target, QByteArray &buffer)
{
    length = std::min(length, source.size() - from);
    if (length <= 0 || !source.seek(from))
        return true;
    while (length > 0) {
        const qint64 got = source.read(buffer.data(), std::min<qint64>(length, buffer.size()));
        if (got <= 0)
            return true;
        if (target.write(buffer.constData(), got) != got)
            return false;
        length -= got;
    }
    return true;
}

std::filesystem::path nativePath(const QString &path)
{
#ifdef Q_OS_WIN
    return std::filesystem::path(QDir::toNativeSeparators(path).toStdWString());
#else
    return std::filesystem::path(QFile::encodeName(path).toStdString());
#endif
}

// Writes the rebuilt archive into target. Returns false on a write failure or a stop request.
bool writeRebuilt(QFile &source, QFile &target, qint64 kept, qint64 roomFor, QObject *receiver)
{
    // One directory area of 200 sectors as long as it holds the directory; an archive of more
    // than 12798 elements gets more.
    const quint64 firstSector = rebuiltFirstSector(std::max(kept, roomFor) + 1);

    if (target.write(staticHeader(qint32(kept + 1))) != headerSize + entrySize)
        return false;
    DirectoryReader reader(source);
    RawEntry entry;
    QByteArray records;
    records.reserve(recordBatch * entrySize);
    quint64 sector = firstSector;
    qint64 written = 0;
    while (reader.next(entry)) {
        if (!isCarried(entry))
            continue;
        if (written == kept)
            return false;
        records.resize(records.size() + entrySize);
        encodeEntry(records.data() + records.size() - entrySize, quint32(sector),
            entry.streamingSize, entry.sizeInArchive, carriedName(entry));
        sector += entry.sectors();
        ++written;
        if (records.size() == recordBatch * entrySize) {
            if (target.write(records) != records.size())
                return false;
            records.clear();
        }
    }
    // The count is in the header already; a file that changed under us must not get a
    // directory that disagrees with it.
    if (written != kept || target.write(records) != records.size())
        return false;
    if (!target.resize(qint64(firstSector) * sectorSize))
        return false;

    QByteArray buffer(int(copyChunk), '\0');
    reader.rewind();
    sector = firstSector;
    quint64 copied = 0;
    while (reader.next(entry)) {
        if (!isCarried(entry))
            continue;
        if (quitRequested.load(std::memory_order_relaxed))
            return false;
        const qint64 length = qint64(entry.sectors()) * sectorSize;
        if (!target.seek(qint64(sector) * sectorSize)
            || !copyRange(source, qint64(entry.offset) * sectorSize, length, target, buffer))
            return false;
        sector += entry.sectors();
        reportProgress(receiver, quint64(kept), ++copied);
    }
    // The file ends with the last element's data even when its source was cut short.
    return target.resize(qint64(sector) * sectorSize) && target.flush();
}

} // namespace

bool isStaticHeaderArchive(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = file.read(headerSize + 8 + 19);
    if (head.size() < headerSize + 8 + 19)
        return false;
    return std::memcmp(head.constData(), staticMagic, 4) == 0
        && qFromLittleEndian<qint32>(head.constData() + 4) >= 1
        && std::memcmp(head.constData() + headerSize + 8, placeholderName, 19) == 0;
}

QString staticHeaderTempPath(const QString &path)
{
    const QFileInfo info(path);
    return info.absolutePath() + QLatin1Char('/') + info.baseName() + QLatin1String(".img.tmp");
}

bool convertToStaticHeader(const QString &path, QObject *receiver, qint64 roomFor)
{
    reportFile(receiver, QFileInfo(path).fileName());
    reportProgress(receiver, 0, 0);

    QFile source(path);
    if (!source.open(QIODevice::ReadOnly))
        return false;

    // First pass: how many elements are kept and how much data they claim, without holding the
    // directory, whose size is bounded only by the file's.
    qint64 kept = 0;
    qint64 keptBytes = 0;
    {
        DirectoryReader reader(source);
        RawEntry entry;
        while (reader.next(entry)) {
            if (!isCarried(entry))
                continue;
            ++kept;
            keptBytes += qint64(entry.sectors()) * sectorSize;
        }
    }
    // Elements that do not overlap claim at most the file plus the tail of one element cut
    // short. Far more means overlapping entries, and rebuilding them would turn a small hostile
    // file into one of terabytes.
    const qint64 sourceSectorsBytes = (source.size() + sectorSize - 1) / sectorSize * sectorSize;
    if (keptBytes > sourceSectorsBytes + maxElementSize || kept + 1 > 0x7fffffff)
        return false;

    const QString tempPath = staticHeaderTempPath(path);
    if (QFileInfo(tempPath).absoluteFilePath() == QFileInfo(path).absoluteFilePath())
        return false;
    QFile target(tempPath);
    if (!target.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const bool written
        = writeRebuilt(source, target, kept, std::min<qint64>(roomFor, 0x7ffffffe), receiver);
    target.close();
    source.close();
    if (!written || target.error() != QFileDevice::NoError) {
        QFile::remove(tempPath);
        return false;
    }
    // Moved over the archive in one step: deleting first would leave, if the move then failed,
    // the only copy in a ".tmp" file, which the next cycle's tidying deletes.
    std::error_code error;
    std::filesystem::rename(nativePath(tempPath), nativePath(path), error);
    if (error) {
        QFile::remove(tempPath);
        return false;
    }
    return true;
}

} // namespace ImgArchive
