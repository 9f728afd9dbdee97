// Figures of the synchronisation next to the tools that do the same job on the same data, each a
// row of the table (medians of alternated runs; peak memory: the maximum over its runs):
//   large   one 512 MiB file from a loopback HTTPS host, next to (a) curl fetching the packed
//           body over one connection, curl piped into an inflate + MD5 of it, and (b) inflating
//           and hashing the packed body from disk in one process; peak memory of the download
//   small   2,000 small files, next to curl fetching them over one connection
//   second  first-launch hashing of 20,000 small files next to md5sum; the second launch on
//           them: inventory + plan (from the arrival of the list to the end) next to
//           find -printf '%s %T@ %p\n', and the whole run, list fetch included
//   tree1g  peak memory while synchronising a 1 GiB tree; first-launch hashing of its large
//           files next to md5sum
//   saves   the share of state saves in an update of 2,000 files inside a 100,000-entry tree:
//           the update with the real save interval next to the same update with saves held off
// The synchronisation runs in a child process (this program with --child), so that its reads
// and its memory are its own and not the host's; --inflate-md5 FILE|- is reference (b);
// --publish REFERENCE OUTDIR makes the host's trees.
#include "app/runstate.h"
#include "benchsupport.h"
#include "files/filesystem.h"
#include "publisher.h"
#include "sync/syncthread.h"
#include "testcertificates.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QMap>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QVector>

#include <atomic>
#include <climits>
#include <cstdio>
#include <memory>
#include <openssl/evp.h>
#include <sys/inotify.h>
#include <unistd.h>
#include <zlib.h>

using namespace Bench;

