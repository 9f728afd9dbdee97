#include "sync/filedownloader.h"

#include "app/runstate.h"
#include "img/archiveeditor.h"
#include "img/staticheader.h"
#include "platform/platform.h"
#include "service/httprequest.h"
#include "sync/packedstream.h"
#include "sync/remotenames.h"
#include "sync/safepath.h"
#include "sync/spacecheck.h"
#include "sync/syncinterfaces.h"
#include "sync/transfertext.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <algorithm>

namespace {

constexpr qint64 joinChunkBytes = 4194304;

bool stopping()
{
    return quitRequested.load(std::memory_order_relaxed);
}

// The most a packed form of size bytes can take (zlib's own bound, with room to spare), so
// that a host sending endless data is cut off instead of filling memory or the disk.
quint64 packedBound(quint64 size)
{
    return size + (size >> 8) + 1024;
}

quint32 partsOf(const DownloadItem &item)
{
    return qMax<quint32>(item.partCount, 1);
}

QString unpackedTemporary(const QString &path)
{
    return path + QLatin1String("_u.tmp");
}

QString md5Hex(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

} // namespace

FileDownloader::FileDownloader(const QString &baseDir, SyncProgress *pipeline,
    DownloadLedger *planner, const QString &filesUrl, QObject *parent)
    : FileDownloader(baseDir, pipeline, planner, filesUrl, Timing(), parent)
{
}

FileDownloader::FileDownloader(const QString &baseDir, SyncProgress *pipeline,
    DownloadLedger *planner, const QString &filesUrl, const Timing &timing, QObject *parent)
    : QObject(parent)
    , baseDir(baseDir)
    , pipeline(pipeline)
    , planner(planner)
    , filesUrl(filesUrl)
    , timing(timing)
    , network(new QNetworkAccessManager(this))
    , freeSpace(&Platform::freeDiskBytes)
{
    speedTimer.setSingleShot(true);
    connect(&speedTimer, &QTimer::timeout, this, &FileDownloader::speedCalc);
    speedTimer.start(timing.firstTickMs);
}

FileDownloader::~FileDownloader()
{
    releaseReply();
    closeOutput();
    if (editor)
        editor->close();
    delete buffer;
}

void FileDownloader::addFile(const QString &name, const QString &path, quint32 size)
{
    DownloadItem item;
    item.kind = DownloadItem::File;
    item.name = name;
    item.path = path;
    item.size = size;
    queue.append(item);
}

void FileDownloader::addAudioFile(
    const QString &name, const QString &path, quint32 size, quint32 partCount, quint32 partSize)
{
    DownloadItem item;
    item.kind = DownloadItem::AudioFile;
    item.name = name;
    item.path = path;
    item.size = size;
    item.partCount = partCount;
    item.partSize = partSize;
    queue.append(item);
}

void FileDownloader::addImgArchive(const QString &name, const QString &path, quint32 packedSize,
    quint32 partCount, const QList<QPair<QString, quint32>> &elements, bool createEmpty,
    bool wholeArchive)
{
    DownloadItem item;
    item.kind = DownloadItem::ImgArchive;
    item.name = name;
    item.path = path;
    item.size = packedSize;
    item.partCount = partCount;
    item.elements = elements;
    item.createEmpty = createEmpty;
    item.wholeArchive = wholeArchive;
    queue.append(item);
}

void FileDownloader::createDirectories()
{
    for (const QString &directory : qAsConst(directories)) {
        if (stopping())
            return;
        const QString path = diskPath(directory);
        if (path.isEmpty())
            continue;
        if (!QFileInfo::exists(path))
            QDir().mkpath(path);
        if (!QFileInfo(path).isDir()) {
            // A file in its place, or a disk that refuses: said, never recorded as made.
            failures.append(directory);
            continue;
        }
        if (planner)
            planner->addSavedDirectory(directory);
    }
}

quint64 FileDownloader::totalBytes()
{
    total = 0;
    for (const DownloadItem &item : qAsConst(queue)) {
        if (item.kind == DownloadItem::ImgArchive && !item.wholeArchive) {
            for (const auto &element : item.elements)
                total += element.second;
        } else {
            total += item.size;
        }
    }
    if (pipeline)
        pipeline->updateProgressBar(total, 0);
    return total;
}

qint32 FileDownloader::spaceShortfall() const
{
    return SpaceCheck::shortfall(total, freeSpace ? freeSpace(baseDir) : -1);
}

void FileDownloader::setFreeSpaceQuery(const std::function<qint64(const QString &)> &query)
{
    freeSpace = query;
}

QString FileDownloader::diskPath(const QString &relative) const
{
    return SafePath::resolve(baseDir, relative);
}

void FileDownloader::start()
{
    if (stopping() || queue.isEmpty())
        return;
    // What an earlier cycle passed over comes last, so that one bad body on the host does not
    // keep everything queued behind it from being fetched.
    std::stable_partition(queue.begin(), queue.end(),
        [this](const DownloadItem &item) { return !deferred.contains(item.path); });
    reportProgress();
    itemIndex = 0;
    elementIndex = 0;
    partIndex = 0;
    bool resume = false;
    quint64 itemStartCompleted = completed;
    bool restart = false;

    while (!stopping() && itemIndex < queue.size()) {
        const DownloadItem &item = queue.at(itemIndex);
        const bool elementMode = item.kind == DownloadItem::ImgArchive && !item.wholeArchive;
        if (!resume) {
            itemStartCompleted = completed;
            restart = false;
        }

        After result = After::Advance;
        if (elementMode && !resume && item.elements.isEmpty()) {
            // Nothing to fetch: the archive is only opened, recorded and closed.
            result = beginRequest(false) ? After::Advance : After::Fail;
            if (result == After::Advance && editor) {
                editor->close();
                editor.reset();
            }
        } else if (!beginRequest(resume)) {
            result = After::Fail;
        } else {
            outcome = After::Advance;
            restartItem = false;
            loop.exec();
            releaseReply();
            closeOutput();
            if (stopping())
                return;
            result = outcome;
            restart = restartItem;
        }

        if (result == After::Retry && itemFailures >= suspectFailures) {
            // The host keeps sending what the list does not describe, or has nothing under the
            // name: the list may have changed since it was fetched (a republication), and then
            // so has every body after it. The queue ends here; the next cycle fetches the list
            // again and plans anew, with this item last.
            passed = item.path;
            giveUp(item, false);
            completed = itemStartCompleted;
            itemFailures = 0;
            return;
        }
        if (result == After::Retry) {
            if (restart) {
                // The assembled whole did not verify: fetch every part again.
                completed = itemStartCompleted;
                resume = false;
            } else {
                // A plain file starts over; any other kind repeats the same part or element.
                resume = item.kind != DownloadItem::File;
            }
            continue;
        }
        if (result == After::Fail) {
            giveUp(item, true);
            completed = itemStartCompleted;
        } else if (elementMode && elementIndex + 1 < item.elements.size()) {
            ++elementIndex;
            resume = true;
            continue;
        } else if (!elementMode && item.kind != DownloadItem::File
            && partIndex + 1 < partsOf(item)) {
            ++partIndex;
            resume = true;
            continue;
        }
        elementIndex = 0;
        partIndex = 0;
        ++itemIndex;
        resume = false;
    }
}

bool FileDownloader::beginRequest(bool resume)
{
    const DownloadItem &item = queue.at(itemIndex);
    closeOutput();
    delete buffer;
    buffer = nullptr;

    QString remote;
    QString outputName;
    requestLimit = 0;
    switch (item.kind) {
    case DownloadItem::AudioFile:
        if (!resume)
            partIndex = 0;
        remote = RemoteNames::audioPart(item.path, partIndex);
        outputName = RemoteNames::temporaryPart(item.path, partIndex);
        requestLimit = item.partCount <= 1 ? item.size : item.partSize;
        break;
    case DownloadItem::ImgArchive:
        if (item.wholeArchive) {
            if (!resume) {
                partIndex = 0;
                archivePartBytes = 0;
            }
            archivePartStart = archivePartBytes;
            remote = RemoteNames::archivePart(item.path, partIndex);
            outputName = RemoteNames::temporaryPart(item.path, partIndex);
            requestLimit = packedBound(RemoteNames::archivePartBytes);
        } else {
            if (!resume) {
                if (editor) {
                    editor->close();
                    editor.reset();
                }
                const QString archive = diskPath(item.path);
                if (archive.isEmpty())
                    return false;
                if (item.createEmpty && !ImgArchive::createEmptyArchive(archive))
                    return false;
                editor = std::make_unique<ImgArchive::ArchiveEditor>(archive);
                if (!editor->open()) {
                    editor.reset();
                    return false;
                }
                if (planner)
                    planner->commitFile(item.path);
                elementIndex = 0;
                if (item.elements.isEmpty())
                    return true;
            }
            buffer = new NetworkFile;
            const auto &element = item.elements.at(elementIndex);
            remote = RemoteNames::imgElement(item.path, element.first);
            requestLimit = packedBound(element.second);
        }
        break;
    default:
        remote = RemoteNames::plainFile(item.path);
        outputName = RemoteNames::temporary(item.path);
        requestLimit = packedBound(item.size);
        break;
    }

    if (!outputName.isEmpty()) {
        const QString path = diskPath(outputName);
        if (path.isEmpty())
            return false;
        output = new QFile(path);
        if (!output->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            closeOutput();
            return false;
        }
    }

    waiting = false;
    countdown = 0;
    writeFailed = false;
    overflow = false;
    stallTicks = 0;
    requestBytes = 0;
    requestReceived = 0;
    secondBytes = 0;
    lastBytesRead = 0;
    replyBytesRead = 0;
    redirects = 0;
    showStatus(Starting);
    reportProgress();

    QUrl url(filesUrl, QUrl::TolerantMode);
    // Set as a decoded path, so that no character of a name can turn into a query or fragment.
    url.setPath(url.path() + QLatin1Char('/') + remote);
    originalHttps = url.scheme() == QLatin1String("https");
    sendRequest(url);
    return true;
}

void FileDownloader::sendRequest(const QUrl &url)
{
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader, HttpRequest::userAgent());
    request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setMaximumRedirectsAllowed(redirectLimit);
    lastBytesRead = 0;
    replyBytesRead = 0;
    reply = network->get(request);
    reply->setReadBufferSize(0);
    connect(reply, &QNetworkReply::finished, this, &FileDownloader::networkFinished);
    connect(reply, &QNetworkReply::readyRead, this, &FileDownloader::networkReadyRead);
    connect(reply, &QNetworkReply::downloadProgress, this, &FileDownloader::networkProgress);
}

