#include "img/staticheader.h"

#include "app/runstate.h"
#include "img/imgformat.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaMethod>
#include <QObject>
#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace ImgArchive {

namespace {

// Runs of adjacent element data are copied in blocks of this size, whatever the elements' sizes.
// Not larger: the buffer then stays in the processor's cache between read and write, and on
// Linux a write of a MiB or more makes the page cache allocate large folios, which can take
// longer than the copy itself.
constexpr qint64 copyBlock = 128 << 10;
// Directory records are written in batches of this many.
constexpr int recordBatch = 512;

void reportFile(QObject *receiver, const QString &fileName)
{
    if (receiver)
        QMetaObject::invokeMethod(receiver, "updateCurrentFile", Qt::DirectConnection,
            Q_ARG(QString, fileName), Q_ARG(QString, QString()));
}

// The receiver's updateProgressBar, looked up once: a call by name for each of thousands of
// elements costs a visible share of a rebuild that runs at disk speed.
class ProgressReport
{
public:
    explicit ProgressReport(QObject *receiver)
        : receiver(receiver)
    {
        if (receiver)
            method = receiver->metaObject()->method(receiver->metaObject()->indexOfMethod(
                QMetaObject::normalizedSignature("updateProgressBar(quint64,quint64)")));
    }

    void operator()(quint64 maxValue, quint64 currentValue) const
    {
        if (receiver)
            method.invoke(receiver, Qt::DirectConnection, Q_ARG(quint64, maxValue),
                Q_ARG(quint64, currentValue));
    }

private:
    QObject *receiver;
    QMetaMethod method;
};

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

// Copies ranges of the source to consecutive places of the target. Ranges that follow each
// other in the source, as the elements of an archive mostly do, are joined into one run that is
// copied a block at a time. What the source does not hold of a range (it is cut short) is left
// to the zeros of the target's later extension, so the next range still lands at its place.
class RunCopier
{
public:
    RunCopier(QFile &source, QFile &target, qint64 targetStart)
        : source(source)
        , target(target)
        , buffer(int(copyBlock), Qt::Uninitialized)
        , runTarget(targetStart)
    {
    }

    bool add(qint64 from, qint64 length)
    {
        if (length <= 0)
            return true;
        if (runLength > 0 && from != runFrom + runLength) {
            if (!copyFront(runLength))
                return false;
        }
        if (runLength == 0)
            runFrom = from;
        runLength += length;
        return runLength < copyBlock || copyFront(runLength / copyBlock * copyBlock);
    }

    bool finish() { return copyFront(runLength); }

private:
    // Copies the first length bytes of the run, or what the source holds of them.
    bool copyFront(qint64 length)
    {
        while (length > 0) {
            const qint64 wanted = std::min<qint64>(length, buffer.size());
            qint64 got = 0;
            if (!sourceEnded && (source.pos() == runFrom || source.seek(runFrom)))
                got = std::max<qint64>(0, source.read(buffer.data(), wanted));
            if (got > 0
                && ((target.pos() != runTarget && !target.seek(runTarget))
                    || target.write(buffer.constData(), got) != got))
                return false;
            // Short only where the source ends; the rest of this run lies beyond it as well.
            sourceEnded = got < wanted;
            runFrom += wanted;
            runTarget += wanted;
            runLength -= wanted;
            length -= wanted;
        }
        if (runLength == 0)
            sourceEnded = false;
        return true;
    }

    QFile &source;
    QFile &target;
    QByteArray buffer;
    qint64 runFrom = 0;
    qint64 runLength = 0;
    qint64 runTarget;
    bool sourceEnded = false;
};

std::filesystem::path nativePath(const QString &path)
{
#ifdef Q_OS_WIN
    return std::filesystem::path(QDir::toNativeSeparators(path).toStdWString());
#else
    return std::filesystem::path(QFile::encodeName(path).toStdString());
#endif
}

// Writes the rebuilt archive into target. Returns false on a write failure or a stop request.
bool writeRebuilt(
    QFile &source, QFile &target, qint64 kept, qint64 roomFor, const ProgressReport &reportProgress)
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

    reader.rewind();
    RunCopier copier(source, target, qint64(firstSector) * sectorSize);
    sector = firstSector;
    quint64 copied = 0;
    while (reader.next(entry)) {
        if (!isCarried(entry))
            continue;
        if (quitRequested.load(std::memory_order_relaxed))
            return false;
        if (!copier.add(qint64(entry.offset) * sectorSize, qint64(entry.sectors()) * sectorSize))
            return false;
        sector += entry.sectors();
        // Counted when taken into the copy: at most one block ahead of the data on disk.
        reportProgress(quint64(kept), ++copied);
    }
    // The file ends with the last element's data even when its source was cut short.
    return copier.finish() && target.resize(qint64(sector) * sectorSize) && target.flush();
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
    const ProgressReport reportProgress(receiver);
    reportProgress(0, 0);

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
        = writeRebuilt(source, target, kept, std::min<qint64>(roomFor, 0x7ffffffe), reportProgress);
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
