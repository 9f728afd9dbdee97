#include "service/serverquery.h"

#include "app/runstate.h"
#include "platform/platform.h"
#include "service/httprequest.h"

#include <QThread>
#include <QTimer>

ServerQuery::ServerQuery(const QString &address, ushort port, int index)
    : ServerQuery(address, port, index, Options())
{
}

ServerQuery::ServerQuery(const QString &address, ushort port, int index, const Options &options)
    : address(address)
    , port(port)
    , index(index)
    , options(options)
    , worker(new QThread)
{
    if (!this->options.tickCount)
        this->options.tickCount = Platform::tickCount;
    connect(worker, &QThread::started, this, &ServerQuery::startHttpReq);
    moveToThread(worker);
    worker->start(QThread::InheritPriority);
}

ServerQuery::~ServerQuery()
{
    if (worker->isFinished())
        delete worker;
}

void ServerQuery::stop()
{
    worker->quit();
    worker->wait();
}

quint32 ServerQuery::sinceLastQuery() const
{
    return quint32(options.tickCount() - lastQueryTick);
}

void ServerQuery::startHttpReq()
{
    if (sinceLastQuery() > scheduledGapMs)
        poll();
    initialPollPending = false;
    QTimer::singleShot(options.pollIntervalMs, this, &ServerQuery::startHttpReq);
}

void ServerQuery::refresh()
{
    if (sinceLastQuery() < refreshGapMs || initialPollPending)
        return;
    poll();
}

void ServerQuery::poll()
{
    // Set before sending: a refresh that runs nested in the request's event loop then sees
    // this request as the last one and sends nothing.
    lastQueryTick = options.tickCount();
    const QString number = QString::number(index + 1);
    const QString url = usingFallbackHost
        ? options.endpoints.fallbackService + QStringLiteral("/serv.php?id=%1").arg(number)
        : options.endpoints.site + QStringLiteral("/serv%1.txt").arg(number);
    HttpRequest request(url);
    request.addParam(QStringLiteral("id"), number);
    request.setBodyLimit(4096); // two numbers and a slash
    if (!request.sendGet(3, options.attemptTimeoutMs))
        return;
    const Status status = parseStatus(request.response());
    players = status.players;
    total = status.total;
    emit infoUpdated(players, total);
}

ServerQuery::Status ServerQuery::parseStatus(const QByteArray &answer)
{
    const int zero = answer.indexOf('\0');
    const QString text = QString::fromLatin1(zero < 0 ? answer : answer.left(zero));
    const QStringList parts = text.split(QLatin1Char('/'));
    Status status;
    if (parts.size() != 2)
        return status;
    // A part that is not a number reads as 0; the low 16 bits are kept, so -1 gives 65535.
    status.players = quint16(parts.at(0).trimmed().toLongLong());
    status.total = quint16(parts.at(1).trimmed().toLongLong());
    return status;
}