void FileDownloader::releaseReply()
{
    if (!reply)
        return;
    QNetworkReply *done = reply;
    reply = nullptr;
    done->disconnect(this);
    if (done->isRunning())
        done->abort();
    done->deleteLater();
}

void FileDownloader::closeOutput()
{
    if (!output)
        return;
    output->close();
    delete output;
    output = nullptr;
}

void FileDownloader::networkReadyRead()
{
    if (!reply)
        return;
    const QByteArray bytes = reply->readAll();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // Only the body of a successful answer is content; error pages and redirects are not.
    if (status != 0 && (status < 200 || status > 299))
        return;
    stallTicks = 0;
    if (bytes.isEmpty())
        return;
    requestReceived += quint64(bytes.size());
    if (requestReceived > requestLimit) {
        overflow = true;
        reply->abort();
        return;
    }
    if (buffer) {
        buffer->append(bytes);
    } else if (output) {
        if (output->write(bytes) != bytes.size()) {
            writeFailed = true;
            reply->abort();
            return;
        }
    }
    const DownloadItem &item = queue.at(itemIndex);
    if (item.kind == DownloadItem::AudioFile)
        requestBytes += quint64(bytes.size());
    else if (item.kind == DownloadItem::ImgArchive && item.wholeArchive)
        archivePartBytes += quint64(bytes.size());
    reportProgress();
}

