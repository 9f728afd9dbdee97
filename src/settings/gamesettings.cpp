#include "settings/gamesettings.h"

#include "platform/platform.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStringList>

namespace {

// The game-side readers use fixed 512-byte path buffers; a longer path would be cut to one
// that names some other file, so such a folder counts as unknown.
constexpr int pathBufferSize = 512;

// Lines are read like fgets with a 32-byte buffer: a longer line arrives in several pieces.
constexpr qint64 pieceBufferSize = 32;

} // namespace

GameSettings::GameSettings()
    : GameSettings(Platform::documentsFolder())
{
}

GameSettings::GameSettings(const QString &documentsFolder)
{
    if (documentsFolder.isEmpty())
        return;
    const QString folder =
            QDir::toNativeSeparators(documentsFolder + QLatin1String("/GTA San Andreas User Files"));
    const QString switches = QDir::toNativeSeparators(folder + QLatin1String("/listva.cfg"));
    const QString game = QDir::toNativeSeparators(folder + QLatin1String("/gta_sa.set"));
    if (switches.toLocal8Bit().size() >= pathBufferSize || game.toLocal8Bit().size() >= pathBufferSize)
        return;
    userFilesFolder = folder;
    switchesFile = switches;
    gameSettingsFile = game;
    load();
}

void GameSettings::load()
{
    QFile file(switchesFile);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return;
    while (!file.atEnd()) {
        const QByteArray bytes = file.readLine(pieceBufferSize);
        if (bytes.isEmpty())
            break;
        const QString piece = QString::fromUtf8(bytes);
        if (piece.trimmed().isEmpty())
            continue;
        const QStringList parts = piece.split(QLatin1Char('='), Qt::KeepEmptyParts);
        if (parts.size() != 2)
            continue;
        const QString value = parts.at(1).trimmed();
        switches.insert(parts.at(0), !value.isEmpty() && value.at(0) != QLatin1Char('0'));
    }
}

bool GameSettings::value(const QString &key, bool defaultValue) const
{
    return switches.value(key, defaultValue);
}

void GameSettings::setValue(const QString &key, bool value)
{
    switches.insert(key, value);
}

void GameSettings::save()
{
    if (switchesFile.isEmpty())
        return;
    // Written aside and renamed into place, so a crash mid-write keeps the old switches.
    QSaveFile file(switchesFile);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return;
    for (auto it = switches.cbegin(); it != switches.cend(); ++it)
        file.write(QStringLiteral("%1=%2\n").arg(it.key(), it.value() ? QStringLiteral("1") : QStringLiteral("0")).toLocal8Bit());
    file.commit();
}

QString GameSettings::settingsFilePath() const
{
    return gameSettingsFile;
}

QString GameSettings::switchesFilePath() const
{
    return switchesFile;
}
