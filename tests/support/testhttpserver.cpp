#include "testhttpserver.h"

#include "testcertificates.h"

#include <QAtomicInt>
#include <QMutexLocker>
#include <QSslSocket>
#include <QTcpServer>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <memory>

TestResponse TestResponse::ok(const QByteArray &body, const QByteArray &contentType)
{
    return { 200, { { "Content-Type", contentType } }, body };
}

TestResponse TestResponse::error(int status, const QByteArray &body)
{
    return { status, {}, body };
}

TestResponse TestResponse::redirect(const QByteArray &location, int status)
{
    return { status, { { "Location", location } }, {} };
}

TestResponse TestResponse::stallAfter(const QByteArray &body, int bytes)
{
    return { 200, {}, body, Ending::Stall, bytes };
}

TestResponse TestResponse::dropAfter(const QByteArray &body, int bytes)
{
    return { 200, {}, body, Ending::Drop, bytes };
}

TestResponse &TestResponse::withHeader(const QByteArray &name, const QByteArray &value)
{
    headers.append({ name, value });
    return *this;
}

TestResponse &TestResponse::withDelay(int ms)
{
    delayMs = ms;
    return *this;
}

TestResponse &TestResponse::inChunks(int bytes, int intervalMs)
{
    chunkBytes = bytes;
    chunkIntervalMs = intervalMs;
    return *this;
}

TestHandler failingFirst(int failures, const TestResponse &bad, const TestResponse &good)
{
    auto count = std::make_shared<QAtomicInt>(0);
    return
        [=](const TestRequest &) { return count->fetchAndAddOrdered(1) < failures ? bad : good; };
}