void FileDownloader::networkProgress(qint64 bytesRead, qint64 totalBytes)
{
    Q_UNUSED(totalBytes)
    secondBytes += bytesRead - lastBytesRead;
    lastBytesRead = bytesRead;
    replyBytesRead = bytesRead;
    showStatus(Receiving);
    if (stopping() && reply)
        reply->abort();
}

void FileDownloader::networkFinished()
{
    if (!reply || sender() != reply)
        return;
    if (output) {
        if (!output->flush())
            writeFailed = true;
        output->close();
        if (output->error() != QFileDevice::NoError)
            writeFailed = true;
    }
    if (stopping()) {
        loop.quit();
        return;
    }
    const DownloadItem &item = queue.at(itemIndex);
    auto removeOutput = [this]() {
        if (output)
            output->remove();
    };

    if (writeFailed) {
        removeOutput();
        outcome = After::Fail;
        releaseReply();
        loop.quit();
        return;
    }
    if (overflow) {
        removeOutput();
        scheduleRetry(Cause::Damaged);
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        removeOutput();
        // Qt numbers the host's refusals 201-299 and its failures 401-499; the rest are the
        // connection's.
        const int code = int(reply->error());
        scheduleRetry(reply->error() == QNetworkReply::ContentNotFoundError
                    || reply->error() == QNetworkReply::ContentGoneError
                ? Cause::NotFound
                : (code > 200 && code < 300) || (code > 400 && code < 500) ? Cause::HostError
                                                                           : Cause::Connection);
        return;
    }

    const QUrl target = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    if (!target.isEmpty()) {
        const QUrl next = reply->url().resolved(target);
        const bool allowed = next.scheme() == QLatin1String("https")
            || (!originalHttps && next.scheme() == QLatin1String("http"));
        if (++redirects > redirectLimit || !allowed) {
            removeOutput();
            scheduleRetry(Cause::HostError);
            return;
        }
        releaseReply();
        if (output && !output->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            outcome = After::Fail;
            loop.quit();
            return;
        }
        if (buffer) {
            delete buffer;
            buffer = new NetworkFile;
        }
        requestBytes = 0;
        requestReceived = 0;
        archivePartBytes = archivePartStart;
        sendRequest(next);
        return;
    }

    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status != 0 && (status < 200 || status > 299)) {
        removeOutput();
        scheduleRetry(status == 404 || status == 410 ? Cause::NotFound : Cause::HostError);
        return;
    }
    // A connection closed mid-body is not always reported as an error; the announced length
    // tells.
    bool announced = false;
    const qint64 length
        = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&announced);
    if (announced && quint64(length) != requestReceived) {
        removeOutput();
        scheduleRetry(Cause::Connection);
        return;
    }

    After result = After::Advance;
    if (item.kind == DownloadItem::ImgArchive)
        result = item.wholeArchive ? finishArchivePart(item) : finishElement(item);
    else if (item.kind == DownloadItem::AudioFile)
        result = finishAudioPart(item);
    else
        result = finishPlainFile(item);

    if (result == After::Retry) {
        scheduleRetry(Cause::Damaged);
        return;
    }
    if (result == After::Advance) {
        completed += requestBytes;
        streak = 0;
        itemFailures = 0;
    }
    requestBytes = 0;
    requestReceived = 0;
    if (result == After::Advance)
        reportProgress(); // the bar reaches the end of the item, also for the last one
    outcome = result;
    releaseReply();
    loop.quit();
}

