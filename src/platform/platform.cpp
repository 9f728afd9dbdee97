#include "platform/platform.h"

#include "buildconfig.h"

#include <QByteArray>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QUrl>

#ifdef Q_OS_WIN
#include "platform/win32native.h"

#include <limits>
#else
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace Platform {

namespace {

// The launcher may run elevated, and the shell would start whatever an address names with its
// rights: only a web page with a host goes out, fully percent-encoded so that no quote or blank
// of it can reach a browser's command line as an argument of its own.
QUrl webPage(const QString &url)
{
    const QUrl page(url);
    const QString scheme = page.scheme();
    if (!page.isValid() || page.host().isEmpty()
        || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return QUrl();
    return page;
}

} // namespace

#ifdef Q_OS_WIN

bool acquireSingleInstance(const QString &name)
{
    return Win32Native::acquireNamedMutex(name.toUtf8().constData());
}

void prepareRuntimeDir() { }

qint64 freeDiskBytes(const QString &path)
{
    unsigned long long bytes = 0;
    if (!Win32Native::freeBytesAvailable(QDir::toNativeSeparators(path).toStdWString(), &bytes))
        return -1;
    return qint64(qMin<unsigned long long>(bytes, quint64(std::numeric_limits<qint64>::max())));
}

quint32 tickCount()
{
    return quint32(Win32Native::tickCount());
}

void attachConsole()
{
    Win32Native::attachParentConsole();
}

bool openUrl(const QString &url)
{
    const QUrl page = webPage(url);
    return !page.isEmpty() && Win32Native::shellOpen(page.toEncoded().toStdString());
}

QString documentsFolder()
{
    std::string folder;
    if (!Win32Native::documentsFolderAnsi(&folder))
        return QString();
    return QString::fromLocal8Bit(folder.c_str());
}

QString readPlayerName()
{
    std::wstring value;
    if (!Win32Native::readUserString(
            QString::fromLatin1(BuildConfig::clientRegistryKey).toStdWString(), L"player_name",
            &value))
        return QString();
    return QString::fromStdWString(value);
}

bool writePlayerName(const QString &name)
{
    return Win32Native::writeUserString(
        QString::fromLatin1(BuildConfig::clientRegistryKey).toStdWString(), L"player_name",
        name.toStdWString());
}

QString playerNameStorePath()
{
    return QStringLiteral("HKEY_CURRENT_USER\\")
        + QString::fromLatin1(BuildConfig::clientRegistryKey);
}

bool startDetached(const QString &commandLine, const QString &workingDirectory)
{
    return Win32Native::startDetached(commandLine.toStdWString(), workingDirectory.toStdWString());
}

HeldFile::HeldFile(const QString &path)
    : handle(Win32Native::holdFile(QDir::toNativeSeparators(path).toStdWString()))
{
}

HeldFile::~HeldFile()
{
    Win32Native::releaseFile(handle);
}

#else

HeldFile::HeldFile(const QString &path)
{
    auto *file = new QFile(path);
    if (file->open(QIODevice::ReadOnly))
        handle = file;
    else
        delete file;
}

HeldFile::~HeldFile()
{
    delete static_cast<QFile *>(handle);
}

void prepareRuntimeDir()
{
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        return;
    // Qt warns each time it looks up a runtime directory that the session does not name. Name the
    // one it would fall back to, made private first, so the lock file stays where it always was.
    const struct passwd *user = ::getpwuid(::geteuid());
    if (!user)
        return;
    const QByteArray dir = QFile::encodeName(
        QDir::tempPath() + QLatin1String("/runtime-") + QFile::decodeName(user->pw_name));
    ::mkdir(dir.constData(), 0700);
    struct stat info;
    if (::lstat(dir.constData(), &info) != 0 || !S_ISDIR(info.st_mode)
        || info.st_uid != ::geteuid())
        return; // not ours: Qt's own checks speak up
    if ((info.st_mode & 0777) != 0700 && ::chmod(dir.constData(), 0700) != 0)
        return;
    qputenv("XDG_RUNTIME_DIR", dir);
}

bool acquireSingleInstance(const QString &name)
{
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty())
        dir = QDir::tempPath();
    QString fileName = name;
    for (QChar &c : fileName) {
        if (!c.isLetterOrNumber())
            c = QLatin1Char('_');
    }
    const QByteArray path
        = QFile::encodeName(dir + QLatin1Char('/') + fileName + QLatin1String(".lock"));
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return true; // like a mutex that cannot be created: the launcher runs
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        return true; // the descriptor stays open for the life of the process
    const bool heldElsewhere = errno == EWOULDBLOCK;
    ::close(fd);
    return !heldElsewhere;
}

qint64 freeDiskBytes(const QString &path)
{
    QStorageInfo storage(path);
    if (!storage.isValid() || !storage.isReady())
        return -1;
    return storage.bytesAvailable();
}

void attachConsole() { }

quint32 tickCount()
{
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return quint32(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

bool openUrl(const QString &url)
{
    const QUrl page = webPage(url);
    return !page.isEmpty() && QDesktopServices::openUrl(page);
}

QString documentsFolder()
{
    return QDir::toNativeSeparators(
        QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation));
}

QString playerNameStorePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QLatin1String("/korvina/multiplayer-client.ini");
}

QString readPlayerName()
{
    QSettings store(playerNameStorePath(), QSettings::IniFormat);
    return store.value(QStringLiteral("player_name")).toString();
}

bool writePlayerName(const QString &name)
{
    QSettings store(playerNameStorePath(), QSettings::IniFormat);
    store.setValue(QStringLiteral("player_name"), name);
    store.sync();
    return store.status() == QSettings::NoError;
}

bool startDetached(const QString &commandLine, const QString &workingDirectory)
{
    // Split as Windows would split this simple form: the quoted program, then blanks. A "\"
    // inside a Unix directory name cannot be told apart from a separator; the launcher's own
    // directory is taken to have none.
    const int end = commandLine.indexOf(QLatin1Char('"'), 1);
    if (!commandLine.startsWith(QLatin1Char('"')) || end < 0)
        return false;
    const QString program
        = commandLine.mid(1, end - 1).replace(QLatin1Char('\\'), QLatin1Char('/'));
    QStringList arguments = commandLine.mid(end + 1).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QString runner = program;
    // The game is a Windows program: a Linux player runs it through wine when it is installed.
    const QString wine = QStandardPaths::findExecutable(QStringLiteral("wine"));
    if (!wine.isEmpty()) {
        runner = wine;
        arguments.prepend(program);
    }
    return QProcess::startDetached(
        runner, arguments, QString(workingDirectory).replace(QLatin1Char('\\'), QLatin1Char('/')));
}

#endif

} // namespace Platform
