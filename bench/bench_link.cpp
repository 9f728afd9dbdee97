// Figures of the synchronisation across a player's link, next to curl on the same link in the
// same run. A real web server (nginx, TLS, HTTP/2) on loopback serves releases made by the
// publisher; the delay line in front of it gives the round trip and the rate of a far host.
//   link   at 50 ms and at 150 ms round trip, 100 Mbit/s each way:
//            600 small files into an empty game directory, next to curl --http2 --parallel and
//            curl one request after another;
//            2,000 changed elements of one IMG archive updated in place, next to curl --http2
//            --parallel of the same element bodies;
//            one large body (>= 128 MiB packed), next to curl of the same body;
//          at loopback, straight to nginx: 2,000 small files next to curl.
//          Each link is checked first: round trip and rate measured by a plain client.
// The launcher's synchronisation is bench_sync's child (--child: its own process, memory and
// reads) pointed at the host by URL, trusting the bench's certificate; the releases are made by
// bench_sync --publish. A row stops starting runs once it has spent rowBudgetSeconds.
#include "benchsupport.h"
#include "testcertificates.h"
#include "testnginx.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QSslKey>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QtEndian>

#include <cstdio>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace Bench;

namespace {

// Rows whose launcher takes minutes (one request per round trip) get fewer runs: a row starts no
// run that would take it past this, and says so.
constexpr double rowBudgetSeconds = 200;

// The launcher's downloads start on the connection its list came over; curl's time is taken
// from its connection's TLS handshake on, so that both count the same round trips.
const QString connectingLeftOut = QStringLiteral(" (from its handshake's end)");

struct LinkSetting
{
    double rttMs;
    double rateMbit;

    QString name() const
    {
        return QString("delay line %1 ms RTT / %2 Mbit/s").arg(rttMs).arg(rateMbit);
    }
};

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(bytes) == bytes.size();
}

// ---- The delay line's check ------------------------------------------------------------------

// A loopback server for a plain client: the byte 'e' is echoed; 's' and an 8-byte big-endian
// count ask for that many bytes. One connection at a time, on a thread of its own.
class CheckServer
{
public:
    CheckServer()
    {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
            && ::listen(listener, 4) == 0
            && getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) == 0)
            port = ntohs(address.sin_port);
        thread = std::thread([this] { serve(); });
    }

    ~CheckServer()
    {
        shutdown(listener, SHUT_RDWR);
        thread.join();
        close(listener);
    }

    quint16 port = 0;

private:
    void serve()
    {
        for (;;) {
            const int connection = accept(listener, nullptr, nullptr);
            if (connection < 0)
                return;
            const int one = 1;
            setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            char command = 0;
            while (recv(connection, &command, 1, MSG_WAITALL) == 1) {
                if (command == 'e') {
                    send(connection, &command, 1, MSG_NOSIGNAL);
                    continue;
                }
                unsigned char count[8];
                if (command != 's' || recv(connection, count, 8, MSG_WAITALL) != 8)
                    break;
                qint64 left = qFromBigEndian<qint64>(count);
                const QByteArray block(1 << 16, 'x');
                while (left > 0) {
                    const ssize_t sent = send(connection, block.constData(),
                        size_t(qMin<qint64>(left, block.size())), MSG_NOSIGNAL);
                    if (sent <= 0)
                        break;
                    left -= sent;
                }
            }
            close(connection);
        }
    }

    int listener = -1;
    std::thread thread;
};

struct LinkCheck
{
    bool ok = false;
    double firstExchangeMs = 0; // connect + one exchange: a round trip of handshake, one of data
    double rttMs = 0; // median of one-byte exchanges on the open connection
    double rateMbit = 0; // a body's bytes over its time less one round trip
    qint64 bodyBytes = 0;
};

