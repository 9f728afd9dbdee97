#pragma once

#include <QObject>
#include <QString>

// Turns a join request into a running game: records the nickname for the multiplayer client,
// builds the command line for the chosen server and starts the game detached.
class GameStarter : public QObject
{
    Q_OBJECT

public:
    explicit GameStarter(QObject *parent = nullptr);

    QString host;
    QString port;
    QString nickname;
    QString gameDir;

    // What start(reborn) launches, in Windows form on every system: the command line (quoted
    // program path, one blank, the arguments) and the working directory.
    struct Launch
    {
        QString commandLine;
        QString workingDirectory;
    };

    // Empty when host, port or nickname could reach the command line as anything but one value.
    QString refusalReason() const;
    Launch launchFor(bool reborn) const;

    // Writes player_name, starts the game and emits startFinished(); a refused start emits
    // startRefused() instead and touches nothing.
    void start(bool reborn);

    static bool isSafeHost(const QString &host);

signals:
    void startFinished();
    void startRefused(const QString &message);
};
