// Figures of the synchronisation next to the tools that do the same job on the same data:
//   - a second launch on an unchanged tree of 20,000 files with IMG archives (time, bytes read)
//     next to find -printf '%s %T@\n' over the tree;
//   - first-launch hashing next to md5sum of the same files;
//   - downloads of 2,000 small files and of one 512 MiB file from a loopback HTTPS host next to
//     curl fetching the same URLs over one connection;
//   - peak memory while synchronising a 1 GiB tree.
// The synchronisation runs in a child process (this program with --child), so that its reads
// and its memory are its own and not the host's.
//   bench_sync [--scale F] [--dir DIR]   F < 1 shrinks every size and count for a quick run;
//                                        DIR holds the trees (default: the temporary directory)
#include "app/runstate.h"
#include "publisher.h"
#include "sync/syncthread.h"
#include "testcertificates.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QMap>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>
#include <QVector>
#include <QtEndian>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

double mib(double bytes)
{
    return bytes / 1048576.0;
}

// ---- Data ------------------------------------------------------------------------------------

// Six random bits per byte: packs to about three quarters, like much of a game's data.
void fill(char *out, qint64 size, quint64 &state)
{
    for (qint64 i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        out[i] = char(state & 0x3f);
    }
}

bool writeData(const QString &path, qint64 size, quint64 seed)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    quint64 state = seed * 0x9e3779b97f4a7c15ull + 1;
    QByteArray chunk(1 << 20, '\0');
    for (qint64 left = size; left > 0;) {
        const qint64 now = qMin<qint64>(left, chunk.size());
        fill(chunk.data(), now, state);
        if (file.write(chunk.constData(), now) != now)
            return false;
        left -= now;
    }
    return true;
}

// A static-header archive of count elements of elementBytes each (a multiple of 2048).
bool writeArchive(const QString &path, int count, qint64 elementBytes, quint64 seed)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const qint64 directoryBytes = 8 + 32 * qint64(count + 1);
    const qint64 firstSector = (directoryBytes + 409599) / 409600 * 200;
    QByteArray directory(int(firstSector * 2048), '\0');
    memcpy(directory.data(), "V2SH", 4);
    qToLittleEndian<qint32>(count + 1, directory.data() + 4);
    memcpy(directory.data() + 16, "v2staticHeader.v2sh", 19);
    const quint16 sectors = quint16(elementBytes / 2048);
    for (int i = 0; i < count; ++i) {
        char *record = directory.data() + 8 + 32 * (i + 1);
        qToLittleEndian<quint32>(quint32(firstSector + qint64(i) * sectors), record);
        qToLittleEndian<quint16>(sectors, record + 4);
        const QByteArray name = QByteArray("e") + QByteArray::number(100000 + i) + ".dff";
        memcpy(record + 8, name.constData(), size_t(name.size()));
    }
    if (file.write(directory) != directory.size())
        return false;
    quint64 state = seed * 0x9e3779b97f4a7c15ull + 1;
    QByteArray element(int(elementBytes), '\0');
    for (int i = 0; i < count; ++i) {
        fill(element.data(), elementBytes, state);
        if (file.write(element) != element.size())
            return false;
    }
    return true;
}

qint64 treeBytes(const QString &root, int *files = nullptr)
{
    qint64 total = 0;
    int count = 0;
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        total += it.fileInfo().size();
        ++count;
    }
    if (files)
        *files = count;
    return total;
}

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

// ---- Tools, measured from outside ------------------------------------------------------------

struct ToolRun
{
    bool ok = false;
    double seconds = 0;
    qint64 rchar = -1;
    qint64 readBytes = -1;
    long maxRssKiB = 0;
};

qint64 ioField(const QByteArray &io, const QByteArray &name)
{
    for (const QByteArray &line : io.split('\n')) {
        if (line.startsWith(name + ": "))
            return line.mid(name.size() + 2).trimmed().toLongLong();
    }
    return -1;
}

// Runs a program with stdout to /dev/null and reads its I/O counters before it is reaped.
ToolRun runTool(const QStringList &arguments)
{
    ToolRun run;
    // Everything the child needs is made before the fork: in a process with threads, the child
    // may only call what is safe after fork until it execs.
    QVector<QByteArray> storage;
    for (const QString &argument : arguments)
        storage.append(argument.toLocal8Bit());
    QVector<char *> argv;
    for (QByteArray &argument : storage)
        argv.append(argument.data());
    argv.append(nullptr);
    std::fflush(stdout);
    QElapsedTimer timer;
    timer.start();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execvp(argv.at(0), argv.data());
        _exit(127);
    }
    if (pid < 0)
        return run;
    siginfo_t info {};
    waitid(P_PID, id_t(pid), &info, WEXITED | WNOWAIT);
    run.seconds = double(timer.nsecsElapsed()) / 1e9;
    QFile io(QStringLiteral("/proc/%1/io").arg(pid));
    if (io.open(QIODevice::ReadOnly)) {
        const QByteArray counters = io.readAll();
        run.rchar = ioField(counters, "rchar");
        run.readBytes = ioField(counters, "read_bytes");
    }
    int status = 0;
    rusage usage {};
    wait4(pid, &status, 0, &usage);
    run.maxRssKiB = usage.ru_maxrss;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

