#include "sync/filedownloader.h"

#include "app/logcategories.h"
#include "app/runstate.h"
#include "img/archiveeditor.h"
#include "img/staticheader.h"
#include "platform/platform.h"
#include "service/httprequest.h"
#include "sync/bodyprefetch.h"
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

bool stopping()
{
    return quitRequested.load(std::memory_order_relaxed);
}

quint32 partsOf(const DownloadItem &item)
{
    return qMax<quint32>(item.partCount, 1);
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
    DownloadLedger *planner, const QString &filesUrl, const Timing &timing, QObject *parent,
    QNetworkAccessManager *network)
    : QObject(parent)
    , baseDir(baseDir)
    , pipeline(pipeline)
    , planner(planner)
    , filesUrl(filesUrl)
    , timing(timing)
    , network(network ? network : new QNetworkAccessManager(this))
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

std::pair<QString, quint64> FileDownloader::bodyOf(
    const DownloadItem &item, quint32 part, int element)
{
    switch (item.kind) {
    case DownloadItem::AudioFile:
        return { RemoteNames::audioPart(item.path, part),
            item.partCount <= 1 ? item.size : item.partSize };
    case DownloadItem::ImgArchive:
        if (item.wholeArchive)
            return { RemoteNames::archivePart(item.path, part),
                PackedStream::bound(RemoteNames::archivePartBytes) };
        return { RemoteNames::imgElement(item.path, item.elements.at(element).first),
            PackedStream::bound(item.elements.at(element).second) };
    default:
        return { RemoteNames::plainFile(item.path), PackedStream::bound(item.size) };
    }
}

void FileDownloader::planPrefetch()
{
    if (BodyPrefetch::window.count <= 1)
        return;
    QVector<BodyPrefetch::Body> bodies;
    const auto add = [&](const std::pair<QString, quint64> &body) {
        const ReleaseDocument::Body *listed = release ? release->body(body.first) : nullptr;
        bodies.append({ body.first, qint64(listed ? listed->size : body.second),
            qint64(listed ? qMin(listed->size, body.second) : body.second) });
    };
    for (const DownloadItem &item : qAsConst(queue)) {
        if (item.kind == DownloadItem::ImgArchive && !item.wholeArchive) {
            for (int element = 0; element < item.elements.size(); ++element)
                add(bodyOf(item, 0, element));
        } else {
            for (quint32 part = 0; part < (item.kind == DownloadItem::File ? 1 : partsOf(item));
                 ++part)
                add(bodyOf(item, part, 0));
        }
    }
    prefetch = std::make_unique<BodyPrefetch>(
        [this](const QString &remote) { return get(bodyUrl(remote), 0, 0); });
    connect(prefetch.get(), &BodyPrefetch::received, this,
        [this](qint64 bytes) { secondBytes += bytes; });
    prefetch->plan(bodies);
}

QString FileDownloader::diskPath(const QString &relative) const
{
    return SafePath::resolve(baseDir, relative);
}

void FileDownloader::start()
{
    runQueue();
    // Bodies sent ahead for items the queue did not reach (it ended, or was stopped) are not
    // left to arrive for nothing while the pipeline goes on.
    prefetch.reset();
}

