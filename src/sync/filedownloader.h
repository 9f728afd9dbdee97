#pragma once

#include "sync/digestpipe.h"
#include "sync/releasedocument.h"

#include <QBuffer>
#include <QByteArray>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>
#include <utility>

class BodyPrefetch;
class DownloadLedger;
class ReleaseDocument;
class QFile;
class QNetworkAccessManager;
class QNetworkReply;
class SyncProgress;

namespace ImgArchive {
class ArchiveEditor;
}
namespace PackedStream {
class Inflater;
}

// One queued download.
struct DownloadItem
{
    enum Kind { File = 0, ImgArchive = 1, AudioFile = 2 };

    qint32 kind = File;
    QString name;
    QString path; // relative to the game directory; also the name shown
    quint32 size = 0; // plain and audio file: the file size; IMG archive: its packed size
    quint32 partCount = 0;
    quint32 partSize = 0;
    QList<QPair<QString, quint32>> elements; // element mode: what to fetch, in order
    bool createEmpty = false;
    bool wholeArchive = false;
};

// Fetches what the planner queued from the file host, one request at a time on the calling
// (worker) thread: plain files packed whole, audio files in raw parts, IMG archives element by
// element into the local archive or whole in packed 16 MiB parts. Bodies are unpacked and
// hashed as they arrive and written straight to a temporary beside their destination (an
// element, which is edited into its archive whole, to memory); an item is put in place only
// after its size and digest match, and each completed item is committed to the ledger at once.
// A connection that breaks mid-body is continued with a Range request. Network faults, stalls
// and wrong content are retried after a countdown that doubles with every failure in a row (up
// to a cap), until the stop flag is set; an item whose content keeps failing its check, or that
// the host keeps not finding, ends the queue instead (passedOver()), since the list it was
// planned from may have changed on the host: the pipeline's next cycle fetches the list again.
// An item fetched in parts whose whole does not match does so at once. An item the host keeps
// breaking off with no new byte is given up for this run (unreachableItems()) and the queue
// goes on; a long run of failures of any items ends the queue too.
//
// A local write failure (a temporary or a destination that cannot be written, an archive that
// cannot be opened) does not end the run: that item is given up for this run, its temporary
// is removed, it is listed in localFailures(), and the rest of the queue is still fetched.
class FileDownloader : public QObject
{
    Q_OBJECT

public:
    struct Timing
    {
        int tickMs = 1000; // one speed and countdown tick
        int firstTickMs = 100;
        int stallTicks = 10; // ticks without data before a reply is aborted
        int retryTicks = 3; // ticks between a failure and the retry
        int maxRetryTicks = 60; // the pause grows up to this
    };
    static constexpr int redirectLimit = 10;
    // What the network layer may hold ahead of the worker, per reply.
    static constexpr qint64 readBufferBytes = 1024 * 1024;
    // Failed checks, "not found" answers or failures that brought no new byte, of one item,
    // before it is passed over.
    static constexpr int suspectFailures = 3;
    // Failures in a row, of any items, after which the queue ends.
    static constexpr int giveUpStreak = 8;
    // How often the counters of a body being received are redrawn.
    static constexpr int receivingTextMs = 100;

    // filesUrl: the file host's base, "https://host/launcher/filesystem". network, when
    // given, is the worker's own (living on its thread), so that a run keeps one connection
    // to the host across cycles; otherwise the downloader makes one.
    FileDownloader(const QString &baseDir, SyncProgress *pipeline, DownloadLedger *planner,
        const QString &filesUrl, const Timing &timing, QObject *parent = nullptr,
        QNetworkAccessManager *network = nullptr);
    FileDownloader(const QString &baseDir, SyncProgress *pipeline, DownloadLedger *planner,
        const QString &filesUrl, QObject *parent = nullptr);
    ~FileDownloader() override;

