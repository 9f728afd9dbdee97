#include "sync/bodyprefetch.h"

#include <QNetworkReply>

BodyPrefetch::BodyPrefetch(const std::function<QNetworkReply *(const QString &)> &send,
    const Window &window, QObject *parent)
    : QObject(parent)
    , send(send)
    , limits(window)
{
}

BodyPrefetch::~BodyPrefetch()
{
    clear();
}

void BodyPrefetch::plan(const QVector<Body> &planned)
{
    clear();
    bodies = planned;
    indexOf.clear();
    indexOf.reserve(bodies.size());
    // A body asked for twice (it cannot be, but a list is the host's) is sent ahead once.
    for (int i = bodies.size() - 1; i >= 0; --i)
        indexOf.insert(bodies.at(i).remote, i);
    next = 0;
}

QNetworkReply *BodyPrefetch::take(const QString &remote, qint64 *received)
{
    *received = 0;
    const int index = indexOf.value(remote, -1);
    if (index < 0)
        return nullptr;
    // What lies before it was passed over, or failed and was given up: not wanted any more.
    const QList<int> sent = inFlight.keys();
    for (const int earlier : sent) {
        if (earlier < index)
            drop(earlier);
    }
    next = qMax(next, index + 1);
    QNetworkReply *reply = nullptr;
    const auto found = inFlight.constFind(index);
    if (found != inFlight.constEnd() && found->reply->isFinished()
        && found->reply->error() != QNetworkReply::NoError) {
        // Refused or cut while sent ahead: a host that caps its connections, or a bad moment.
        // Asked for again in turn, where a failure counts; fewer are sent ahead from now on.
        drop(index);
        limits.count = qMax(1, limits.count / 2);
    } else if (found != inFlight.constEnd()) {
        reply = found->reply;
        *received = found->received;
        reply->disconnect(this);
        reply->setParent(nullptr);
        heldBytes -= bodies.at(index).expected;
        inFlight.remove(index);
    }
    // After the downloader's own request has gone out: the body it waits for comes first.
    QMetaObject::invokeMethod(this, &BodyPrefetch::fill, Qt::QueuedConnection);
    return reply;
}

void BodyPrefetch::clear()
{
    const QList<int> sent = inFlight.keys();
    for (const int index : sent)
        drop(index);
    heldBytes = 0;
    next = bodies.size();
}

void BodyPrefetch::fill()
{
    while (next < bodies.size() && inFlight.size() < limits.count - 1) {
        const int index = next;
        const Body &body = bodies.at(index);
        if (body.limit > limits.largestBody) {
            ++next; // streamed when its turn comes
            continue;
        }
        if (!inFlight.isEmpty() && heldBytes + body.expected > limits.bytes)
            return;
        QNetworkReply *reply = send(body.remote);
        if (!reply)
            return;
        ++next;
        reply->setParent(this);
        heldBytes += body.expected;
        inFlight.insert(index, { reply, 0 });
        connect(reply, &QNetworkReply::downloadProgress, this, [this, index](qint64 bytes, qint64) {
            const auto found = inFlight.find(index);
            if (found == inFlight.end())
                return;
            const qint64 arrived = bytes - found->received;
            found->received = bytes;
            if (arrived > 0)
                emit received(arrived);
            if (bytes > bodies.at(index).limit)
                drop(index);
        });
    }
}

void BodyPrefetch::drop(int index)
{
    const auto found = inFlight.find(index);
    if (found == inFlight.end())
        return;
    QNetworkReply *reply = found->reply;
    heldBytes -= bodies.at(index).expected;
    inFlight.erase(found);
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
}