void FileDownloader::runQueue()
{
    if (stopping() || queue.isEmpty())
        return;
    // What an earlier cycle passed over comes last, so that one bad body on the host does not
    // keep everything queued behind it from being fetched.
    std::stable_partition(queue.begin(), queue.end(),
        [this](const DownloadItem &item) { return !deferred.contains(item.path); });
    planPrefetch();
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
            if (stopping())
                return;
            result = outcome;
            restart = restartItem;
        }

        if (result == After::Retry && itemFailures >= suspectFailures) {
            giveUp(item, false);
            completed = itemStartCompleted;
            itemFailures = 0;
            passed = item.path;
            // The host keeps sending what the list does not describe, or has nothing under the
            // name: the list may have changed since it was fetched (a republication), and then
            // so has every body after it. The queue ends here; the next cycle fetches the list
            // again and plans anew, with this item last. So it does when the host fails every
            // item in a row: asking on would only wait out one growing pause after another.
            if (cause != Cause::Connection && cause != Cause::HostError)
                return;
            if (streak >= giveUpStreak)
                return;
            // Only this item keeps breaking off where it broke off before (a proxy's size
            // cap): the rest of the queue goes on without it.
            passed.clear();
            unreachable.append(item.path);
            elementIndex = 0;
            partIndex = 0;
            ++itemIndex;
            resume = false;
            continue;
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
        if (result == After::Advance)
            ++finished;
        elementIndex = 0;
        partIndex = 0;
        ++itemIndex;
        resume = false;
    }
}

bool FileDownloader::beginRequest(bool resume)
{
    const DownloadItem &item = queue.at(itemIndex);
    if (continuing) {
        // The body goes on where the connection broke: the host's files are static, so what
        // was taken stays good, and the checks at the end still cover the whole.
        continuing = false;
        startRequestState();
        rangeFrom = requestReceived;
        sendRequest(requestUrl);
        return true;
    }
    inflater.reset();
    requestLimit = 0;
    requestReceived = 0;
    rangeFrom = 0;
    QString remote;
    // Every kind but an element is written straight to the temporary beside its destination,
    // as it arrives: opened once per item, parts appended in order.
    bool freshOutput = !resume;
    switch (item.kind) {
    case DownloadItem::AudioFile:
        if (!resume) {
            partIndex = 0;
            itemDigest.reset();
        }
        std::tie(remote, requestLimit) = bodyOf(item, partIndex, 0);
        break;
    case DownloadItem::ImgArchive:
        if (item.wholeArchive) {
            if (!resume) {
                partIndex = 0;
                archivePartBytes = 0;
            }
            archivePartStart = archivePartBytes;
            std::tie(remote, requestLimit) = bodyOf(item, partIndex, 0);
        } else {
            freshOutput = false;
            if (!resume) {
                closeOutput();
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
            const auto &element = item.elements.at(elementIndex);
            std::tie(remote, requestLimit) = bodyOf(item, 0, elementIndex);
            // An element is edited into the archive whole, so it is unpacked in memory.
            elementSink.close();
            elementData.clear();
            elementData.reserve(int(qMin<quint64>(element.second, 64 * 1024 * 1024)));
            elementSink.setBuffer(&elementData);
            elementSink.open(QIODevice::WriteOnly);
            itemDigest.reset();
            inflater = std::make_unique<PackedStream::Inflater>(
                element.second, element.second, &elementSink, &itemDigest);
        }
        break;
    default:
        freshOutput = true;
        std::tie(remote, requestLimit) = bodyOf(item, 0, 0);
        itemDigest.reset();
        break;
    }

    bodyDigest.reset();
    servedBody = release ? release->body(remote) : nullptr;
    if (servedBody)
        requestLimit = qMin<quint64>(requestLimit, servedBody->size);

    if (freshOutput) {
        closeOutput();
        const QString path = diskPath(RemoteNames::temporary(item.path));
        if (path.isEmpty())
            return false;
        output = new QFile(path);
        if (!output->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            closeOutput();
            return false;
        }
    }
    const quint32 fullPart = RemoteNames::archivePartBytes;
    if (item.kind == DownloadItem::File)
        inflater
            = std::make_unique<PackedStream::Inflater>(item.size, item.size, output, &itemDigest);
    else if (item.kind == DownloadItem::ImgArchive && item.wholeArchive)
        inflater = std::make_unique<PackedStream::Inflater>(
            partIndex + 1 < partsOf(item) ? fullPart : 1, fullPart, output);
    partStart = output ? output->pos() : 0;

    startRequestState();
    requestBytes = 0;

    requestUrl = bodyUrl(remote);
    originalHttps = requestUrl.scheme() == QLatin1String("https");
    qint64 received = 0;
    QNetworkReply *early = prefetch ? prefetch->take(remote, &received) : nullptr;
    if (early)
        adoptReply(early, received);
    else
        sendRequest(requestUrl);
    // After the request has reset the reply's counters: the status must not show the bytes of
    // the item before.
    showStatus(Starting);
    reportProgress();
    return true;
}

void FileDownloader::startRequestState()
{
    waiting = false;
    countdown = 0;
    writeFailed = false;
    overflow = false;
    damaged = false;
    stallTicks = 0;
    secondBytes = 0;
    redirects = 0;
}

QUrl FileDownloader::bodyUrl(const QString &remote) const
{
    QUrl url(filesUrl, QUrl::TolerantMode);
    // Set as a decoded path, so that no character of a name can turn into a query or fragment.
    url.setPath(url.path() + QLatin1Char('/') + remote);
    return url;
}

QNetworkReply *FileDownloader::get(const QUrl &url, quint64 from, quint64 limit)
{
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader, HttpRequest::userAgent());
    request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setMaximumRedirectsAllowed(redirectLimit);
    // Small bodies travel many at once on one connection where the host offers HTTP/2 (ALPN
    // over TLS), on a few connections of HTTP/1.1 otherwise. A large body keeps a connection of
    // HTTP/1.1 to itself: only there does a worker that falls behind hold the sender back (an
    // HTTP/2 stream is granted more as soon as bytes arrive, read or not).
    request.setAttribute(
        QNetworkRequest::Http2AllowedAttribute, limit <= quint64(BodyPrefetch::window.largestBody));
    if (from > 0)
        request.setRawHeader("Range", "bytes=" + QByteArray::number(from) + '-');
    return network->get(request);
}

