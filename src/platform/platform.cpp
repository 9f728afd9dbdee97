#include "platform/platform.h"

#include "buildconfig.h"

#include <QByteArray>
#include <QDesktopServices>
#include <QDir>
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
#include <sys/file.h>
#include <unistd.h>
#endif

namespace Platform {

#ifdef Q_OS_WIN

bool acquireSingleInstance(const QString &name)
{
    return Win32Native::acquireNamedMutex(name.toUtf8().constData());
}

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

bool openUrl(const QString &url)
{
    return Win32Native::shellOpen(url.toLocal8Bit().toStdString());
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
    if (!Win32Native::readUserString(QString::fromLatin1(BuildConfig::clientRegistryKey).toStdWString(),
                                     L"player_name", &value))
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
    return QStringLiteral("HKEY_CURRENT_USER\\") + QString::fromLatin1(BuildConfig::clientRegistryKey);
}

#else

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
    const QByteArray path = QFile::encodeName(dir + QLatin1Char('/') + fileName + QLatin1String(".lock"));
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

quint32 tickCount()
{
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return quint32(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

bool openUrl(const QString &url)
{
    return QDesktopServices::openUrl(QUrl(url));
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

#endif

} // namespace Platform