double millisecondsSince(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

LinkCheck checkLink(quint16 port, qint64 bodyBytes)
{
    LinkCheck check;
    check.bodyBytes = bodyBytes;
    const int connection = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    char byte = 'e';
    auto exchange = [&] {
        return send(connection, &byte, 1, MSG_NOSIGNAL) == 1
            && recv(connection, &byte, 1, MSG_WAITALL) == 1;
    };
    QElapsedTimer timer;
    timer.start();
    if (::connect(connection, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || !exchange()) {
        close(connection);
        return check;
    }
    check.firstExchangeMs = millisecondsSince(timer);
    QVector<double> rtts;
    for (int i = 0; i < 20; ++i) {
        timer.start();
        if (!exchange())
            break;
        rtts.append(millisecondsSince(timer));
    }
    check.rttMs = median(rtts);
    unsigned char request[9] = { 's' };
    qToBigEndian<qint64>(bodyBytes, request + 1);
    timer.start();
    qint64 got = 0;
    if (send(connection, request, sizeof request, MSG_NOSIGNAL) == sizeof request) {
        QByteArray buffer(1 << 20, '\0');
        while (got < bodyBytes) {
            const ssize_t now = recv(connection, buffer.data(), size_t(buffer.size()), 0);
            if (now <= 0)
                break;
            got += now;
        }
    }
    const double seconds = (millisecondsSince(timer) - check.rttMs) / 1000;
    close(connection);
    check.rateMbit = double(got) * 8 / seconds / 1e6;
    check.ok = rtts.size() == 20 && got == bodyBytes;
    return check;
}

// ---- The programs behind the link ------------------------------------------------------------

// The delay line as a process of its own; it tells its port and every connection it accepts in
// a file (a pipe left unread for minutes would stop it).
class DelayLine
{
public:
    ~DelayLine() { stop(); }

    bool start(const QString &dir, quint16 toPort, const LinkSetting &link)
    {
        log = dir + "/delayline.out";
        QFile::remove(log);
        process.setStandardOutputFile(log);
        process.setStandardErrorFile(dir + "/delayline.err");
        process.start(QStringLiteral(KORVINA_DELAYLINE_PATH),
            { "--to", QString::number(toPort), "--delay-ms", QString::number(link.rttMs / 2),
                "--rate-mbit", QString::number(link.rateMbit) });
        for (int i = 0; i < 100 && port == 0; ++i) {
            QThread::msleep(20);
            const QList<QByteArray> words = lines().value(0).split(' ');
            if (words.value(0) == "listening")
                port = quint16(words.value(1).toUInt());
        }
        return port != 0;
    }

    void stop()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        process.terminate();
        process.waitForFinished(5000);
    }

    int connections() const
    {
        int count = 0;
        for (const QByteArray &line : lines())
            count += line.startsWith("connection ");
        return count;
    }

    quint16 port = 0;

private:
    QList<QByteArray> lines() const
    {
        QFile file(log);
        return file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QList<QByteArray>();
    }

    QProcess process;
    QString log;
};

// ---- The rows --------------------------------------------------------------------------------

class LinkBench
{
public:
    LinkBench(const QString &work, const Options &options)
        : work(work)
        , options(options)
    {
    }

    bool start();
    void publish();
    void loopbackRow();
    void linkRows(const LinkSetting &link);

private:
    // What a row runs: the launcher, then each reference, alternated; a reference's time leaves
    // out its connection set-up (see connectingLeftOut; the log has both).
    struct Reference
    {
        QString name;
        QStringList curlOptions;
        QVector<double> times;
        bool intoFiles = false; // each body into a file of its own, as the launcher writes them
    };
    struct RowRuns
    {
        QVector<Figures> launcher;
        bool capped = false;
    };

    QString hostDir(const QString &name) const { return work + "/hosts/" + name; }
    QString url(quint16 port, const QString &name) const
    {
        return QString("https://127.0.0.1:%1/%2").arg(port).arg(name);
    }
    QStringList bodyUrls(quint16 port, const QString &name, const QStringList &paths) const;
    Figures sync(const QString &game, const QString &launcher, const QString &url);
    // Up to options.runs alternated runs: prepare() readies a run and names the host directory
    // it fetches from; then the launcher, then every reference for the bodies of paths there.
    RowRuns alternate(const QString &what, quint16 port, const QStringList &paths,
        QVector<Reference> &references, const std::function<QString()> &prepare);
    QString launcherFigure(const RowRuns &runs) const;
    QString memoryTarget(const RowRuns &runs) const;
    void smallFilesRow(
        const QString &host, int files, quint16 port, const QString &where, bool loopback);
    void elementsRow(quint16 port, const QString &where);
    void largeRow(quint16 port, const QString &where);

    QString work;
    Options options;
    TestCertificates certificates;
    TestNginx nginx;
    DelayLine *delayLine = nullptr;
    QStringList small600, small2000, elementPaths, largePaths;
    int archiveElements = 0;
    qint64 largeRawBytes = 0;
    int elementServed = 0;
};

bool LinkBench::start()
{
    if (!certificates.generate()) {
        std::fprintf(stderr, "certificates: %s\n", qPrintable(certificates.errorText()));
        return false;
    }
    QDir().mkpath(work + "/hosts");
    if (nginx.start(work + "/nginx", work + "/hosts", certificates))
        return true;
    std::printf("  !! %s\n", qPrintable(nginx.error()));
    return false;
}

QStringList LinkBench::bodyUrls(quint16 port, const QString &name, const QStringList &paths) const
{
    QStringList urls;
    for (const QString &path : paths)
        urls.append(url(port, name) + "/launcher/filesystem/" + path);
    return urls;
}

// The same trees as every run: small files of 1 to 11 KiB (600 come to about 2.7 MB packed) and
// of 1 to 16 KiB (bench_sync's small files), an archive with half its elements changed in a
// second release, and one file whose packed body is over 128 MiB.
void LinkBench::publish()
{
    const QString program = QStringLiteral(KORVINA_BENCH_SYNC_PATH);
    auto smallTree = [&](const QString &name, int files, int spread, QStringList *paths) {
        const QString reference = work + "/ref-" + name;
        for (int i = 0; i < files; ++i) {
            const QString path = QString("data/d%1/f%2.dat").arg(i % 50).arg(i);
            writeData(reference + '/' + path, 1024 + (i * 7919) % spread, quint64(i + 7));
            paths->append(path + ".compressed");
        }
        publishRelease(program, reference, hostDir(name), name);
        QDir(reference).removeRecursively();
    };
    smallTree("small600", options.scaled(600), 10240, &small600);
    smallTree("small2000", options.scaled(2000), 15360, &small2000);

    // Both releases of the archive stay served, each under a name of its own, so that runs can
    // go back and forth between them, each changing the same elements.
    archiveElements = 2 * options.scaled(2000);
    const QString reference = work + "/ref-archive";
    const QString archive = reference + "/models/update.img";
    QString releases[2];
    writeArchive(archive, archiveElements, 4096, 90);
    publishRelease(program, reference, hostDir("archive"), "archive", &releases[0]);
    runTool({ "cp", "-a", reference, work + "/game-archive" });
    writeArchive(archive, archiveElements, 4096, 90, 2, 91);
    publishRelease(program, reference, hostDir("archive"), "archive, changed", &releases[1]);
    QDir(reference).removeRecursively();
    for (int i = 0; i < 2; ++i) {
        QDir().mkpath(hostDir(QString("archive-%1").arg(i)));
        QFile::link(hostDir("archive") + "/releases/" + releases[i],
            hostDir(QString("archive-%1").arg(i)) + "/launcher");
    }
    for (int i = 0; i < archiveElements; i += 2)
        elementPaths.append(QString("models/update.img_img/e%1.dff.compressed").arg(100000 + i));

    largeRawBytes = qint64(options.scaled(176)) << 20;
    writeData(work + "/ref-large/data/large.bin", largeRawBytes, 95);
    publishRelease(program, work + "/ref-large", hostDir("large"), "large");
    QDir(work + "/ref-large").removeRecursively();
    largePaths = QStringList { "data/large.bin.compressed" };

    // The state the element updates start from: a first launch over the unchanged archive.
    const Figures setup
        = sync(work + "/game-archive", work + "/launcher-archive", url(nginx.port, "archive-0"));
    std::printf("  (first launch over the archive of %s elements: %.1f s)\n",
        qPrintable(thousands(archiveElements)), setup.value("run_s"));
}

Figures LinkBench::sync(const QString &game, const QString &launcher, const QString &url)
{
    return runSync(
        QStringLiteral(KORVINA_BENCH_SYNC_PATH), game, launcher, url, certificates.caPath());
}

LinkBench::RowRuns LinkBench::alternate(const QString &what, quint16 port, const QStringList &paths,
    QVector<Reference> &references, const std::function<QString()> &prepare)
{
    RowRuns runs;
    const QString game = work + "/game-" + what;
    const QString launcher = work + "/launcher-" + what;
    QElapsedTimer spent;
    spent.start();
    for (int i = 0; i < options.runs; ++i) {
        QElapsedTimer thisRun;
        thisRun.start();
        const QString host = prepare();
        int before = delayLine ? delayLine->connections() : 0;
        // The connections a client opened, where the delay line counts them.
        auto connections = [&] {
            if (!delayLine)
                return QString();
            const int now = delayLine->connections();
            const QString text = QString(" (%1 connection(s))").arg(now - before);
            before = now;
            return text;
        };
        runs.launcher.append(sync(game, launcher, url(port, host)));
        QString line = QString("  run %1: launcher %2, whole run %3, peak %4 MiB%5")
                           .arg(i + 1)
                           .arg(seconds(runs.launcher.last().value("download_s")),
                               seconds(runs.launcher.last().value("run_s")))
                           .arg(runs.launcher.last().value("vmhwm_kib") / 1024, 0, 'f', 0)
                           .arg(connections());
        const QStringList urls = bodyUrls(port, host, paths);
        for (Reference &reference : references) {
            double connect = 0;
            const ToolRun run
                = curlUrls(urls, work + "/curl.cfg", certificates.caPath(), reference.curlOptions,
                    &connect, reference.intoFiles ? work + "/curl-files" : QString());
            reference.times.append(run.seconds - connect);
            line += QString("; %1 %2 + %3 to connect%4")
                        .arg(reference.name, seconds(run.seconds - connect), seconds(connect),
                            connections());
        }
        std::printf("%s\n", qPrintable(line));
        const double elapsed = double(spent.nsecsElapsed()) / 1e9;
        if (i + 1 < options.runs
            && elapsed + double(thisRun.nsecsElapsed()) / 1e9 > rowBudgetSeconds) {
            runs.capped = true;
            std::printf("  (%d of %d runs: the next would take the row past %.0f s)\n", i + 1,
                options.runs, rowBudgetSeconds);
            break;
        }
    }
    return runs;
}

QString LinkBench::launcherFigure(const RowRuns &runs) const
{
    return QString("%1, peak %2 MiB%3")
        .arg(seconds(median(column(runs.launcher, "download_s"))))
        .arg(maximum(column(runs.launcher, "vmhwm_kib")) / 1024, 0, 'f', 0)
        .arg(runs.capped
                ? QString(" (%1 of %2 runs, time cap)").arg(runs.launcher.size()).arg(options.runs)
                : QString());
}

QString LinkBench::memoryTarget(const RowRuns &runs) const
{
    return "; ≤ 100 MiB: " + verdict(maximum(column(runs.launcher, "vmhwm_kib")) / 1024 <= 100);
}

void LinkBench::smallFilesRow(
    const QString &host, int files, quint16 port, const QString &where, bool loopback)
{
    const QStringList &paths = host == QLatin1String("small600") ? small600 : small2000;
    const double packed = mib(treeBytes(hostDir(host) + "/launcher/filesystem"));
    QVector<Reference> references
        = { { "`curl --http2 --parallel`", { "--http2", "--parallel" }, {} },
              { "`curl` one request after another", {}, {} } };
    // On loopback the disk is a share of the work: a file made, written and closed for every
    // body costs this disk as much as the transfers themselves.
    if (loopback)
        references.append({ "`curl` one after another, each into a file", {}, {}, true });
    const QString game = work + "/game-" + host;
    const QString launcher = work + "/launcher-" + host;
    const RowRuns runs = alternate(host, port, paths, references, [&] {
        removeDirs({ game, launcher });
        return host;
    });
    const double launcherTime = median(column(runs.launcher, "download_s"));
    const double parallel = median(references[0].times);
    const double sequential = median(references[1].times);
    const QString what = QString("%1 small files (%2 MiB packed) into an empty game directory, %3")
                             .arg(thousands(files))
                             .arg(packed, 0, 'f', 1)
                             .arg(where);
    const QString referenceText
        = QString("%1 %2; %3 %4%5")
              .arg(references[0].name, seconds(parallel), references[1].name, seconds(sequential),
                  connectingLeftOut);
    if (loopback) {
        const double intoFiles = median(references[2].times);
        const double ratio = sequential / launcherTime;
        row(what, launcherFigure(runs),
            referenceText + QString("; %1 %2").arg(references[2].name, seconds(intoFiles)),
            QString("%1 of one-after-another curl's speed (%2 of it into files)")
                .arg(ratio, 0, 'f', 2)
                .arg(intoFiles / launcherTime, 0, 'f', 2),
            "≥ 0.6: " + verdict(ratio >= 0.6) + memoryTarget(runs));
    } else {
        const double ratio = launcherTime / parallel;
        row(what, launcherFigure(runs), referenceText,
            QString("%1× curl --parallel's time").arg(ratio, 0, 'f', 1),
            "≤ 2×: " + verdict(ratio <= 2) + memoryTarget(runs));
    }
    removeDirs({ game, launcher });
}

void LinkBench::elementsRow(quint16 port, const QString &where)
{
    QVector<Reference> references
        = { { "`curl --http2 --parallel`", { "--http2", "--parallel" }, {} } };
    // Every run takes the archive to the other release: the same elements change each time.
    // The curl reference fetches the bodies of the release the launcher has just fetched.
    const RowRuns runs = alternate("archive", port, elementPaths, references, [&] {
        elementServed = 1 - elementServed;
        return QString("archive-%1").arg(elementServed);
    });
    const double launcherTime = median(column(runs.launcher, "download_s"));
    const double parallel = median(references[0].times);
    const double ratio = launcherTime / parallel;
    row(QString("%1 changed elements of one IMG archive of %2, updated in place, %3")
            .arg(thousands(elementPaths.size()))
            .arg(thousands(archiveElements))
            .arg(where),
        launcherFigure(runs),
        QString("%1 %2%3").arg(references[0].name, seconds(parallel), connectingLeftOut),
        QString("%1× curl --parallel's time").arg(ratio, 0, 'f', 1),
        "≤ 2×: " + verdict(ratio <= 2) + memoryTarget(runs));
}

void LinkBench::largeRow(quint16 port, const QString &where)
{
    const qint64 packed
        = QFileInfo(hostDir("large") + "/launcher/filesystem/" + largePaths.first()).size();
    QVector<Reference> references = { { "`curl`", {}, {} } };
    const QString game = work + "/game-large";
    const QString launcher = work + "/launcher-large";
    const RowRuns runs = alternate("large", port, largePaths, references, [&] {
        removeDirs({ game, launcher });
        return QStringLiteral("large");
    });
    const double launcherTime = median(column(runs.launcher, "download_s"));
    const double curlTime = median(references[0].times);
    const double ratio = curlTime / launcherTime;
    row(QString("one body of %1 MiB packed (%2 MiB file), %3")
            .arg(mib(packed), 0, 'f', 0)
            .arg(mib(largeRawBytes), 0, 'f', 0)
            .arg(where),
        launcherFigure(runs),
        QString("%1 %2, %3 Mbit/s%4")
            .arg(references[0].name, seconds(curlTime))
            .arg(double(packed) * 8 / curlTime / 1e6, 0, 'f', 1)
            .arg(connectingLeftOut),
        QString("%1 of curl's speed").arg(ratio, 0, 'f', 2),
        "≥ 0.8: " + verdict(ratio >= 0.8) + memoryTarget(runs));
    removeDirs({ game, launcher });
}

void LinkBench::loopbackRow()
{
    std::printf("\nloopback: straight to nginx, no delay line\n");
    smallFilesRow("small2000", small2000.size(), nginx.port, "loopback nginx, no delay", true);
}

void LinkBench::linkRows(const LinkSetting &link)
{
    std::printf("\n%s\n", qPrintable(link.name()));
    DelayLine line;
    if (!line.start(work, nginx.port, link)) {
        std::printf("  !! the delay line did not start\n");
        return;
    }
    // The check goes through a delay line of its own to the plain server: the same program and
    // settings, without TLS or HTTP between the client and the figures.
    {
        CheckServer server;
        DelayLine checkLine;
        QDir().mkpath(work + "/check");
        const qint64 body = qMax<qint64>(4 << 20, qint64(options.scaled(32)) << 20);
        const LinkCheck check = checkLine.start(work + "/check", server.port, link)
            ? checkLink(checkLine.port, body)
            : LinkCheck();
        const double rttError = check.rttMs / link.rttMs - 1;
        const double rateError = check.rateMbit / link.rateMbit - 1;
        row(QString("%1: check with a plain client").arg(link.name()),
            QString("RTT %1 ms (median of 20), %2 Mbit/s over %3 MiB")
                .arg(check.rttMs, 0, 'f', 2)
                .arg(check.rateMbit, 0, 'f', 2)
                .arg(mib(check.bodyBytes), 0, 'f', 0),
            QString("new connection's first exchange %1 ms (handshake + one round trip)")
                .arg(check.firstExchangeMs, 0, 'f', 1),
            QString("RTT %1%, rate %2%")
                .arg(100 * rttError, 0, 'f', 1)
                .arg(100 * rateError, 0, 'f', 1),
            "within 3%: " + verdict(check.ok && qAbs(rttError) <= 0.03 && qAbs(rateError) <= 0.03));
    }
    delayLine = &line;
    const QString where = link.name();
    smallFilesRow("small600", small600.size(), line.port, where, false);
    elementsRow(line.port, where);
    largeRow(line.port, where);
    delayLine = nullptr;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Options options;
    if (!parseCommandLine(argc, argv, "bench_link", "link", &options))
        return 2;
    if (!options.wants("link"))
        return 0;
    QTemporaryDir work(options.dir + "/bench_link-XXXXXX");
    if (!work.isValid())
        return 1;
    LinkBench bench(work.path(), options);
    std::printf("bench_link, scale %.3g, up to %d runs a row (fewer past %.0f s), in %s\n",
        options.scale, options.runs, rowBudgetSeconds, qPrintable(work.path()));
    if (!bench.start())
        return 1;
    bench.publish();
    bench.loopbackRow();
    for (const LinkSetting &link : { LinkSetting { 50, 100 }, LinkSetting { 150, 100 } })
        bench.linkRows(link);
    return 0;
}