namespace {

// ---- A keep-alive HTTPS file host ------------------------------------------------------------

// Serves the files below a root over HTTPS/1.1, keeping connections open between requests and
// streaming bodies from disk, as a real file host does; the test server of the test suite
// closes every connection, which would measure handshakes instead of transfers.
class FileHost : public QTcpServer
{
public:
    FileHost(const QString &root, const TestCertificates &certificates)
        : root(root)
        , certificate(certificates.serverCertificate())
        , key(certificates.serverKey())
    {
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QSslSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        ++connections;
        socket->setLocalCertificate(certificate);
        socket->setPrivateKey(key);
        auto *body = new QFile(socket);
        auto *request = new QByteArray;
        connect(socket, &QObject::destroyed, [request] { delete request; });
        auto pump = [socket, body] {
            while (body->isOpen()
                && socket->encryptedBytesToWrite() + socket->bytesToWrite() < (1 << 20)) {
                const QByteArray chunk = body->read(256 * 1024);
                if (chunk.isEmpty()) {
                    body->close();
                    break;
                }
                socket->write(chunk);
            }
        };
        auto serve = [this, socket, body, request, pump] {
            request->append(socket->readAll());
            while (!body->isOpen()) {
                const int end = request->indexOf("\r\n\r\n");
                if (end < 0)
                    return;
                const QList<QByteArray> words = request->left(request->indexOf("\r\n")).split(' ');
                request->remove(0, end + 4);
                const QString path = words.size() > 1
                    ? QUrl::fromPercentEncoding(words.at(1).split('?').first())
                    : QString();
                body->setFileName(root + path);
                if (path.contains(QLatin1String("..")) || !QFileInfo(body->fileName()).isFile()
                    || !body->open(QIODevice::ReadOnly)) {
                    socket->write("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
                    continue;
                }
                socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                              "Content-Length: "
                    + QByteArray::number(body->size()) + "\r\n\r\n");
                pump();
            }
        };
        connect(socket, &QSslSocket::readyRead, socket, serve);
        connect(socket, &QSslSocket::encryptedBytesWritten, socket, [pump, serve, body] {
            pump();
            if (!body->isOpen())
                serve(); // a request that came in while the last body went out
        });
        connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
        socket->startServerEncryption();
    }

public:
    std::atomic<int> connections { 0 };

private:
    QString root;
    QSslCertificate certificate;
    QSslKey key;
};

// ---- Reference (b): inflate + MD5 in one process ---------------------------------------------

// --inflate-md5 FILE|-: unpacks the launcher's packed form (a 4-byte length, then a zlib stream)
// from a file or standard input and prints the MD5 of the result; what a download must do at
// least, without the network and without writing.
int runInflateMd5(const QString &path)
{
    QFile in(path);
    const bool opened = path == QLatin1String("-") ? in.open(stdin, QIODevice::ReadOnly)
                                                   : in.open(QIODevice::ReadOnly);
    if (!opened)
        return 2;
    constexpr int chunk = 1 << 20;
    const std::unique_ptr<unsigned char[]> input(new unsigned char[chunk]);
    const std::unique_ptr<unsigned char[]> output(new unsigned char[chunk]);
    z_stream stream {};
    if (inflateInit(&stream) != Z_OK)
        return 2;
    EVP_MD_CTX *md5 = EVP_MD_CTX_new();
    EVP_DigestInit_ex(md5, EVP_md5(), nullptr);
    qint64 prefix = 4;
    int result = Z_OK;
    while (result == Z_OK) {
        const qint64 got = in.read(reinterpret_cast<char *>(input.get()), chunk);
        if (got <= 0)
            break;
        const qint64 skipped = qMin(prefix, got);
        prefix -= skipped;
        stream.next_in = input.get() + skipped;
        stream.avail_in = uInt(got - skipped);
        do {
            stream.next_out = output.get();
            stream.avail_out = chunk;
            result = inflate(&stream, Z_NO_FLUSH);
            if (result == Z_BUF_ERROR)
                result = Z_OK; // wants more input
            EVP_DigestUpdate(md5, output.get(), chunk - stream.avail_out);
        } while (result == Z_OK && stream.avail_out == 0);
    }
    inflateEnd(&stream);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(md5, digest, &length);
    EVP_MD_CTX_free(md5);
    std::printf("%s\n",
        QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex().constData());
    return result == Z_STREAM_END ? 0 : 1;
}

// ---- The synchronisation in a child process --------------------------------------------------

qint64 ioField(const QByteArray &io, const QByteArray &name)
{
    for (const QByteArray &line : io.split('\n')) {
        if (line.startsWith(name + ": "))
            return line.mid(name.size() + 2).trimmed().toLongLong();
    }
    return -1;
}

QByteArray selfIo()
{
    QFile io(QStringLiteral("/proc/self/io"));
    return io.open(QIODevice::ReadOnly) ? io.readAll() : QByteArray();
}

long vmHwmKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

// Saves of the state file seen in the launcher's directory since the watch began: every save
// ends with the file closed after writing or renamed into place.
int countStateSaves(int watch)
{
    int saves = 0;
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = read(watch, buffer, sizeof buffer);
        if (got <= 0)
            return saves;
        for (ssize_t at = 0; at < got;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            if (event->len > 0 && qstrcmp(event->name, SyncThread::stateFileName + 1) == 0)
                ++saves;
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
}

// What one save of the state costs now that the run has ended: the steps of a save over the
// state the run left, into a scratch directory; the medians of three. text: normalise and
// write the text; seal: seal and replace the file (QSaveFile, synced to disk).
void oneSave(const QString &game, const QString &launcher, double *text, double *seal)
{
    *text = *seal = -1;
    const QByteArray payload
        = FileSystem::readSealedFile(QLatin1String(SyncThread::stateFileName), launcher);
    FileSystem state;
    state.setRootPath(game);
    if (payload.isEmpty() || !state.readText(payload, true))
        return;
    QTemporaryDir scratch(launcher + "/save-cost-XXXXXX");
    QVector<double> texts, seals;
    for (int i = 0; i < 3; ++i) {
        QElapsedTimer timer;
        timer.start();
        state.normalize();
        QByteArray bytes;
        state.writeText(bytes, true);
        texts.append(double(timer.nsecsElapsed()) / 1e9);
        timer.start();
        FileSystem::writeSealedFile(
            QLatin1String(SyncThread::stateFileName), bytes, scratch.path());
        seals.append(double(timer.nsecsElapsed()) / 1e9);
    }
    *text = median(texts);
    *seal = median(seals);
    // The seal is mostly zlib at level 9, the level the state file is written at; what the same
    // text costs at lower levels, on one core, shows how much of a save that choice is.
    QByteArray bytes;
    state.writeText(bytes, true);
    for (const int level : { 9, 6, 1 }) {
        QElapsedTimer timer;
        timer.start();
        const int packed = qCompress(bytes, level).size();
        std::printf("save_zlib%d_s %.4f\nsave_zlib%d_bytes %d\n", level,
            double(timer.nsecsElapsed()) / 1e9, level, packed);
    }
}

// --child game=DIR launcher=DIR url=URL ca=FILE [save-ms=N] [save-cost=1] [deadline-ms=N]: one
// synchronisation; prints "name value" lines.
int runChild(const QStringList &arguments)
{
    QMap<QString, QString> option;
    for (const QString &argument : arguments)
        option.insert(
            argument.section(QLatin1Char('='), 0, 0), argument.section(QLatin1Char('='), 1));
    const QString game = option.value(QStringLiteral("game"));
    const QString launcher = option.value(QStringLiteral("launcher"));

    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setCaCertificates(
        tls.caCertificates() + QSslCertificate::fromPath(option.value(QStringLiteral("ca"))));
    QSslConfiguration::setDefaultConfiguration(tls);
    SyncEnvironment environment = SyncEnvironment::standard();
    environment.launcherDir = launcher;
    environment.fileHostUrl = option.value(QStringLiteral("url"));
    environment.freeBytes = [](const QString &) { return qint64(1) << 50; };
    environment.startDelayMs = 0;
    if (option.contains(QStringLiteral("save-ms")))
        environment.stateSaveIntervalMs = option.value(QStringLiteral("save-ms")).toInt();

    const QString listText = QStringLiteral("Получение списка синхронизируемых файлов...");
    QElapsedTimer clock;
    qint64 listStart = -1, listEnd = -1, oldCopyStart = -1, oldCopyEnd = -1, downloadStart = -1,
           downloadEnd = -1, finishedAt = -1;
    bool inList = false;
    bool finished = false;
    auto *worker = new SyncThread(game, nullptr, environment);
    QThread thread;
    worker->moveToThread(&thread);
    QObject::connect(
        worker, &SyncThread::setProgressText, worker,
        [&](const QString &left, const QString &) {
            const qint64 now = clock.nsecsElapsed();
            if (left == listText) {
                inList = true;
                if (listStart < 0)
                    listStart = now;
                return;
            }
            if (inList && listEnd < 0)
                listEnd = now;
            inList = false;
            if (left == QStringLiteral("Проверка целостности старой копии игры..."))
                oldCopyStart = now;
            else if (left == QStringLiteral("Проверка целостности и поиск обновлений...")
                && oldCopyStart >= 0 && oldCopyEnd < 0)
                oldCopyEnd = now;
            else if (left == QStringLiteral("Подготовка к скачиванию...") && downloadStart < 0)
                downloadStart = now;
            else if (left == QStringLiteral("Пересборка обновленных IMG архивов...")
                && downloadStart >= 0 && downloadEnd < 0)
                downloadEnd = now;
        },
        Qt::DirectConnection);
    QObject::connect(
        worker, &SyncThread::finish, worker,
        [&](bool ready) {
            finished = ready;
            finishedAt = clock.nsecsElapsed();
        },
        Qt::DirectConnection);
    QObject::connect(&thread, &QThread::started, worker, &SyncThread::start);
    QEventLoop loop;
    QObject::connect(&thread, &QThread::finished, &loop, &QEventLoop::quit);

    // Stopped the way the launcher stops it when the player closes the window.
    bool stoppedByDeadline = false;
    if (option.contains(QStringLiteral("deadline-ms"))) {
        QTimer::singleShot(option.value(QStringLiteral("deadline-ms")).toInt(), [&] {
            stoppedByDeadline = true;
            quitRequested = true;
        });
    }
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch >= 0)
        inotify_add_watch(
            watch, QFile::encodeName(launcher).constData(), IN_CLOSE_WRITE | IN_MOVED_TO);
    const QByteArray ioBefore = selfIo();
    clock.start();
    thread.start();
    loop.exec();
    thread.wait();
    const qint64 wall = clock.nsecsElapsed();
    const QByteArray ioAfter = selfIo();
    delete worker;
    const int saves = watch >= 0 ? countStateSaves(watch) : -1;
    if (finishedAt < 0)
        finishedAt = wall;

    auto span = [](qint64 from, qint64 to) { return double(to - from) / 1e9; };
    std::printf("finished %d\n", finished ? 1 : 0);
    std::printf("stopped %d\n", stoppedByDeadline ? 1 : 0);
    std::printf("run_s %.4f\n", span(0, finishedAt));
    std::printf("rchar %lld\n", ioField(ioAfter, "rchar") - ioField(ioBefore, "rchar"));
    std::printf(
        "read_bytes %lld\n", ioField(ioAfter, "read_bytes") - ioField(ioBefore, "read_bytes"));
    if (listStart >= 0 && listEnd >= 0) {
        std::printf("list_s %.4f\n", span(listStart, listEnd));
        std::printf("after_list_s %.4f\n", span(listEnd, finishedAt));
    }
    if (oldCopyStart >= 0 && oldCopyEnd >= 0)
        std::printf("oldcopy_s %.4f\n", span(oldCopyStart, oldCopyEnd));
    if (downloadStart >= 0 && downloadEnd >= 0)
        std::printf("download_s %.4f\n", span(downloadStart, downloadEnd));
    std::printf("vmhwm_kib %ld\n", vmHwmKiB());
    std::printf("saves %d\n", saves);
    quitRequested = false; // a run stopped at its deadline has set it
    if (option.value(QStringLiteral("save-cost")) == QLatin1String("1")) {
        double text = 0, seal = 0;
        oneSave(game, launcher, &text, &seal);
        std::printf("save_text_s %.4f\nsave_seal_s %.4f\n", text, seal);
    }
    return finished ? 0 : 1;
}

// ---- The orchestration -----------------------------------------------------------------------

class SyncBench
{
public:
    SyncBench(const QString &work, const Options &options)
        : work(work)
        , options(options)
    {
    }