void FileDownloader::sendRequest(const QUrl &url)
{
    adoptReply(get(url, rangeFrom, requestLimit), 0);
}

void FileDownloader::adoptReply(QNetworkReply *taken, qint64 received)
{
    lastBytesRead = received;
    replyBytesRead = received;
    replyReceived = 0;
    skipBytes = 0;
    replyChecked = false;
    reply = taken;
    // Bounded: the worker takes what arrives as it arrives, and a slow disk holds the
    // connection back instead of the whole body piling up in memory.
    reply->setReadBufferSize(readBufferBytes);
    connect(reply, &QNetworkReply::finished, this, &FileDownloader::networkFinished);
    connect(reply, &QNetworkReply::readyRead, this, &FileDownloader::networkReadyRead);
    connect(reply, &QNetworkReply::downloadProgress, this, &FileDownloader::networkProgress);
    if (received == 0 && !reply->isFinished())
        return;
    // Sent ahead: what arrived (and its end, if it came) is taken once the loop runs, as if it
    // arrived now.
    QMetaObject::invokeMethod(
        this,
        [this, taken] {
            if (reply != taken)
                return;
            if (taken->bytesAvailable() > 0)
                networkReadyRead();
            if (reply == taken && taken->isFinished())
                replyFinished();
        },
        Qt::QueuedConnection);
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

bool FileDownloader::closeOutput()
{
    if (!output)
        return true;
    // A full disk takes a write short without an error; that is the disk, not the content.
    const bool written = output->flush() && output->error() == QFileDevice::NoError;
    output->close();
    delete output;
    output = nullptr;
    return written;
}

void FileDownloader::removeOutput(const DownloadItem &item)
{
    closeOutput();
    const QString path = diskPath(RemoteNames::temporary(item.path));
    if (!path.isEmpty())
        QFile::remove(path);
}

bool FileDownloader::acceptReply(int status)
{
    replyChecked = true;
    if (rangeFrom == 0)
        return true;
    if (status == 206) {
        // The part must start where the body stopped, or it would be spliced in wrong.
        const QByteArray range = reply->rawHeader("Content-Range").trimmed();
        return range.startsWith("bytes " + QByteArray::number(rangeFrom) + '-');
    }
    // A host that ignores Range sends the whole body again: what was taken is skipped.
    skipBytes = rangeFrom;
    return true;
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
    if (bytes.isEmpty() || damaged || overflow || writeFailed)
        return;
    if (!replyChecked && !acceptReply(status)) {
        damaged = true;
        reply->abort();
        return;
    }
    replyReceived += quint64(bytes.size());
    const char *data = bytes.constData();
    qint64 size = bytes.size();
    if (skipBytes > 0) {
        const qint64 skipped = qint64(qMin<quint64>(skipBytes, quint64(size)));
        skipBytes -= quint64(skipped);
        data += skipped;
        size -= skipped;
        if (size == 0)
            return;
    }
    requestReceived += quint64(size);
    bodyDigest.addData(data, size);
    if (requestReceived > requestLimit) {
        overflow = true;
        reply->abort();
        return;
    }
    // Unpacked and hashed as it arrives, overlapping the transfer: nothing packed is kept.
    const bool taken
        = inflater ? inflater->feed(data, size) : output && output->write(data, size) == size;
    if (!taken) {
        if (!inflater || inflater->writeFailed())
            writeFailed = true;
        else
            damaged = true;
        reply->abort();
        return;
    }
    const DownloadItem &item = queue.at(itemIndex);
    if (item.kind == DownloadItem::AudioFile) {
        requestBytes += quint64(size);
        itemDigest.addData(data, size);
    } else if (item.kind == DownloadItem::ImgArchive && item.wholeArchive) {
        archivePartBytes += quint64(size);
    }
    reportProgress();
}

void FileDownloader::networkProgress(qint64 bytesRead, qint64 totalBytes)
{
    Q_UNUSED(totalBytes)
    secondBytes += bytesRead - lastBytesRead;
    lastBytesRead = bytesRead;
    replyBytesRead = bytesRead;
    // Only the counters change while a body arrives; each text is built and sent to the
    // window's thread, so it is redrawn a few times a second rather than for every packet.
    if ((shownStatus != Receiving && shownStatus != Starting) || !shownAt.isValid()
        || shownAt.elapsed() >= receivingTextMs)
        showStatus(Receiving);
    if (stopping() && reply)
        reply->abort();
}

void FileDownloader::networkFinished()
{
    if (reply && sender() == reply)
        replyFinished();
}

void FileDownloader::replyFinished()
{
    if (reply->bytesAvailable() > 0)
        networkReadyRead();
    if (stopping()) {
        loop.quit();
        return;
    }
    const DownloadItem &item = queue.at(itemIndex);
    if (writeFailed) {
        removeOutput(item);
        outcome = After::Fail;
        releaseReply();
        loop.quit();
        return;
    }
    if (overflow || damaged) {
        scheduleRetry(Cause::Damaged);
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
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
            scheduleRetry(Cause::HostError);
            return;
        }
        // A redirect's body is no content: nothing was taken, the same range is asked there.
        releaseReply();
        sendRequest(next);
        return;
    }

    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status != 0 && (status < 200 || status > 299)) {
        scheduleRetry(status == 404 || status == 410 ? Cause::NotFound : Cause::HostError);
        return;
    }
    // A connection closed mid-body is not always reported as an error; the announced length
    // tells.
    bool announced = false;
    const qint64 length
        = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&announced);
    if (announced && quint64(length) != replyReceived) {
        scheduleRetry(Cause::Connection);
        return;
    }

    if (!servedAsReleased()) {
        damaged = true;
        scheduleRetry(Cause::Damaged);
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
        damaged = true;
        scheduleRetry(Cause::Damaged);
        return;
    }
    if (result == After::Advance) {
        completed += requestBytes;
        streak = 0;
        // Parts are not checked one by one, only the whole after the last: a good part says
        // nothing of the item, and forgetting its failures there would retry a whole that
        // can never match (parts of two releases) for ever.
        const bool elementMode = item.kind == DownloadItem::ImgArchive && !item.wholeArchive;
        if (item.kind == DownloadItem::File || elementMode || partIndex + 1 >= partsOf(item))
            itemFailures = 0;
        heldAtFailure = 0;
    }
    requestBytes = 0;
    requestReceived = 0;
    if (result == After::Advance)
        reportProgress(); // the bar reaches the end of the item, also for the last one
    outcome = result;
    releaseReply();
    loop.quit();
}