    void addFile(const QString &name, const QString &path, quint32 size);
    void addAudioFile(const QString &name, const QString &path, quint32 size, quint32 partCount,
        quint32 partSize);
    void addImgArchive(const QString &name, const QString &path, quint32 packedSize,
        quint32 partCount, const QList<QPair<QString, quint32>> &elements, bool createEmpty,
        bool wholeArchive);
    void addDirectory(const QString &path) { directories.append(path); }

    const QList<DownloadItem> &items() const { return queue; }
    const QStringList &directoriesToCreate() const { return directories; }

    // Creates every listed directory (with its parents) and records each in the ledger,
    // whether it had to be created or not.
    void createDirectories();

    // Sets and reports the total of the queued downloads.
    quint64 totalBytes();
    // MiB still missing on the game drive; 0 or less means enough.
    qint32 spaceShortfall() const;
    // Replaces the free-space query (tests); the default asks the platform.
    void setFreeSpaceQuery(const std::function<qint64(const QString &)> &query);

    // Runs the queue; returns when it is done or the stop flag is set.
    void start();

    // Paths of items given up because the local disk refused them, in queue order.
    const QStringList &localFailures() const { return failures; }
    // Paths of items the host failed at least once this run (any retry); their coming back in
    // the next cycle's plan is no sign of a local fault.
    const QSet<QString> &hostTroubled() const { return troubled; }
    // The item whose content kept failing its check, or the last of a run of failures that
    // ended the queue; empty otherwise.
    const QString &passedOver() const { return passed; }
    // Items the host kept breaking off at the same byte; the queue went on without them.
    const QStringList &unreachableItems() const { return unreachable; }
    // Items fetched and put in place whole.
    int finishedItems() const { return finished; }
    // The signed release the queue was planned from: every body must then be one it lists, of
    // its size and SHA-256 as served (the list's MD5 alone can be matched by a forged twin).
    void setRelease(const ReleaseDocument *document) { release = document; }
    // Items to fetch after all others (passed over by an earlier cycle).
    void setDeferred(const QSet<QString> &paths) { deferred = paths; }
    // Host failures in a row, carried from one cycle's downloader to the next so that fetching
    // the list again does not reset the pause.
    int failureStreak() const { return streak; }
    void setFailureStreak(int failures) { streak = failures; }

public slots:
    void networkFinished();
    void networkReadyRead();
    void networkProgress(qint64 bytesRead, qint64 totalBytes);
    void speedCalc();

private:
    enum Status {
        Starting = 0,
        NetworkError = 1,
        DigestError = 2,
        Receiving = 3,
        Saving = 4,
        Unpacking = 5
    };
    enum class After { Advance, Retry, Fail };
    // What a failed request met, in the words the player is shown.
    enum class Cause { Connection, NotFound, HostError, Damaged };

    void runQueue();
    bool beginRequest(bool resume);
    void startRequestState();
    QUrl bodyUrl(const QString &remote) const;
    // Sends the request for a body (from its byte from on), whose size is at most limit.
    QNetworkReply *get(const QUrl &url, quint64 from, quint64 limit);
    void sendRequest(const QUrl &url);
    // Makes taken the reply being received; received: its bytes that arrived already.
    void adoptReply(QNetworkReply *taken, qint64 received);
    void replyFinished();
    // The address and limit of an item's body: its part (audio files, whole archives) or
    // element (archives element by element).
    static std::pair<QString, quint64> bodyOf(const DownloadItem &item, quint32 part, int element);
    // Lays out the bodies of the queue for sending ahead.
    void planPrefetch();
    // Whether the first bytes of a reply may be taken (a continued body must start where it
    // stopped).
    bool acceptReply(int status);
    void releaseReply();
    // False when the temporary did not take every byte.
    bool closeOutput();
    void removeOutput(const DownloadItem &item);
    After finishPlainFile(const DownloadItem &item);
    After finishElement(const DownloadItem &item);
    After finishAudioPart(const DownloadItem &item);
    After finishArchivePart(const DownloadItem &item);
    // The item's temporary is complete: moves it into place once verify accepts it. Bad
    // content asks for the whole item again; a disk failure is Fail.
    After commitOutput(
        const DownloadItem &item, const std::function<bool(const QString &)> &verify);
    bool hashMatches(const QString &expected);
    // Whether the body just received is the one the release lists (always, unsigned).
    bool servedAsReleased();
    // Takes the current part's bytes out of the item's temporary (and its digest, when hashed)
    // so that the part can be fetched again alone.
    bool rewindPart(bool hashed);
    bool verifyArchive(const DownloadItem &item, const QString &file) const;
    void scheduleRetry(Cause cause);
    bool makeRoom(const DownloadItem &item);
    // Ends the current item for this run; a local fault is listed in localFailures().
    void giveUp(const DownloadItem &item, bool localFault);
    QString diskPath(const QString &relative) const;
    void showStatus(int status);
    void reportProgress();
    quint64 doneBytes() const;