    ~SyncBench()
    {
        hostThread.quit();
        hostThread.wait();
        delete host;
    }

    bool start();
    void largeDownload();
    void smallDownloads();
    void secondLaunchAndHashing();
    void largeTree();
    void stateSaves();

private:
    QString hostDir(const QString &name) const { return work + "/hosts/" + name; }
    QString url(const QString &name) const
    {
        return QString("https://127.0.0.1:%1/%2").arg(port).arg(name);
    }
    bool publishTree(const QString &reference, const QString &name, QString *release = nullptr);
    Figures sync(const QString &game, const QString &launcher, const QString &name,
        const QStringList &extra = QStringList());
    ToolRun curl(const QStringList &paths, const QString &name);
    ToolRun md5sum(const QString &root);
    void hashingRow(
        const QString &work, const QString &game, const QString &launcher, const QString &name);

    QString work;
    Options options;
    TestCertificates certificates;
    QThread hostThread;
    FileHost *host = nullptr;
    quint16 port = 0;
};

bool SyncBench::start()
{
    if (!certificates.generate()) {
        std::fprintf(stderr, "certificates: %s\n", qPrintable(certificates.errorText()));
        return false;
    }
    QDir().mkpath(work + "/hosts");
    host = new FileHost(work + "/hosts", certificates);
    host->moveToThread(&hostThread);
    hostThread.start();
    bool listening = false;
    QMetaObject::invokeMethod(
        host,
        [this, &listening] {
            listening = host->listen(QHostAddress::LocalHost);
            port = host->serverPort();
        },
        Qt::BlockingQueuedConnection);
    return listening;
}

// --publish REFERENCE OUTDIR: publish() in a process of its own (see publishRelease).
int runPublish(const QString &reference, const QString &outDir)
{
    const PublishReport report = publish(reference, outDir, PublishOptions());
    std::printf("%s\n%d %d\n%s\n", report.ok ? "ok" : "failed", report.written, report.reused,
        qPrintable(report.ok ? report.release : report.error));
    return report.ok ? 0 : 1;
}

bool SyncBench::publishTree(const QString &reference, const QString &name, QString *release)
{
    return publishRelease(
        QCoreApplication::applicationFilePath(), reference, hostDir(name), name, release);
}

Figures SyncBench::sync(
    const QString &game, const QString &launcher, const QString &name, const QStringList &extra)
{
    return runSync(QCoreApplication::applicationFilePath(), game, launcher, url(name),
        certificates.caPath(), extra);
}

ToolRun SyncBench::curl(const QStringList &paths, const QString &name)
{
    QStringList urls;
    for (const QString &path : paths)
        urls.append(url(name) + "/launcher/filesystem/" + path);
    return curlUrls(urls, work + "/curl-" + name + ".cfg", certificates.caPath());
}

ToolRun SyncBench::md5sum(const QString &root)
{
    settle();
    return runTool(
        { "sh", "-c", QString("find '%1' -type f -print0 | xargs -0 md5sum").arg(root) });
}

// First launches (no state file: every file is hashed) alternated with md5sum over the tree.
void SyncBench::hashingRow(
    const QString &what, const QString &game, const QString &launcher, const QString &name)
{
    int files = 0;
    const qint64 bytes = treeBytes(game, &files);
    QVector<double> launcherRates, toolRates;
    for (int i = 0; i < options.runs; ++i) {
        QFile::remove(launcher + SyncThread::stateFileName);
        const Figures run = sync(game, launcher, name);
        if (run.contains("oldcopy_s"))
            launcherRates.append(mib(bytes) / run.value("oldcopy_s"));
        const ToolRun tool = md5sum(game);
        toolRates.append(mib(bytes) / tool.seconds);
        std::printf("  run %d: launcher %.1f MiB/s, md5sum %.1f MiB/s\n", i + 1,
            launcherRates.value(launcherRates.size() - 1), toolRates.last());
    }
    const double launcherRate = median(launcherRates);
    const double toolRate = median(toolRates);
    const double ratio = launcherRate / toolRate;
    row(QString("first-launch hashing, %1 (%2 files, %3 MiB)")
            .arg(what, thousands(files))
            .arg(mib(bytes), 0, 'f', 0),
        QString("%1 MiB/s").arg(launcherRate, 0, 'f', 0),
        QString("`md5sum` %1 MiB/s").arg(toolRate, 0, 'f', 0),
        QString("%1 of md5sum's speed").arg(ratio, 0, 'f', 2), "≥ 0.95: " + verdict(ratio >= 0.95));
}

void SyncBench::largeDownload()
{
    std::printf("\nlarge: one large file from the loopback HTTPS host\n");
    const qint64 size = qint64(options.scaled(512)) << 20;
    const QString reference = work + "/ref-large";
    writeData(reference + "/big.bin", size, 7);
    if (!publishTree(reference, "large"))
        return;
    QDir(reference).removeRecursively();
    const QString packedPath = hostDir("large") + "/launcher/filesystem/big.bin.compressed";
    const qint64 packed = QFileInfo(packedPath).size();
    const QString bodyUrl = url("large") + "/launcher/filesystem/big.bin.compressed";
    const QString self = QCoreApplication::applicationFilePath();
    const QString game = work + "/game-large";
    const QString launcher = work + "/launcher-large";

    QVector<Figures> runs;
    QVector<double> curlTimes, chainTimes, inflateTimes, curlMemory;
    const int total = qMax(options.runs, options.memoryRuns);
    for (int i = 0; i < total; ++i) {
        removeDirs({ game, launcher });
        const int before = host->connections;
        runs.append(sync(game, launcher, "large"));
        const int used = host->connections - before;
        QString line = QString("  run %1: launcher %2 s (%3 connection(s)), peak %4 MiB")
                           .arg(i + 1)
                           .arg(runs.last().value("download_s"), 0, 'f', 2)
                           .arg(used)
                           .arg(runs.last().value("vmhwm_kib") / 1024, 0, 'f', 1);
        if (i < options.runs) {
            const ToolRun a = curl({ "big.bin.compressed" }, "large");
            curlTimes.append(a.seconds);
            curlMemory.append(a.maxRssKiB / 1024.0);
            settle();
            const ToolRun chain = runTool({ "sh", "-c",
                QString("curl --silent --fail --cacert '%1' '%2' | '%3' --inflate-md5 -")
                    .arg(certificates.caPath(), bodyUrl, self) });
            chainTimes.append(chain.seconds);
            settle();
            const ToolRun b = runTool({ self, "--inflate-md5", packedPath });
            inflateTimes.append(b.seconds);
            if (!chain.ok || !b.ok)
                std::printf("  !! inflate + md5 failed\n");
            line += QString("; curl %1 s, chain %2 s, inflate + md5 %3 s")
                        .arg(a.seconds, 0, 'f', 2)
                        .arg(chain.seconds, 0, 'f', 2)
                        .arg(b.seconds, 0, 'f', 2);
        }
        std::printf("%s\n", qPrintable(line));
    }
    const double launcherTime = median(column(runs, "download_s"));
    const double a = median(curlTimes);
    const double b = median(inflateTimes);
    const double slower = qMax(a, b);
    row(QString("one %1 MiB file from a loopback HTTPS host (%2 MiB packed)")
            .arg(mib(size), 0, 'f', 0)
            .arg(mib(packed), 0, 'f', 0),
        seconds(launcherTime),
        QString("(a) `curl` %1; curl + inflate + md5 chain %2; (b) inflate + md5 in one process %3")
            .arg(seconds(a), seconds(median(chainTimes)), seconds(b)),
        QString("%1× the slower of (a), (b); %2 of curl's speed")
            .arg(launcherTime / slower, 0, 'f', 2)
            .arg(a / launcherTime, 0, 'f', 2),
        "≤ 1.2× the slower: " + verdict(launcherTime <= 1.2 * slower));

    const QVector<double> peaks = column(runs, "vmhwm_kib");
    row(QString("peak memory, %1 MiB download (max of %2 runs)")
            .arg(mib(size), 0, 'f', 0)
            .arg(peaks.size()),
        peakMemoryFigure(peaks), QString("`curl` %1 MiB").arg(maximum(curlMemory), 0, 'f', 0), "—",
        "≤ 100 MiB in every run: " + verdict(maximum(peaks) / 1024 <= 100));
    removeDirs({ game, launcher, hostDir("large") });
}

void SyncBench::smallDownloads()
{
    std::printf("\nsmall: many small files from the loopback HTTPS host\n");
    const int files = options.scaled(2000);
    const QString reference = work + "/ref-small";
    QStringList paths;
    for (int i = 0; i < files; ++i) {
        const QString path = QString("data/d%1/f%2.dat").arg(i % 50).arg(i);
        writeData(reference + '/' + path, 1024 + (i * 7919) % 15360, quint64(i + 7));
        paths.append(path + ".compressed");
    }
    if (!publishTree(reference, "small"))
        return;
    QDir(reference).removeRecursively();
    const qint64 packed = treeBytes(hostDir("small") + "/launcher/filesystem");
    const QString game = work + "/game-small";
    const QString launcher = work + "/launcher-small";
    QVector<double> launcherTimes, curlTimes;
    for (int i = 0; i < options.runs; ++i) {
        removeDirs({ game, launcher });
        const int before = host->connections;
        const Figures run = sync(game, launcher, "small");
        const int used = host->connections - before;
        launcherTimes.append(run.value("download_s"));
        const int curlBefore = host->connections;
        curlTimes.append(curl(paths, "small").seconds);
        std::printf(
            "  run %d: launcher %.2f s (%d connection(s)), curl %.2f s (%d connection(s))\n", i + 1,
            launcherTimes.last(), used, curlTimes.last(), host->connections - curlBefore);
    }
    const double launcherTime = median(launcherTimes);
    const double curlTime = median(curlTimes);
    const double ratio = curlTime / launcherTime;
    row(QString("%1 small files (%2 MiB packed)").arg(thousands(files)).arg(mib(packed), 0, 'f', 1),
        seconds(launcherTime), "`curl` over one connection " + seconds(curlTime),
        QString("%1 of curl's speed").arg(ratio, 0, 'f', 2), "≥ 0.6: " + verdict(ratio >= 0.6));
    removeDirs({ game, launcher, hostDir("small") });
}

void SyncBench::secondLaunchAndHashing()
{
    std::printf("\nsecond: a tree of small files and IMG archives, first and second launch\n");
    const QString reference = work + "/tree20k";
    const QString game = work + "/tree20k-game";
    const QString launcher = work + "/tree20k-launcher";
    const int archives = 6;
    const int elements = options.scaled(1000);
    const int files = options.scaled(20000) - archives;
    for (int i = 0; i < files; ++i)
        writeData(QString("%1/data/d%2/f%3.dat").arg(reference).arg(i % 200).arg(i),
            1024 + (i * 7919) % 15360, quint64(i));
    for (int i = 0; i < archives; ++i)
        writeArchive(QString("%1/models/a%2.img").arg(reference).arg(i), elements,
            2048 * (1 + i % 4), quint64(1000000 + i));
    if (!publishTree(reference, "tree20k"))
        return;
    runTool({ "cp", "-a", reference, game });
    QDir(reference).removeRecursively();

    hashingRow("small files", game, launcher, "tree20k");

    int entries = 0;
    treeBytes(game, &entries);
    QVector<Figures> runs;
    QVector<double> findTimes;
    for (int i = 0; i < options.runs; ++i) {
        runs.append(sync(game, launcher, "tree20k"));
        settle();
        findTimes.append(runTool({ "find", game, "-printf", "%s %T@ %p\\n" }).seconds);
        std::printf("  run %d: launcher %.3f s after the list (list %.3f s, whole %.3f s, process "
                    "%.3f s, rchar %.0f KiB), find %.3f s\n",
            i + 1, runs.last().value("after_list_s"), runs.last().value("list_s"),
            runs.last().value("run_s"), runs.last().value("process_s"),
            runs.last().value("rchar") / 1024, findTimes.last());
    }
    std::printf("  state file %.1f KiB, list %.1f KiB\n",
        QFileInfo(launcher + SyncThread::stateFileName).size() / 1024.0,
        QFileInfo(hostDir("tree20k") + "/launcher/sync.lst").size() / 1024.0);
    const double inventory = median(column(runs, "after_list_s"));
    const double find = median(findTimes);
    row(QString("second launch, %1 unchanged files: inventory + plan").arg(thousands(entries)),
        seconds(inventory), "`find -printf '%s %T@ %p\\n'` " + seconds(find),
        QString("%1× find's time").arg(inventory / find, 0, 'f', 1),
        "≤ 2×: " + verdict(inventory <= 2 * find));
    const double whole = median(column(runs, "run_s"));
    row(QString("second launch, %1 unchanged files: whole run, list fetch included")
            .arg(thousands(entries)),
        seconds(whole),
        QString("(its list fetch %1; the whole process, start and exit included, %2)")
            .arg(seconds(median(column(runs, "list_s"))),
                seconds(median(column(runs, "process_s")))),
        "—", "≤ 0.4 s: " + verdict(whole <= 0.4));
    removeDirs({ game, launcher, hostDir("tree20k") });
}

void SyncBench::largeTree()
{
    std::printf("\ntree1g: synchronising a tree of large files\n");
    const QString reference = work + "/tree1g";
    const qint64 big = qint64(options.scaled(150)) << 20;
    for (int i = 0; i < 4; ++i)
        writeData(QString("%1/data/big%2.bin").arg(reference).arg(i), big, quint64(50 + i));
    writeData(reference + "/audio/streams/track", qint64(options.scaled(100)) << 20, 60);
    // 1,620 elements of 200 KiB: the tree comes to just over 1 GiB.
    writeArchive(reference + "/models/big.img", options.scaled(1620), 100 * 2048, 61);
    for (int i = 0; i < options.scaled(1000); ++i)
        writeData(QString("%1/data/small/f%2.dat").arg(reference).arg(i), 1024 + (i * 7919) % 15360,
            quint64(70 + i));
    const qint64 bytes = treeBytes(reference);
    if (!publishTree(reference, "tree1g"))
        return;
    QDir(reference).removeRecursively();
    std::printf("  %.1f MiB: files of %.0f MiB, an audio file in parts, a %.0f MiB archive fetched "
                "whole, small files\n",
        mib(bytes), mib(big), mib(qint64(options.scaled(1620)) * 100 * 2048));

    const QString game = work + "/tree1g-game";
    const QString launcher = work + "/tree1g-launcher";
    QVector<Figures> runs;
    for (int i = 0; i < options.memoryRuns; ++i) {
        removeDirs({ game, launcher });
        runs.append(sync(game, launcher, "tree1g"));
        std::printf("  run %d: peak %.1f MiB, download %.2f s, whole run %.2f s\n", i + 1,
            runs.last().value("vmhwm_kib") / 1024, runs.last().value("download_s"),
            runs.last().value("run_s"));
    }
    const QVector<double> peaks = column(runs, "vmhwm_kib");
    row(QString("peak memory, %1 GiB synchronisation (max of %2 runs)")
            .arg(mib(bytes) / 1024, 0, 'f', 2)
            .arg(peaks.size()),
        peakMemoryFigure(peaks),
        QString("(download %1, whole run %2)")
            .arg(seconds(median(column(runs, "download_s"))),
                seconds(median(column(runs, "run_s")))),
        "—", "≤ 100 MiB in every run: " + verdict(maximum(peaks) / 1024 <= 100));

    hashingRow("large files", game, launcher, "tree1g");
    removeDirs({ game, launcher, hostDir("tree1g") });
}

void SyncBench::stateSaves()
{
    std::printf("\nsaves: an update inside a large tree, with and without state saves\n");
    const int files = options.scaled(100000);
    const int changed = options.scaled(2000);
    const int step = qMax(1, files / changed);
    const QString reference = work + "/tree100k";
    auto path
        = [&](int i) { return QString("%1/data/d%2/f%3.dat").arg(reference).arg(i % 1000).arg(i); };
    for (int i = 0; i < files; ++i)
        writeData(path(i), 64 + (i * 7919) % 960, quint64(i));
    QString first, second;
    if (!publishTree(reference, "t100k", &first))
        return;
    const QString game = work + "/tree100k-game";
    const QString launcher = work + "/tree100k-launcher";
    runTool({ "cp", "-a", reference, game });
    for (int i = 0; i < files; i += step)
        writeData(path(i), 64 + (i * 7919) % 960 + 13, quint64(i) + 777777);
    if (!publishTree(reference, "t100k", &second))
        return;
    QDir(reference).removeRecursively();
    // Both releases stay served, each under a name of its own, so runs can go back and forth.
    const QString releases[] = { first, second };
    for (int i = 0; i < 2; ++i) {
        QDir().mkpath(hostDir(QString("t100k-%1").arg(i)));
        QFile::link(hostDir("t100k") + "/releases/" + releases[i],
            hostDir(QString("t100k-%1").arg(i)) + "/launcher");
    }
    // The state the updates start from: a first launch over the tree as the first release has it.
    const Figures setup = sync(game, launcher, "t100k-0");
    std::printf("  (first launch over %s files: %.1f s)\n", qPrintable(thousands(files)),
        setup.value("run_s"));

    const int realInterval = SyncEnvironment::standard().stateSaveIntervalMs;
    // A launcher whose saves grow with the tree spends about a second per item here; such a run
    // is stopped at the budget (as the player would close the launcher) and ends the section.
    const int budgetMs = 60000;
    int served = 0;
    bool overBudget = false;
    QVector<Figures> withSaves, heldOff;
    for (int i = 0; i < options.runs && !overBudget; ++i) {
        // Held off first, so that a real run stopped at the budget still has its pair.
        for (const bool real : { false, true }) {
            served = 1 - served;
            QStringList extra { "deadline-ms=" + QString::number(budgetMs), "save-cost=1" };
            if (!real)
                extra.append("save-ms=" + QString::number(INT_MAX));
            const Figures run = sync(game, launcher, QString("t100k-%1").arg(served), extra);
            (real ? withSaves : heldOff).append(run);
            std::printf("  run %d, saves %s: update %.2f s (download %.2f s), %d saves written, "
                        "one save %.0f + %.0f ms%s\n",
                i + 1, real ? "at their interval" : "held off", run.value("run_s"),
                run.value("download_s"), int(run.value("saves")), run.value("save_text_s") * 1000,
                run.value("save_seal_s") * 1000,
                run.value("stopped") == 1 ? ", stopped at the budget" : "");
            if (run.value("stopped") == 1) {
                overBudget = true;
                break;
            }
        }
    }
    // The time in saves: each save written costs what one save of the final state costs (the
    // library has no hook to time its own saves; a save it skips because nothing changed costs
    // only the text and is not counted). Held off, the update still writes the saves that must
    // precede a change and end a run: the difference is what the periodic saves add.
    QVector<double> shares;
    for (const Figures &run : withSaves)
        shares.append(run.value("saves") * (run.value("save_text_s") + run.value("save_seal_s"))
            / run.value("run_s"));
    const double share = median(shares);
    const double real = median(column(withSaves, "run_s"));
    const double off = median(column(heldOff, "run_s"));
    const QString work = QString("state saves, update of %1 files in a %2-entry tree")
                             .arg(thousands(files / step))
                             .arg(thousands(files));
    const double text = median(column(withSaves, "save_text_s"));
    const double seal = median(column(withSaves, "save_seal_s"));
    std::printf("  the state's text (one core): zlib level 9 %.0f ms to %.2f MiB, level 6 %.0f ms "
                "to %.2f MiB, level 1 %.0f ms to %.2f MiB\n",
        1000 * median(column(withSaves, "save_zlib9_s")),
        mib(median(column(withSaves, "save_zlib9_bytes"))),
        1000 * median(column(withSaves, "save_zlib6_s")),
        mib(median(column(withSaves, "save_zlib6_bytes"))),
        1000 * median(column(withSaves, "save_zlib1_s")),
        mib(median(column(withSaves, "save_zlib1_bytes"))));
    row(work,
        QString("%1% of the update: %2 saves written × %3 ms (text %4, seal and write %5) in %6%7")
            .arg(100 * share, 0, 'f', 0)
            .arg(median(column(withSaves, "saves")), 0, 'f', 0)
            .arg(1000 * (text + seal), 0, 'f', 0)
            .arg(1000 * text, 0, 'f', 0)
            .arg(1000 * seal, 0, 'f', 0)
            .arg(overBudget ? seconds(withSaves.last().value("run_s")) : seconds(real))
            .arg(overBudget ? QStringLiteral(", stopped at the budget") : QString()),
        QString("periodic saves held off: %1, %2 saves written")
            .arg(seconds(off))
            .arg(median(column(heldOff, "saves")), 0, 'f', 0),
        overBudget ? QString("over %1 s with periodic saves (every %2 ms or more)")
                         .arg(budgetMs / 1000)
                         .arg(realInterval)
                   : QString("periodic saves (every %1 ms or more) add %2%")
                         .arg(realInterval)
                         .arg(100 * (1 - off / real), 0, 'f', 0),
        "≤ 10%: " + verdict(!overBudget && share <= 0.10));
    removeDirs({ game, launcher, hostDir("t100k"), hostDir("t100k-0"), hostDir("t100k-1") });
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);
    if (arguments.value(0) == QLatin1String("--child"))
        return runChild(arguments.mid(1));
    if (arguments.value(0) == QLatin1String("--inflate-md5") && arguments.size() == 2)
        return runInflateMd5(arguments.at(1));
    if (arguments.value(0) == QLatin1String("--publish") && arguments.size() == 3)
        return runPublish(arguments.at(1), arguments.at(2));

    std::setvbuf(stdout, nullptr, _IOLBF, 0); // the progress reaches a pipe as it happens
    Options options;
    if (!parseOptions(arguments,
            "bench_sync " + optionsUsage() + "  sections: large, small, second, tree1g, saves\n",
            &options))
        return 2;
    if (!(options.wants("large") || options.wants("small") || options.wants("second")
            || options.wants("tree1g") || options.wants("saves")))
        return 0;
    QTemporaryDir work(options.dir + "/bench_sync-XXXXXX");
    if (!work.isValid())
        return 1;
    SyncBench bench(work.path(), options);
    if (!bench.start())
        return 1;
    std::printf("bench_sync, scale %.3g, %d runs (%d for memory), in %s\n", options.scale,
        options.runs, options.memoryRuns, qPrintable(work.path()));
    if (options.wants("large"))
        bench.largeDownload();
    if (options.wants("small"))
        bench.smallDownloads();
    if (options.wants("second"))
        bench.secondLaunchAndHashing();
    if (options.wants("tree1g"))
        bench.largeTree();
    if (options.wants("saves"))
        bench.stateSaves();
    return 0;
}
