#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <QVector>

#include <functional>

class QNetworkReply;

// Requests for the bodies after the one being received, sent while it still arrives, so that a
// far host's round trip is paid once for a window of bodies rather than once for every body: on
// a link of 50 ms a game of a few thousand small files would otherwise wait minutes on latency
// alone. Over HTTP/2 the window shares one connection; over HTTP/1.1 the network layer spreads
// it over a few. Only small bodies are sent ahead, within a bound of count and bytes; each is
// held whole by its reply until the downloader takes it, and one that grows past its limit (a
// host sending more than the list allows) is dropped, to be asked for again in turn, where the
// downloader's own checks meet it.
class BodyPrefetch : public QObject
{
    Q_OBJECT

public:
    struct Window
    {
        int count; // bodies in flight, the one being received included; 1 sends none ahead
        qint64 bytes; // what the bodies sent ahead may hold in all
        qint64 largestBody; // larger bodies are asked for only in turn, and streamed
    };
    static constexpr Window window { 48, 24 * 1024 * 1024, 4 * 1024 * 1024 };

    struct Body
    {
        QString remote;
        qint64 expected = 0; // its size where known, else its limit
        qint64 limit = 0; // the most it may be
    };

    // send makes and sends the request for a body; the replies it returns become this object's
    // until taken.
    explicit BodyPrefetch(const std::function<QNetworkReply *(const QString &)> &send,
        const Window &window = BodyPrefetch::window, QObject *parent = nullptr);
    ~BodyPrefetch() override;

    // The bodies of the run, in the order the downloader will ask for them.
    void plan(const QVector<Body> &bodies);
    // The reply already sent for remote (with the bytes it has received in *received), or null
    // (also when it failed: the window then shrinks by half). Bodies planned before remote were
    // passed over: their replies are ended. More are sent.
    QNetworkReply *take(const QString &remote, qint64 *received);
    // Ends every reply sent ahead.
    void clear();

signals:
    // Bytes that arrived for bodies sent ahead, for the speed shown.
    void received(qint64 bytes);

private:
    struct InFlight
    {
        QNetworkReply *reply = nullptr;
        qint64 received = 0;
    };

    void fill();
    void drop(int index);

    std::function<QNetworkReply *(const QString &)> send;
    Window limits;
    QVector<Body> bodies;
    QHash<QString, int> indexOf;
    QHash<int, InFlight> inFlight;
    int next = 0; // the first body not yet sent ahead or passed
    qint64 heldBytes = 0; // expected bytes of the replies in flight
};