    QString baseDir;
    SyncProgress *pipeline;
    DownloadLedger *planner;
    QString filesUrl;
    Timing timing;
    QStringList directories;
    QList<DownloadItem> queue;
    int itemIndex = 0;
    int elementIndex = 0;
    quint32 partIndex = 0;
    QNetworkAccessManager *network;
    QNetworkReply *reply = nullptr;
    quint64 total = 0;
    quint64 completed = 0;
    quint64 requestBytes = 0;
    quint64 archivePartBytes = 0;
    quint64 archivePartStart = 0;
    QEventLoop loop;
    QFile *output = nullptr; // the item's temporary, open while its parts arrive
    qint64 partStart = 0; // where the current part begins in it
    std::unique_ptr<PackedStream::Inflater> inflater; // the packed body being received
    std::unique_ptr<BodyPrefetch> prefetch; // the bodies after it, sent ahead
    DigestPipe itemDigest; // of the file's or element's unpacked bytes
    const ReleaseDocument *release = nullptr;
    const ReleaseDocument::Body *servedBody = nullptr; // what the release says of this body
    Sha256 bodyDigest; // of the served bytes of the current body
    QByteArray elementData;
    QBuffer elementSink;
    QUrl requestUrl;
    quint64 rangeFrom = 0; // body bytes taken before this request, asked for with Range
    quint64 skipBytes = 0; // of a whole body sent again in answer to Range
    quint64 replyReceived = 0; // body bytes of the current reply
    bool replyChecked = false;
    bool continuing = false; // the next request continues the body
    bool damaged = false; // the body is not what was asked for
    std::unique_ptr<ImgArchive::ArchiveEditor> editor;
    QString editorPath;

    bool waiting = false;
    int countdown = 0;
    Cause cause = Cause::Connection;
    int streak = 0;
    int itemFailures = 0; // failed checks, "not found" and failures without a new byte
    // Bytes of the current part, element or file held at its last failure; forgotten when it
    // is done or given up.
    quint64 heldAtFailure = 0;
    QStringList unreachable;
    int finished = 0;
    QSet<QString> troubled;
    QSet<QString> deferred;
    QString passed;
    bool writeFailed = false;
    bool overflow = false; // the host sent more than the item can take
    bool restartItem = false; // the assembled whole failed its check: fetch every part again
    quint64 requestReceived = 0;
    quint64 requestLimit = 0;
    int stallTicks = 0;
    qint64 secondBytes = 0;
    qint64 lastBytesRead = 0;
    qint64 speed = -1;
    qint64 replyBytesRead = 0;
    int shownStatus = -1;
    QElapsedTimer shownAt;
    quint64 reportedTotal = 0;
    quint64 reportedDone = ~quint64(0);
    int redirects = 0;
    bool originalHttps = false;
    After outcome = After::Advance;

    QTimer speedTimer;
    QStringList failures;
    std::function<qint64(const QString &)> freeSpace;
};
