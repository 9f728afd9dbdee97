#pragma once

// Talking to the project's service: signed requests, the start-up loader, server status,
// the local store and the self-update.

#include "service/selfupdate.h"
#include "service/servicehosts.h"

#include <QByteArray>
#include <QImage>
#include <QMap>
#include <QObject>
#include <QString>

class NewsSink;

// Prepares the window's content on a thread of its own: host choice, update check, server
// list, news and their pictures; then signals loadFinish(). When an update is due it installs
// it instead and never signals loadFinish(), unless the update cannot be had, or the installer
// it started has not closed this launcher in time: then it signals updateFailed() and goes on
// with this launcher, so the player can still play.
class LoadThread : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        ServiceEndpoints endpoints = ServiceEndpoints::fromBuild();
        // Holds the server list cache, the image cache and the installer; the executable's
        // directory if empty.
        QString launcherDir;
        int requestTimeoutMs = 3000; // per attempt of every service call and image
        int imageDelayMs = 250; // pause before the pictures are fetched
        int watchdogIntervalMs = 1000; // of the installer download
        int installDelayMs = 1000;
        // How long the started installer has to close this launcher. The installer waits up
        // to 30 s for the launcher to go before it gives up without changing anything.
        int handOverWaitMs = 60000;
    };

    // news receives the news entries on the loader's thread; without one the news are skipped.
    explicit LoadThread(NewsSink *news = nullptr);
    LoadThread(NewsSink *news, const Options &options);

    // The server list offered when neither the service nor the cache gives one.
    struct ServerEntry
    {
        QString name;
        QString addr;
        ushort port;
    };
    static QList<ServerEntry> builtInServers();
    // The game servers run on the site host's machine; a port that the site host carries
    // (host:port) is its web port, not part of the game servers' address.
    static QList<ServerEntry> builtInServers(const QString &siteHost);
    // The service's "servers" answer: a JSON array, each element a server (an empty array is a
    // list too). False for anything else, which is then neither shown nor cached.
    static bool parseServers(const QByteArray &json, QList<ServerEntry> *servers);

    QString baseUrl;

signals:
    void serverListAdd(const QString &name, const QString &addr, ushort port);
    void serverListLoaded();
    void newsListLoaded();
    // Decoded off the user-interface thread; the window turns it into a screen picture.
    void newsImageLoaded(uint idx, const QImage &image);
    void loadFinish();
    // installerStarted: the installer ran but never took over.
    void updateFailed(bool installerStarted);
    void setState(const QString &left, const QString &right);
    void setProgress(quint64 currentValue, quint64 maxValue);

public slots:
    void start();

private:
    void loadServers();
    void loadNews();
    void loadImages();
    void announceServers(const QList<ServerEntry> &servers);
    // False when the launcher is stopping (the installer closed it) before the wait is over.
    bool waitForHandOver();

    NewsSink *news;
    Options options;
    SelfUpdate *update;
    QMap<uint, QString> newsImages;
};