// ---- The synchronisation in a child process --------------------------------------------------

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

// --child GAME LAUNCHER URL CA: one synchronisation; prints "name value" lines.
int runChild(const QStringList &arguments)
{
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setCaCertificates(tls.caCertificates() + QSslCertificate::fromPath(arguments.at(3)));
    QSslConfiguration::setDefaultConfiguration(tls);
    SyncEnvironment environment = SyncEnvironment::standard();
    environment.launcherDir = arguments.at(1);
    environment.fileHostUrl = arguments.at(2);
    environment.freeBytes = [](const QString &) { return qint64(1) << 50; };
    environment.startDelayMs = 0;

    QElapsedTimer clock;
    qint64 oldCopyStart = -1, oldCopyEnd = -1, downloadStart = -1, downloadEnd = -1;
    bool finished = false;
    auto *worker = new SyncThread(arguments.at(0), nullptr, environment);
    QThread thread;
    worker->moveToThread(&thread);
    QObject::connect(
        worker, &SyncThread::setProgressText, worker,
        [&](const QString &left, const QString &) {
            const qint64 now = clock.nsecsElapsed();
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
        worker, &SyncThread::finish, worker, [&](bool ready) { finished = ready; },
        Qt::DirectConnection);
    QObject::connect(&thread, &QThread::started, worker, &SyncThread::start);
    QEventLoop loop;
    QObject::connect(&thread, &QThread::finished, &loop, &QEventLoop::quit);

    const QByteArray ioBefore = selfIo();
    clock.start();
    thread.start();
    loop.exec();
    thread.wait();
    const qint64 wall = clock.nsecsElapsed();
    const QByteArray ioAfter = selfIo();
    delete worker;

    std::printf("finished %d\n", finished ? 1 : 0);
    std::printf("wall_s %.3f\n", double(wall) / 1e9);
    std::printf("rchar %lld\n", ioField(ioAfter, "rchar") - ioField(ioBefore, "rchar"));
    std::printf(
        "read_bytes %lld\n", ioField(ioAfter, "read_bytes") - ioField(ioBefore, "read_bytes"));
    if (oldCopyStart >= 0 && oldCopyEnd >= 0)
        std::printf("oldcopy_s %.3f\n", double(oldCopyEnd - oldCopyStart) / 1e9);
    if (downloadStart >= 0 && downloadEnd >= 0)
        std::printf("download_s %.3f\n", double(downloadEnd - downloadStart) / 1e9);
    std::printf("vmhwm_kib %ld\n", vmHwmKiB());
    return finished ? 0 : 1;
}

// ---- The orchestration -----------------------------------------------------------------------

class Bench
{
public:
    Bench(const QString &work, double scale)
        : work(work)
        , scale(scale)
    {
    }

    ~Bench()
    {
        hostThread.quit();
        hostThread.wait();
        delete host;
    }

    bool start();
    void secondLaunchAndHashing();
    void downloads();
    void peakMemory();

private:
    int scaled(double count) const { return qMax(1, int(count * scale)); }
    QString hostDir(const QString &name) const { return work + "/hosts/" + name; }
    bool publishTree(const QString &reference, const QString &name);
    QMap<QByteArray, double> sync(
        const QString &game, const QString &launcher, const QString &name);
    ToolRun curl(const QStringList &paths, const QString &name);
    void md5sumNext(const QString &what, const QString &root, double launcherSeconds);

    QString work;
    double scale;
    TestCertificates certificates;
    QThread hostThread;
    FileHost *host = nullptr;
    quint16 port = 0;
};

bool Bench::start()
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

bool Bench::publishTree(const QString &reference, const QString &name)
{
    QElapsedTimer timer;
    timer.start();
    const PublishReport report = publish(reference, hostDir(name), PublishOptions());
    if (!report.ok)
        std::fprintf(stderr, "publish %s: %s\n", qPrintable(name), qPrintable(report.error));
    std::printf("  (published %s: %d outputs in %.1f s)\n", qPrintable(name), report.written,
        double(timer.nsecsElapsed()) / 1e9);
    return report.ok;
}

QMap<QByteArray, double> Bench::sync(
    const QString &game, const QString &launcher, const QString &name)
{
    QDir().mkpath(launcher);
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(),
        { "--child", game, launcher, QString("https://127.0.0.1:%1/%2").arg(port).arg(name),
            certificates.caPath() });
    child.waitForFinished(-1);
    QMap<QByteArray, double> figures;
    for (const QByteArray &line : child.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> words = line.split(' ');
        if (words.size() == 2)
            figures.insert(words.at(0), words.at(1).toDouble());
    }
    if (figures.value("finished") != 1)
        std::fprintf(stderr, "synchronisation of %s did not finish: %s\n", qPrintable(name),
            child.readAllStandardError().constData());
    return figures;
}

