#include "syncfixture.h"

#include "img/staticheader.h"
#include "testhttpserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QtEndian>

#include <sys/stat.h>
#include <unistd.h>

namespace SyncFixture {

static void appendEntry(QByteArray &out, quint32 offset, quint16 sectors, const QByteArray &name)
{
    char record[32] = {};
    qToLittleEndian<quint32>(offset, record);
    qToLittleEndian<quint16>(sectors, record + 4);
    memcpy(record + 8, name.constData(), size_t(qMin(name.size(), 24)));
    out.append(record, 32);
}

bool writeArchive(const QString &path, const Elements &elements, bool staticHeader)
{
    QByteArray header(staticHeader ? "V2SH...." : "VER2....");
    qToLittleEndian<qint32>(elements.size() + (staticHeader ? 1 : 0), header.data() + 4);
    if (staticHeader)
        appendEntry(header, 0, 0, "v2staticHeader.v2sh");
    const qint64 directoryBytes = 8 + 32 * (elements.size() + 1);
    quint32 sector = staticHeader ? 200 : quint32((directoryBytes + 2047) / 2048);
    QByteArray data;
    for (const auto &element : elements) {
        const quint16 sectors = quint16((element.second.size() + 2047) / 2048);
        appendEntry(header, sector, sectors, element.first);
        data += element.second + QByteArray(sectors * 2048 - element.second.size(), '\0');
        sector += sectors;
    }
    const int headerBytes = staticHeader ? 409600 : int((directoryBytes + 2047) / 2048 * 2048);
    header.append(QByteArray(headerBytes - header.size(), '\0'));
    return writeFile(path, header + data);
}

bool makeStaticArchive(const QString &path, const Elements &elements)
{
    return writeArchive(path, elements) && ImgArchive::convertToStaticHeader(path);
}

QByteArray md5Hex(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
}

QMap<QString, QByteArray> snapshot(const QString &root)
{
    QMap<QString, QByteArray> result;
    const QDir base(root);
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString relative = base.relativeFilePath(it.next());
        if (it.fileInfo().isDir() && !it.fileInfo().isSymLink())
            result.insert(QStringLiteral("dir:") + relative, QByteArray());
        else
            result.insert(relative, md5Hex(readFile(it.filePath())));
    }
    return result;
}

QString treeDifferences(const QString &expectedRoot, const QString &actualRoot)
{
    const QMap<QString, QByteArray> expected = snapshot(expectedRoot);
    const QMap<QString, QByteArray> actual = snapshot(actualRoot);
    QMap<QString, QByteArray> both = expected;
    both.insert(actual);
    QStringList result;
    for (const QString &path : both.keys()) {
        if (!actual.contains(path))
            result.append(QStringLiteral("missing ") + path);
        else if (!expected.contains(path))
            result.append(QStringLiteral("extra ") + path);
        else if (actual.value(path) != expected.value(path))
            result.append(QStringLiteral("differs ") + path);
    }
    return result.join('\n');
}

TestResponse treeResponse(const QString &root, const TestRequest &request)
{
    const QString path = QString::fromUtf8(QByteArray::fromPercentEncoding(request.path));
    if (path.contains(QLatin1String("..")))
        return TestResponse::error(403);
    QFile file(root + path);
    if (!QFileInfo(file).isFile() || !file.open(QIODevice::ReadOnly))
        return TestResponse::error(404);
    return TestResponse::ok(file.readAll());
}

void serveTree(TestHttpServer &server, const QString &root)
{
    server.setFallback(
        [root](const TestRequest &request) { return treeResponse(root, request); });
}

Unprivileged::Unprivileged(const QString &tree, const QStringList &keep)
{
    if (::geteuid() != 0)
        return;
    constexpr uid_t nobody = 65534;
    const auto handOver = [&](const QString &path) {
        if (!keep.contains(path)
            && ::chown(QFile::encodeName(path).constData(), nobody, nobody) != 0)
            qWarning("cannot hand %s over", qPrintable(path));
    };
    // The way down to the tree must be open to that user as well.
    for (QString up = QFileInfo(tree).absolutePath(); up.size() > 1;
         up = QFileInfo(up).absolutePath()) {
        struct stat info;
        const QByteArray native = QFile::encodeName(up);
        if (::stat(native.constData(), &info) == 0 && !(info.st_mode & S_IXOTH))
            ::chmod(native.constData(), (info.st_mode & 07777) | S_IXOTH | S_IROTH);
    }
    handOver(tree);
    QDirIterator it(tree, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext())
        handOver(it.next());
    // The group may stay root's where the system refuses it; the user is what counts.
    groupDropped = ::setegid(nobody) == 0;
    dropped = ::seteuid(nobody) == 0;
}

Unprivileged::~Unprivileged()
{
    if ((dropped && ::seteuid(0) != 0) || (groupDropped && ::setegid(0) != 0))
        qFatal("cannot return to root");
}

SyncEnvironment environment(const QString &launcherDir, const QString &hostUrl)
{
    SyncEnvironment environment;
    environment.launcherDir = launcherDir;
    environment.fileHostUrl = hostUrl;
    environment.freeBytes = [](const QString &) { return qint64(1) << 42; };
    environment.timing.tickMs = 20;
    environment.timing.firstTickMs = 10;
    environment.timing.stallTicks = 25; // half a second: a loaded machine is no stalled host
    environment.timing.retryTicks = 3;
    environment.listAttempts = 2;
    environment.listTimeoutMs = 5000;
    environment.startDelayMs = 0;
    return environment;
}

RunResult runSync(const QString &gameDir, const SyncEnvironment &environment,
    const std::function<void(const QString &left)> &onText)
{
    RunResult result;
    QThread thread;
    SyncThread worker(gameDir, nullptr, environment);
    worker.moveToThread(&thread);
    // Recorded on the worker's thread as it sends, and read only once that thread has ended.
    QObject::connect(
        &worker, &SyncThread::setProgressText, [&](const QString &left, const QString &right) {
            if (onText)
                onText(left);
            result.texts.append({ left, right });
        });
    QObject::connect(&worker, &SyncThread::setProgressState, [&](quint64 current, quint64 maximum) {
        result.states.append({ current, maximum });
    });
    QObject::connect(&worker, &SyncThread::finish, [&](bool ready) {
        result.finished = true;
        result.gameReady = ready;
    });
    QObject::connect(&thread, &QThread::started, &worker, &SyncThread::start);
    thread.start();
    thread.wait();
    return result;
}

} // namespace SyncFixture