FileDownloader::After FileDownloader::finishPlainFile(const DownloadItem &item)
{
    const QString packedPath = diskPath(RemoteNames::temporary(item.path));
    const QString unpackedPath = diskPath(unpackedTemporary(item.path));
    const QString destination = diskPath(item.path);
    if (packedPath.isEmpty() || unpackedPath.isEmpty() || destination.isEmpty())
        return After::Fail;

    QFile packed(packedPath);
    QFile unpacked(unpackedPath);
    if (!packed.open(QIODevice::ReadOnly)) {
        packed.remove();
        return After::Fail;
    }
    if (!unpacked.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        packed.remove();
        return After::Fail;
    }
    QCryptographicHash md5(QCryptographicHash::Md5);
    bool writeFailed = false;
    const bool intact = PackedStream::unpack(packed, unpacked, item.size, &md5, &writeFailed);
    // A full disk takes a write short without an error; that is the disk, not the content.
    const bool written
        = !writeFailed && unpacked.flush() && unpacked.error() == QFileDevice::NoError;
    unpacked.close();
    packed.remove();
    if (!written) {
        unpacked.remove();
        return After::Fail;
    }
    const QString expected = planner ? planner->remoteMd5(item.path) : QString();
    if (!intact || (!expected.isEmpty() && expected != QString::fromLatin1(md5.result().toHex()))) {
        unpacked.remove();
        return After::Retry;
    }
    if (!SafePath::replaceFile(unpackedPath, destination)) {
        unpacked.remove();
        return After::Fail;
    }
    completed += item.size;
    if (planner)
        planner->commitFile(item.path);
    return After::Advance;
}