FileDownloader::After FileDownloader::commitOutput(
    const DownloadItem &item, const std::function<bool(const QString &)> &verify)
{
    // The temporary open is the one resolved when it was created; the destination's check
    // walks the same directories again.
    const QString temporary
        = output ? output->fileName() : diskPath(RemoteNames::temporary(item.path));
    const QString destination = diskPath(item.path);
    if (!closeOutput() || temporary.isEmpty() || destination.isEmpty()) {
        removeOutput(item);
        return After::Fail;
    }
    if (!verify(temporary)) {
        QFile::remove(temporary);
        restartItem = true;
        return After::Retry;
    }
    if (!SafePath::replaceFile(temporary, destination)) {
        QFile::remove(temporary);
        return After::Fail;
    }
    return After::Advance;
}

bool FileDownloader::hashMatches(const QString &expected)
{
    return expected.isEmpty() || expected == QString::fromLatin1(itemDigest.result().toHex());
}

bool FileDownloader::servedAsReleased()
{
    if (!release)
        return true;
    return servedBody && requestReceived == servedBody->size
        && bodyDigest.result() == servedBody->sha256;
}

FileDownloader::After FileDownloader::finishPlainFile(const DownloadItem &item)
{
    const bool intact = inflater && inflater->finished()
        && hashMatches(planner ? planner->remoteMd5(item.path) : QString());
    const After result = commitOutput(item, [intact](const QString &) { return intact; });
    if (result != After::Advance)
        return result;
    completed += item.size;
    if (planner)
        planner->commitFile(item.path);
    return After::Advance;
}

