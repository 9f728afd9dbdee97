#pragma once

#include "service/servicehosts.h"

#include <QObject>
#include <QString>

#include <functional>

class QThread;

// Asks the project's web service, every 30 seconds and on demand, how many players one game
// server has and how many it holds. Lives on a thread of its own, started by the constructor;
// reports only through infoUpdated(), queued to the server card.
class ServerQuery : public QObject
{
    Q_OBJECT

public:
    // What the query depends on; the defaults are the launcher's.
    struct Options
    {
        ServiceEndpoints endpoints = ServiceEndpoints::fromBuild();
        // A millisecond counter wrapping at 32 bits; Platform::tickCount by default.
        std::function<quint32()> tickCount;
        int pollIntervalMs = 30000;
        int attemptTimeoutMs = 1000;
    };

    // index is the card's position, 0 to 5; the service numbers servers from 1.
    ServerQuery(const QString &address, ushort port, int index);
    ServerQuery(const QString &address, ushort port, int index, const Options &options);
    // Only after stop(); the launcher never deletes its queries.
    ~ServerQuery() override;

    // Ends the query's thread and waits for it; call from another thread, for tests and for an
    // owner that wants an orderly end.
    void stop();

    // The status text "players/total"; anything but exactly one "/" reads as 0/0.
    struct Status
    {
        quint16 players = 0;
        quint16 total = 0;
    };
    static Status parseStatus(const QByteArray &answer);

    static constexpr quint32 scheduledGapMs = 25000;
    static constexpr quint32 refreshGapMs = 5000;

signals:
    void infoUpdated(int players, int total);

public slots:
    void startHttpReq();
    void refresh();

private:
    void poll();
    quint32 sinceLastQuery() const;

    quint16 players = 0;
    quint16 total = 0;
    QString address;
    ushort port;
    int index;
    quint32 lastQueryTick = 0;
    bool initialPollPending = true;
    Options options;
    QThread *worker;
};