FileDownloader::After FileDownloader::finishElement(const DownloadItem &item)
{
    const auto &element = item.elements.at(elementIndex);
    bool intact = false;
    const QByteArray data
        = PackedStream::unpack(buffer ? buffer->data() : QByteArray(), element.second, &intact);
    const QString expected
        = planner ? planner->remoteElementMd5(item.path, element.first) : QString();
    if (!intact || (!expected.isEmpty() && expected != md5Hex(data)))
        return After::Retry;
    if (!editor)
        return After::Fail;

    int index = editor->findEntry(element.first);
    if (index < 0 && !editor->hasRoomForEntry()) {
        if (!makeRoom(item))
            return After::Fail;
        index = editor->findEntry(element.first);
    }
    const bool stored
        = index >= 0 ? editor->replaceEntry(index, data) : editor->appendEntry(element.first, data);
    // The directory goes to disk before the state records the element, so a crash in between
    // leaves an element the state does not claim, never a claim the archive does not hold.
    if (!stored || !editor->writeDirectory())
        return After::Fail; // the disk did not take it, or the archive has no room
    const int written = editor->findEntry(element.first);
    if (written < 0 || md5Hex(editor->readEntry(written)) != md5Hex(data))
        return After::Fail;
    completed += element.second;
    if (planner)
        planner->commitImgElement(item.path, element.first);
    if (elementIndex + 1 >= item.elements.size()) {
        showStatus(Saving);
        editor->close();
        editor.reset();
    }
    return After::Advance;
}

FileDownloader::After FileDownloader::finishAudioPart(const DownloadItem &item)
{
    const quint32 last = partsOf(item) - 1;
    const quint64 offset = quint64(partIndex) * item.partSize;
    const quint64 expectedPart
        = partIndex < last ? item.partSize : (offset <= item.size ? item.size - offset : 0);
    if (requestBytes != expectedPart) {
        QFile::remove(diskPath(RemoteNames::temporaryPart(item.path, partIndex)));
        return After::Retry;
    }
    if (partIndex < last)
        return After::Advance;

    showStatus(Saving);
    QCryptographicHash md5(QCryptographicHash::Md5);
    const auto copyPart = [&md5](QFile &piece, QFile &joined, quint32) {
        while (!piece.atEnd()) {
            const QByteArray chunk = piece.read(joinChunkBytes);
            if (chunk.isEmpty())
                return After::Retry;
            if (joined.write(chunk) != chunk.size())
                return After::Fail;
            md5.addData(chunk);
        }
        return After::Advance;
    };
    const auto verify = [&](const QString &joinedPath) {
        const QString expected = planner ? planner->remoteMd5(item.path) : QString();
        return quint64(QFileInfo(joinedPath).size()) == item.size
            && (expected.isEmpty() || expected == QString::fromLatin1(md5.result().toHex()));
    };
    const After result = joinParts(item, copyPart, verify);
    if (result == After::Advance && planner)
        planner->commitFile(item.path);
    return result;
}

FileDownloader::After FileDownloader::finishArchivePart(const DownloadItem &item)
{
    const quint32 last = partsOf(item) - 1;
    const quint32 fullPart = RemoteNames::archivePartBytes;
    {
        QFile part(diskPath(RemoteNames::temporaryPart(item.path, partIndex)));
        const bool intact = part.open(QIODevice::ReadOnly)
            && PackedStream::isIntact(part, partIndex < last ? fullPart : 1, fullPart);
        if (!intact) {
            part.remove();
            archivePartBytes = archivePartStart;
            return After::Retry;
        }
    }
    if (partIndex < last)
        return After::Advance;

    showStatus(Unpacking);
    const auto unpackPart = [last, fullPart](QFile &piece, QFile &joined, quint32 part) {
        bool writeFailed = false;
        if (PackedStream::unpackRange(piece, joined, part < last ? fullPart : 1, fullPart, nullptr,
                nullptr, &writeFailed))
            return After::Advance;
        return writeFailed ? After::Fail : After::Retry;
    };
    const auto verify = [&](const QString &joinedPath) { return verifyArchive(item, joinedPath); };
    const After result = joinParts(item, unpackPart, verify);
    if (result == After::Fail)
        return result;
    archivePartBytes = 0;
    if (result == After::Advance) {
        completed += item.size;
        if (planner)
            planner->commitImgArchive(item.path);
    }
    return result;
}