FileDownloader::After FileDownloader::finishElement(const DownloadItem &item)
{
    const auto &element = item.elements.at(elementIndex);
    elementSink.close();
    if (!inflater || !inflater->finished()
        || !hashMatches(planner ? planner->remoteElementMd5(item.path, element.first) : QString()))
        return After::Retry;
    if (!editor)
        return After::Fail;

    int index = editor->findEntry(element.first);
    if (index < 0 && !editor->hasRoomForEntry()) {
        if (!makeRoom(item))
            return After::Fail;
        index = editor->findEntry(element.first);
    }
    const bool stored = index >= 0 ? editor->replaceEntry(index, elementData)
                                   : editor->appendEntry(element.first, elementData);
    // The directory goes to disk before the state records the element, so a crash in between
    // leaves an element the state does not claim, never a claim the archive does not hold.
    if (!stored || !editor->writeDirectory())
        return After::Fail; // the disk did not take it, or the archive has no room
    const int written = editor->findEntry(element.first);
    // The element's digest was taken while it arrived; only what the archive holds is hashed.
    if (written < 0
        || QCryptographicHash::hash(editor->readEntry(written), QCryptographicHash::Md5)
            != itemDigest.result())
        return After::Fail;
    elementData.clear();
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
    if (requestBytes != expectedPart)
        return After::Retry;
    if (partIndex < last)
        return After::Advance;

    showStatus(Saving);
    const QString expected = planner ? planner->remoteMd5(item.path) : QString();
    const After result = commitOutput(item, [&](const QString &joined) {
        return quint64(QFileInfo(joined).size()) == item.size && hashMatches(expected);
    });
    if (result == After::Advance && planner)
        planner->commitFile(item.path);
    return result;
}

