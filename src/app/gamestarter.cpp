#include "app/gamestarter.h"

#include "platform/platform.h"

#include <QHostAddress>
#include <QRegularExpression>

namespace {

const char standardTemplate[] = "-korvina -c -n %1 -h %2 -p %3";
const char rebornTemplate[] = "-rebQ2950417 -c -n %1 -h %2 -p %3";

QString simplifiedNickname(const QString &nickname)
{
    return nickname.simplified();
}

} // namespace

GameStarter::GameStarter(QObject *parent)
    : QObject(parent)
{
}

bool GameStarter::isSafeHost(const QString &host)
{
    // No address, nothing to check: the window asks the player to choose a server first.
    if (host.isEmpty())
        return true;
    static const QRegularExpression hostName(
        QStringLiteral("^(?=.{1,253}$)[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?"
                       "(?:\\.[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?)*\\.?$"));
    if (hostName.match(host).hasMatch())
        return true;
    // IP literals, but without scope suffixes or anything else QHostAddress tolerates.
    static const QRegularExpression ipChars(QStringLiteral("^[0-9A-Fa-f:.]+$"));
    QHostAddress address;
    return ipChars.match(host).hasMatch() && address.setAddress(host);
}

QString GameStarter::refusalReason() const
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,5}$"));
    static const QRegularExpression nicknameChars(QStringLiteral("^[A-Za-z_]+$"));
    if (!isSafeHost(host) || !digits.match(port).hasMatch())
        return QStringLiteral("Некорректный адрес сервера. Выберите другой сервер.");
    if (!nicknameChars.match(simplifiedNickname(nickname)).hasMatch())
        return QStringLiteral("Никнейм может содержать только латинские буквы и знак «_».");
    return QString();
}

GameStarter::Launch GameStarter::launchFor(bool reborn) const
{
    const QString arguments = QString::fromLatin1(reborn ? rebornTemplate : standardTemplate)
                                  .arg(simplifiedNickname(nickname), host, port);
    Launch launch;
    launch.commandLine = QLatin1Char('"') + gameDir
        + (reborn ? QLatin1String("/bin/release/korvina.exe") : QLatin1String("/gta_sa.exe"))
        + QLatin1String("\" ") + arguments;
    launch.commandLine.replace(QLatin1Char('/'), QLatin1Char('\\'));
    launch.workingDirectory = reborn ? gameDir + QLatin1String("/bin/release/") : gameDir;
    launch.workingDirectory.replace(QLatin1Char('/'), QLatin1Char('\\'));
    return launch;
}

void GameStarter::start(bool reborn)
{
    const QString refusal = refusalReason();
    if (!refusal.isEmpty()) {
        emit startRefused(refusal);
        return;
    }
    Platform::writePlayerName(nickname);
    const Launch launch = launchFor(reborn);
    // The outcome is not looked at: the launcher closes either way.
    Platform::startDetached(launch.commandLine, launch.workingDirectory);
    emit startFinished();
}
