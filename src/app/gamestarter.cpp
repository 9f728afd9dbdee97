#include "app/gamestarter.h"

#include "platform/platform.h"

#include <QDir>
#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

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
    static const QRegularExpression hostName(QStringLiteral(
            "^(?=.{1,253}$)[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?"
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
    const QString programPath =
            reborn ? QStringLiteral("\\bin\\release\\korvina.exe") : QStringLiteral("\\gta_sa.exe");
    Launch launch;
    launch.argumentText = QString::fromLatin1(reborn ? rebornTemplate : standardTemplate)
                                  .arg(simplifiedNickname(nickname), host, port);
    launch.commandLine =
            QLatin1Char('"') + gameDir + programPath + QLatin1String("\" ") + launch.argumentText;
    launch.commandLine.replace(QLatin1Char('/'), QLatin1Char('\\'));

    const QString nativeProgram = QDir::toNativeSeparators(
            gameDir + QString(programPath).replace(QLatin1Char('\\'), QLatin1Char('/')));
    launch.workingDirectory = QDir::toNativeSeparators(
            reborn ? gameDir + QLatin1String("/bin/release/") : gameDir);
    // As Windows would split the command line: a missing host leaves no empty argument.
    launch.arguments = launch.argumentText.split(QLatin1Char(' '), Qt::SkipEmptyParts);
#ifdef Q_OS_WIN
    launch.program = nativeProgram;
#else
    // The game is a Windows program: a Linux player runs it through wine when it is installed.
    const QString wine = QStandardPaths::findExecutable(QStringLiteral("wine"));
    if (wine.isEmpty()) {
        launch.program = nativeProgram;
    } else {
        launch.program = wine;
        launch.arguments.prepend(nativeProgram);
    }
#endif
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
    QProcess process;
#ifdef Q_OS_WIN
    // Hand Windows the command line exactly as built (program always quoted, "\" paths)
    // instead of letting QProcess quote each argument again.
    process.setProgram(QLatin1Char('"') + launch.program + QLatin1Char('"'));
    process.setNativeArguments(launch.argumentText);
#else
    process.setProgram(launch.program);
    process.setArguments(launch.arguments);
#endif
    process.setWorkingDirectory(launch.workingDirectory);
    // The outcome is not looked at: the launcher closes either way.
    process.startDetached();
    emit startFinished();
}