FileDownloader::After FileDownloader::joinParts(const DownloadItem &item,
    const PartAppender &append, const std::function<bool(const QString &)> &verify)
{
    const QString joinedPath = diskPath(RemoteNames::temporary(item.path));
    const QString destination = diskPath(item.path);
    if (joinedPath.isEmpty() || destination.isEmpty())
        return After::Fail;
    QFile joined(joinedPath);
    if (!joined.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return After::Fail;
    const quint32 parts = partsOf(item);
    bool readable = true;
    After appended = After::Advance;
    for (quint32 part = 0; part < parts; ++part) {
        QFile piece(diskPath(RemoteNames::temporaryPart(item.path, part)));
        if (readable && appended == After::Advance && joined.error() == QFileDevice::NoError) {
            readable = piece.open(QIODevice::ReadOnly);
            if (readable)
                appended = append(piece, joined, part);
            piece.close();
        }
        // Every part goes, also after a failure: whatever follows fetches them all again.
        piece.remove();
    }
    const bool intact = appended == After::Advance;
    const bool written = readable && appended != After::Fail && joined.flush()
        && joined.error() == QFileDevice::NoError;
    joined.close();
    if (!written) {
        joined.remove();
        return After::Fail;
    }
    if (!intact || !verify(joinedPath)) {
        joined.remove();
        restartItem = true;
        return After::Retry;
    }
    if (!SafePath::replaceFile(joinedPath, destination)) {
        joined.remove();
        return After::Fail;
    }
    return After::Advance;
}

bool FileDownloader::verifyArchive(const DownloadItem &item, const QString &file) const
{
    // The parts carry no digests of their own; the elements the list describes do. An archive
    // that is committed must hold each of them, or the state would claim what is not there.
    if (!ImgArchive::isStaticHeaderArchive(file))
        return false;
    ImgArchive::ArchiveEditor archive(file);
    if (!archive.open())
        return false;
    bool good = true;
    for (const auto &element : item.elements) {
        const int index = archive.findEntry(element.first);
        if (index < 0 || quint64(archive.entrySectors(index)) * 2048 != element.second) {
            good = false;
            break;
        }
        const QString expected
            = planner ? planner->remoteElementMd5(item.path, element.first) : QString();
        if (!expected.isEmpty() && expected != md5Hex(archive.readEntry(index))) {
            good = false;
            break;
        }
    }
    // Left without close(): nothing was changed, and close() would rewrite the directory.
    return good;
}

void FileDownloader::scheduleRetry(Cause failure)
{
    cause = failure;
    requestBytes = 0;
    requestReceived = 0;
    releaseReply();
    if (itemIndex < queue.size())
        troubled.insert(queue.at(itemIndex).path);
    if (failure == Cause::Damaged || failure == Cause::NotFound)
        ++itemFailures;
    // The pause doubles with every failure in a row, so a host that keeps failing is asked
    // less and less often instead of every few seconds.
    qint64 ticks = qMax(timing.retryTicks, 0);
    for (int i = 0; i < streak && ticks < timing.maxRetryTicks; ++i)
        ticks *= 2;
    ++streak;
    countdown = int(qMin<qint64>(ticks, qMax(timing.maxRetryTicks, timing.retryTicks)));
    if (itemFailures >= suspectFailures)
        countdown = 0; // passed over at once
    waiting = countdown > 0;
    showStatus(failure == Cause::Damaged ? DigestError : NetworkError);
    if (countdown <= 0) {
        outcome = After::Retry;
        loop.quit();
    }
}

bool FileDownloader::makeRoom(const DownloadItem &item)
{
    // The directory area is full: rebuilt with room for every element still to come, then
    // edited on. The conversion keeps every element's bytes, so the state stays true.
    const QString path = diskPath(item.path);
    if (path.isEmpty() || !editor)
        return false;
    const qint64 room = qint64(editor->liveEntryCount()) + (item.elements.size() - elementIndex);
    editor->close();
    editor.reset();
    const bool converted = ImgArchive::convertToStaticHeader(path, nullptr, room);
    editor = std::make_unique<ImgArchive::ArchiveEditor>(path);
    if (!editor->open()) {
        editor.reset();
        return false;
    }
    return converted && editor->hasRoomForEntry();
}

void FileDownloader::giveUp(const DownloadItem &item, bool localFault)
{
    if (localFault)
        failures.append(item.path);
    closeOutput();
    if (editor) {
        editor->close();
        editor.reset();
    }
    removePartFiles(item);
}

void FileDownloader::removePartFiles(const DownloadItem &item) const
{
    const quint32 parts = item.kind == DownloadItem::File ? 0 : partsOf(item);
    for (quint32 part = 0; part < parts; ++part) {
        const QString path = diskPath(RemoteNames::temporaryPart(item.path, part));
        if (!path.isEmpty())
            QFile::remove(path);
    }
    for (const QString &name :
        { RemoteNames::temporary(item.path), unpackedTemporary(item.path) }) {
        const QString path = diskPath(name);
        if (!path.isEmpty())
            QFile::remove(path);
    }
}

void FileDownloader::speedCalc()
{
    if (stopping()) {
        if (reply)
            reply->abort();
        else if (loop.isRunning())
            loop.quit();
    }
    if (waiting && countdown > 0) {
        --countdown;
        showStatus(cause == Cause::Damaged ? DigestError : NetworkError);
        if (countdown == 0) {
            waiting = false;
            outcome = After::Retry;
            loop.quit();
        }
    }
    speed = timing.tickMs > 0 ? secondBytes * 1000 / timing.tickMs : secondBytes;
    if (reply) {
        if (++stallTicks >= timing.stallTicks)
            reply->abort(); // finishes with an error and is retried like one
    }
    secondBytes = 0;
    speedTimer.start(timing.tickMs);
}

quint64 FileDownloader::doneBytes() const
{
    if (itemIndex >= queue.size())
        return completed;
    const DownloadItem &item = queue.at(itemIndex);
    if (item.kind == DownloadItem::AudioFile)
        return completed + requestBytes;
    if (item.kind == DownloadItem::ImgArchive && item.wholeArchive)
        return completed + archivePartBytes;
    return completed;
}

void FileDownloader::reportProgress()
{
    if (pipeline)
        pipeline->updateProgressBar(total, doneBytes());
}

void FileDownloader::showStatus(int status)
{
    if (!pipeline || itemIndex >= queue.size())
        return;
    const DownloadItem &item = queue.at(itemIndex);
    const bool elementMode = item.kind == DownloadItem::ImgArchive && !item.wholeArchive;
    const QString elementName = elementMode && elementIndex < item.elements.size()
        ? item.elements.at(elementIndex).first
        : QString();
    const QString subject
        = elementMode ? QStringLiteral("%1 (%2)").arg(elementName, item.path) : item.path;
    QString left;
    switch (status) {
    case NetworkError:
    case DigestError: {
        // In words a player understands, naming the file, not a bare error number.
        const char *reason = "нет связи с сервером файлов";
        if (cause == Cause::NotFound)
            reason = "файл не найден на сервере";
        else if (cause == Cause::HostError)
            reason = "сервер файлов не отдаёт файл";
        else if (cause == Cause::Damaged)
            reason = "файл пришёл повреждённым";
        left = QStringLiteral("%1: %2, повтор через %3...")
                   .arg(subject, QString::fromUtf8(reason))
                   .arg(countdown);
        break;
    }
    case Saving:
        left = subject + QStringLiteral(": сохранение...");
        break;
    case Unpacking:
        left = subject + QStringLiteral(": разархивирование...");
        break;
    default:
        left = subject + QStringLiteral("...");
        break;
    }

    quint64 unitSize = item.size;
    quint64 received = quint64(qMax<qint64>(replyBytesRead, 0));
    if (elementMode) {
        unitSize = elementIndex < item.elements.size() ? item.elements.at(elementIndex).second : 0;
    } else if (item.kind == DownloadItem::AudioFile) {
        received = quint64(partIndex) * item.partSize + requestBytes;
    } else if (item.kind == DownloadItem::ImgArchive) {
        received = archivePartBytes;
    }
    if (status == Saving || status == Unpacking)
        received = unitSize;
    pipeline->updateCurrentFile(
        left, TransferText::sizePair(received, unitSize) + TransferText::speed(speed));
}