namespace {

// One accepted connection: reads one GET request, asks the owner for the answer, sends it.
class TestConnection : public QObject
{
public:
    TestConnection(QTcpSocket *socket, TestHttpServer *owner)
        : QObject(socket)
        , socket(socket)
        , owner(owner)
    {
        connect(socket, &QTcpSocket::readyRead, this, [this] { readMore(); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        // A client that goes away mid-answer must not leave timers writing into a dead socket.
        connect(socket, &QAbstractSocket::errorOccurred, this, [this] { stopped = true; });
    }

private:
    void readMore()
    {
        if (answered)
            return;
        buffer += socket->readAll();
        const int headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return;
        TestRequest request;
        const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        request.method = requestLine.value(0);
        request.target = requestLine.value(1);
        const int question = request.target.indexOf('?');
        request.path = question < 0 ? request.target : request.target.left(question);
        request.query = question < 0 ? QByteArray() : request.target.mid(question + 1);
        for (const QByteArray &line : lines.mid(1)) {
            const int colon = line.indexOf(':');
            request.headers.insert(
                line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
        }
        answered = true;
        response = owner->respond(request);
        pending = response.body;
        if (response.ending != TestResponse::Ending::Complete)
            pending.truncate(qMax(0, response.cutAfter));
        QTimer::singleShot(response.delayMs, this, [this] { begin(); });
    }

    void begin()
    {
        if (stopped)
            return;
        if (response.cutAfter >= 0) {
            QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + " Answer\r\n";
            for (const auto &header : qAsConst(response.headers))
                head += header.first + ": " + header.second + "\r\n";
            head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
            socket->write(head + "Connection: close\r\n\r\n");
        }
        sendNext();
    }

    void sendNext()
    {
        if (stopped)
            return;
        if (response.chunkBytes > 0 && pending.size() > response.chunkBytes) {
            socket->write(pending.left(response.chunkBytes));
            pending.remove(0, response.chunkBytes);
            QTimer::singleShot(response.chunkIntervalMs, this, [this] { sendNext(); });
            return;
        }
        socket->write(pending);
        // Closed, not reset: a reset may discard bytes the client has not read yet.
        if (response.ending == TestResponse::Ending::Stall)
            socket->flush();
        else
            socket->disconnectFromHost();
    }

    QTcpSocket *socket;
    TestHttpServer *owner;
    QByteArray buffer;
    bool answered = false;
    bool stopped = false;
    TestResponse response;
    QByteArray pending;
};

} // namespace

// Accepts plain or TLS connections on the server's thread; the sockets are its children.
class TestServerCore : public QTcpServer
{
public:
    TestServerCore(TestHttpServer *owner, const TestCertificates *tls)
        : owner(owner)
        , tls(tls)
    {
    }

    QAtomicInt connectionLimit { 0 };
    QAtomicInt mostOpen { 0 };

protected:
    void incomingConnection(qintptr descriptor) override
    {
        // Without certificates the socket simply stays unencrypted.
        auto *socket = new QSslSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        const int limit = connectionLimit.loadRelaxed();
        if (limit > 0 && open >= limit) {
            // Refused as a host at its cap does: closed before a byte of the request is read.
            socket->abort();
            socket->deleteLater();
            return;
        }
        if (++open > mostOpen.loadRelaxed())
            mostOpen.storeRelaxed(open);
        connect(socket, &QObject::destroyed, this, [this] { --open; });
        if (tls) {
            socket->setLocalCertificate(tls->serverCertificate());
            socket->setPrivateKey(tls->serverKey());
            socket->startServerEncryption();
        }
        new TestConnection(socket, owner);
    }

private:
    TestHttpServer *owner;
    const TestCertificates *tls;
    int open = 0; // connections accepted and not yet closed
};

TestHttpServer::TestHttpServer(const TestCertificates *certificates)
    : tls(certificates)
    , thread(new QThread)
    , core(new TestServerCore(this, certificates))
{
    core->moveToThread(thread);
    thread->start();
}

void TestHttpServer::setConnectionLimit(int connections)
{
    core->connectionLimit.storeRelaxed(connections);
}

int TestHttpServer::mostConnections() const
{
    return core->mostOpen.loadRelaxed();
}

TestHttpServer::~TestHttpServer()
{
    // The thread runs pending deferred deletes as it finishes; the sockets go with the core.
    core->deleteLater();
    thread->quit();
    thread->wait();
    delete thread;
}

bool TestHttpServer::listen()
{
    QMetaObject::invokeMethod(
        core, [this] { port = core->listen(QHostAddress::LocalHost) ? core->serverPort() : 0; },
        Qt::BlockingQueuedConnection);
    return port != 0;
}

QString TestHttpServer::baseUrl() const
{
    return QStringLiteral("%1://127.0.0.1:%2").arg(tls ? "https" : "http").arg(port);
}

void TestHttpServer::route(const QString &path, const TestResponse &response)
{
    route(path, [response](const TestRequest &) { return response; });
}

void TestHttpServer::route(const QString &path, const TestHandler &handler)
{
    QMutexLocker lock(&mutex);
    routes.insert(path.toUtf8(), handler);
}

void TestHttpServer::setFallback(const TestHandler &handler)
{
    QMutexLocker lock(&mutex);
    fallback = handler;
}

QList<TestRequest> TestHttpServer::requests() const
{
    QMutexLocker lock(&mutex);
    return received;
}

int TestHttpServer::requestCount(const QString &path) const
{
    const QList<TestRequest> all = requests();
    return int(std::count_if(all.begin(), all.end(),
        [&](const TestRequest &request) { return request.path == path.toUtf8(); }));
}

void TestHttpServer::clearRequests()
{
    QMutexLocker lock(&mutex);
    received.clear();
}

TestResponse TestHttpServer::respond(const TestRequest &request)
{
    TestHandler handler;
    {
        QMutexLocker lock(&mutex);
        received.append(request);
        handler = routes.value(request.path, fallback);
    }
    // Called without the lock, so that a handler may look at the recorded requests.
    return handler ? handler(request) : TestResponse::error(404, "not found");
}