FileDownloader::After FileDownloader::finishArchivePart(const DownloadItem &item)
{
    if (!inflater || !inflater->finished())
        return After::Retry;
    if (partIndex + 1 < partsOf(item))
        return After::Advance;

    showStatus(Unpacking);
    const After result
        = commitOutput(item, [&](const QString &joined) { return verifyArchive(item, joined); });
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
    qCInfo(lcSync).noquote() << "retrying" << queue.at(itemIndex).path << "after"
                             << (failure == Cause::NotFound           ? "not found"
                                        : failure == Cause::HostError ? "a host error"
                                        : failure == Cause::Damaged   ? "damaged data"
                                                                      : "a broken connection");
    releaseReply();
    const DownloadItem &current = queue.at(itemIndex);
    // A broken connection continues the body where it stopped; anything else starts the
    // request again, and where bytes of it went into the item already, the item or its part.
    continuing = failure == Cause::Connection && requestReceived > 0 && !damaged && !overflow;
    // A failure that ends where the one before it did, with no new byte in between, is no
    // passing trouble of the connection: a host that breaks off at the same byte every time
    // would otherwise be asked for ever, and nothing after this item fetched.
    if (failure == Cause::Connection || failure == Cause::HostError) {
        if (requestReceived <= heldAtFailure)
            ++itemFailures;
        heldAtFailure = qMax(heldAtFailure, requestReceived);
    }
    // The whole of an item fetched in parts did not match its list: most likely the parts come
    // from two releases, a publication having fallen between them. Which part is stale cannot
    // be told from the whole's digest, so rather than every part again, at once the list.
    if (failure == Cause::Damaged && restartItem && partsOf(current) > 1)
        itemFailures = suspectFailures;
    if (!continuing && requestReceived > 0 && !restartItem) {
        if (current.kind == DownloadItem::AudioFile
            || (current.kind == DownloadItem::ImgArchive && current.wholeArchive)) {
            archivePartBytes = archivePartStart;
            if (!rewindPart(current.kind == DownloadItem::AudioFile))
                restartItem = true;
        }
    }
    if (!continuing) {
        requestBytes = 0;
        requestReceived = 0;
    }
    troubled.insert(current.path);
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

bool FileDownloader::rewindPart(bool hashed)
{
    if (!output || !output->flush() || !output->seek(partStart) || !output->resize(partStart))
        return false;
    if (!hashed)
        return true;
    // The digest runs over the whole file and cannot forget a part's bytes: it is taken again
    // from what the parts before left on disk, which is rare enough to afford the read.
    itemDigest.reset();
    QFile written(output->fileName());
    if (!written.open(QIODevice::ReadOnly))
        return false;
    QByteArray chunk;
    for (qint64 left = partStart; left > 0; left -= chunk.size()) {
        chunk = written.read(qMin<qint64>(left, 4 * 1024 * 1024));
        if (chunk.isEmpty())
            return false;
        itemDigest.addData(chunk.constData(), chunk.size());
    }
    return true;
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
    qCWarning(lcSync).noquote() << "given up for this cycle:" << item.path
                                << (localFault ? "(the disk refused it)" : "(the host failed it)");
    if (localFault)
        failures.append(item.path);
    continuing = false;
    heldAtFailure = 0;
    inflater.reset();
    if (editor) {
        editor->close();
        editor.reset();
    }
    removeOutput(item);
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
    if (!pipeline)
        return;
    // A plain file's bar moves only when it is complete; the same figures again tell the
    // window nothing and would still cross threads for every packet.
    const quint64 done = doneBytes();
    if (done == reportedDone && total == reportedTotal)
        return;
    reportedDone = done;
    reportedTotal = total;
    pipeline->updateProgressBar(total, done);
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
    shownStatus = status;
    shownAt.start();
}