ToolRun Bench::curl(const QStringList &paths, const QString &name)
{
    // One invocation for all URLs: curl keeps the connection to the host between them.
    const QString config = work + "/curl-" + name + ".cfg";
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return ToolRun();
    for (const QString &path : paths) {
        file.write(QString("url = \"https://127.0.0.1:%1/%2/launcher/filesystem/%3\"\n"
                           "output = \"/dev/null\"\n")
                       .arg(port)
                       .arg(name, path)
                       .toUtf8());
    }
    file.close();
    return runTool(
        { "curl", "--silent", "--fail", "--cacert", certificates.caPath(), "--config", config });
}

void Bench::md5sumNext(const QString &what, const QString &root, double launcherSeconds)
{
    int files = 0;
    const qint64 bytes = treeBytes(root, &files);
    const ToolRun md5
        = runTool({ "sh", "-c", QString("find '%1' -type f -print0 | xargs -0 md5sum").arg(root) });
    std::printf("  %-40s %8.1f MiB in %6d files: launcher %7.2f s %7.1f MiB/s | md5sum %7.2f s "
                "%7.1f MiB/s\n",
        qPrintable(what), mib(bytes), files, launcherSeconds, mib(bytes) / launcherSeconds,
        md5.seconds, mib(bytes) / md5.seconds);
}

void Bench::secondLaunchAndHashing()
{
    const QString reference = work + "/tree20k";
    const QString game = work + "/tree20k-game";
    const int archives = 6;
    const int elements = scaled(1000);
    const int files = scaled(20000) - archives;
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

    std::printf("\nFirst launch on an old copy (every file hashed), page cache warm:\n");
    const QString launcher = work + "/tree20k-launcher";
    const QMap<QByteArray, double> first = sync(game, launcher, "tree20k");
    md5sumNext("tree of small files and IMG archives", game, first.value("oldcopy_s"));

    std::printf("\nSecond launch on the unchanged tree, page cache warm:\n");
    const QMap<QByteArray, double> second = sync(game, launcher, "tree20k");
    const ToolRun find = runTool({ "find", game, "-printf", "%s %T@\\n" });
    int count = 0;
    treeBytes(game, &count);
    const qint64 directories = qint64(archives) * (8 + 32 * (elements + 1));
    // rchar counts every read call, the TLS socket's too: the list arrives through it.
    std::printf("  %d files; IMG directories %.1f KiB, state file %.1f KiB, list %.1f KiB "
                "(rchar counts socket reads too)\n",
        count, directories / 1024.0,
        QFileInfo(launcher + SyncThread::stateFileName).size() / 1024.0,
        QFileInfo(hostDir("tree20k") + "/launcher/sync.lst").size() / 1024.0);
    std::printf("  launcher (whole run)  %7.3f s  rchar %9.1f KiB  read_bytes %9.1f KiB\n",
        second.value("wall_s"), second.value("rchar") / 1024.0,
        second.value("read_bytes") / 1024.0);
    std::printf("  find -printf          %7.3f s  rchar %9.1f KiB  read_bytes %9.1f KiB\n",
        find.seconds, find.rchar / 1024.0, find.readBytes / 1024.0);
    QDir(game).removeRecursively();
    QDir(launcher).removeRecursively();
    QDir(hostDir("tree20k")).removeRecursively();
}

void Bench::downloads()
{
    std::printf("\nDownloads from a loopback HTTPS host (launcher: fetch, unpack, check, write; "
                "curl: fetch the same packed files to /dev/null over one connection):\n");
    struct Case
    {
        const char *name;
        int count;
        qint64 size;
    };
    const Case cases[]
        = { { "small", scaled(2000), 0 }, { "large", 1, qint64(scaled(512)) << 20 } };
    for (const Case &item : cases) {
        const QString reference = work + "/ref-" + item.name;
        QStringList paths;
        for (int i = 0; i < item.count; ++i) {
            const QString path
                = item.size ? QString("big.bin") : QString("data/d%1/f%2.dat").arg(i % 50).arg(i);
            writeData(reference + '/' + path, item.size ? item.size : 1024 + (i * 7919) % 15360,
                quint64(i + 7));
            paths.append(path + ".compressed");
        }
        const qint64 bytes = treeBytes(reference);
        if (!publishTree(reference, item.name))
            return;
        QDir(reference).removeRecursively();
        const qint64 packed = treeBytes(hostDir(item.name) + "/launcher/filesystem");

        const QString game = work + "/game-" + item.name;
        const int before = host->connections;
        const QMap<QByteArray, double> launcher
            = sync(game, work + "/launcher-" + item.name, item.name);
        std::printf("  (the launcher used %d connection(s))\n", host->connections - before);
        const int connectionsBefore = host->connections;
        const ToolRun tool = curl(paths, item.name);
        std::printf("  (curl used %d connection(s))\n", host->connections - connectionsBefore);
        std::printf("  %5d file(s), %8.1f MiB (%8.1f MiB packed): launcher %7.2f s %7.1f MiB/s "
                    "(peak memory %.1f MiB) | curl %7.2f s %7.1f MiB/s (peak memory %.1f MiB)%s\n",
            item.count, mib(bytes), mib(packed), launcher.value("download_s"),
            mib(packed) / launcher.value("download_s"), launcher.value("vmhwm_kib") / 1024,
            tool.seconds, mib(packed) / tool.seconds, tool.maxRssKiB / 1024.0,
            tool.ok ? "" : " (curl failed)");
        QDir(game).removeRecursively();
        QDir(work + "/launcher-" + item.name).removeRecursively();
        QDir(hostDir(item.name)).removeRecursively();
    }
}

void Bench::peakMemory()
{
    const QString reference = work + "/tree1g";
    const qint64 big = qint64(scaled(150)) << 20;
    for (int i = 0; i < 4; ++i)
        writeData(QString("%1/data/big%2.bin").arg(reference).arg(i), big, quint64(50 + i));
    writeData(reference + "/audio/streams/track", qint64(scaled(100)) << 20, 60);
    writeArchive(reference + "/models/big.img", scaled(1500), 100 * 2048, 61);
    for (int i = 0; i < scaled(1000); ++i)
        writeData(QString("%1/data/small/f%2.dat").arg(reference).arg(i), 1024 + (i * 7919) % 15360,
            quint64(70 + i));
    const qint64 bytes = treeBytes(reference);
    if (!publishTree(reference, "tree1g"))
        return;
    QDir(reference).removeRecursively();

    const QString game = work + "/tree1g-game";
    const QString launcher = work + "/tree1g-launcher";
    const QMap<QByteArray, double> run = sync(game, launcher, "tree1g");
    std::printf("\nSynchronising a %.1f MiB tree (files of %.0f MiB, an audio file in parts, a "
                "%.0f MiB archive fetched whole, small files):\n",
        mib(bytes), mib(big), mib(qint64(scaled(1500)) * 100 * 2048));
    std::printf("  peak memory (VmHWM) %.1f MiB; download %.2f s, whole run %.2f s\n",
        run.value("vmhwm_kib") / 1024.0, run.value("download_s"), run.value("wall_s"));

    std::printf("\nFirst launch on the same tree without a state file (large files):\n");
    QFile::remove(launcher + SyncThread::stateFileName);
    const QMap<QByteArray, double> hashing = sync(game, launcher, "tree1g");
    md5sumNext("tree of large files", game, hashing.value("oldcopy_s"));
    std::printf(
        "  peak memory (VmHWM) while hashing %.1f MiB\n", hashing.value("vmhwm_kib") / 1024.0);
    QDir(game).removeRecursively();
    QDir(launcher).removeRecursively();
    QDir(hostDir("tree1g")).removeRecursively();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    if (arguments.value(0) == QLatin1String("--child") && arguments.size() == 5)
        return runChild(arguments.mid(1));

    double scale = 1.0;
    QString base = QDir::tempPath();
    for (int i = 0; i + 1 < arguments.size(); i += 2) {
        if (arguments.at(i) == QLatin1String("--scale"))
            scale = arguments.at(i + 1).toDouble();
        else if (arguments.at(i) == QLatin1String("--dir"))
            base = arguments.at(i + 1);
    }
    if (scale <= 0) {
        std::fprintf(stderr, "usage: bench_sync [--scale F] [--dir DIR]\n");
        return 2;
    }
    QTemporaryDir work(base + "/bench_sync-XXXXXX");
    if (!work.isValid())
        return 1;
    Bench bench(work.path(), scale);
    if (!bench.start())
        return 1;
    std::printf("bench_sync, scale %.3g, in %s\n", scale, qPrintable(work.path()));
    bench.secondLaunchAndHashing();
    bench.downloads();
    bench.peakMemory();
    return 0;
}
