#include "testhttpserver.h"

#include "testcertificates.h"

#include <QMutexLocker>
#include <QPointer>
#include <QSslSocket>
#include <QTcpServer>
#include <QThread>
#include <QTimer>

// --- responses -------------------------------------------------------------------------------

TestResponse TestResponse::ok(const QByteArray &body, const QByteArray &contentType)
{
    TestResponse response;
    response.body = body;
    response.headers.append({ "Content-Type", contentType });
    return response;
}

TestResponse TestResponse::error(int status, const QByteArray &body)
{
    TestResponse response;
    response.status = status;
    response.body = body;
    return response;
}

TestResponse TestResponse::redirect(const QByteArray &location, int status)
{
    TestResponse response;
    response.status = status;
    response.headers.append({ "Location", location });
    return response;
}

TestResponse TestResponse::silent()
{
    TestResponse response;
    response.kind = Kind::Silent;
    return response;
}

TestResponse TestResponse::dropConnection()
{
    TestResponse response;
    response.kind = Kind::Drop;
    return response;
}

TestResponse TestResponse::stallAfter(const QByteArray &body, int bytes)
{
    TestResponse response = ok(body);
    response.ending = Ending::Stall;
    response.cutAfter = bytes;
    return response;
}

TestResponse TestResponse::dropAfter(const QByteArray &body, int bytes)
{
    TestResponse response = ok(body);
    response.ending = Ending::Drop;
    response.cutAfter = bytes;
    return response;
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

// --- server thread ---------------------------------------------------------------------------

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

// One accepted connection: reads one request, asks the owner for the answer, sends it.
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
        for (int i = 1; i < lines.size(); ++i) {
            const int colon = lines.at(i).indexOf(':');
            if (colon > 0)
                request.headers.insert(lines.at(i).left(colon).trimmed().toLower(),
                    lines.at(i).mid(colon + 1).trimmed());
        }
        const int bodyLength = request.header("content-length").toInt();
        if (buffer.size() < headerEnd + 4 + bodyLength)
            return;
        request.body = buffer.mid(headerEnd + 4, bodyLength);
        request.encrypted = qobject_cast<QSslSocket *>(socket) != nullptr;
        answered = true;
        response = owner->respond(request);
        if (response.kind == TestResponse::Kind::Silent)
            return;
        if (response.delayMs > 0)
            QTimer::singleShot(response.delayMs, this, [this] { begin(); });
        else
            begin();
    }

    void begin()
    {
        if (stopped)
            return;
        if (response.kind == TestResponse::Kind::Drop) {
            socket->abort();
            return;
        }
        QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' '
            + reasonPhrase(response.status) + "\r\n";
        for (const auto &header : qAsConst(response.headers))
            head += header.first + ": " + header.second + "\r\n";
        head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
        head += "Connection: close\r\n\r\n";
        socket->write(head);

        pending = response.body;
        if (response.ending != TestResponse::Ending::Complete)
            pending.truncate(qMax(0, response.cutAfter));
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
        pending.clear();
        switch (response.ending) {
        case TestResponse::Ending::Complete:
            socket->disconnectFromHost();
            break;
        case TestResponse::Ending::Stall:
            socket->flush();
            break;
        case TestResponse::Ending::Drop:
            // Closed, not reset: a reset may discard bytes the client has not read yet, and a
            // client that saw no answer at all silently resends its request.
            socket->disconnectFromHost();
            break;
        }
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

// Accepts plain or TLS connections on the server's thread.
class TestServerCore : public QTcpServer
{
public:
    TestServerCore(TestHttpServer *owner, const TestCertificates *tls)
        : owner(owner)
        , tls(tls)
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = nextPendingConnection())
                new TestConnection(socket, this->owner);
        });
    }

    void closeAll()
    {
        close();
        // Direct children only: a TLS socket owns a plain socket of its own.
        const QList<QTcpSocket *> sockets
            = findChildren<QTcpSocket *>(QString(), Qt::FindDirectChildrenOnly);
        for (QTcpSocket *socket : sockets) {
            socket->abort();
            delete socket;
        }
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        if (!tls) {
            QTcpServer::incomingConnection(descriptor);
            return;
        }
        auto *socket = new QSslSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        socket->setLocalCertificate(tls->serverCertificate());
        socket->setPrivateKey(tls->serverKey());
        socket->setPeerVerifyMode(QSslSocket::VerifyNone);
        socket->startServerEncryption();
        addPendingConnection(socket);
    }

private:
    TestHttpServer *owner;
    const TestCertificates *tls;
};

// --- the test thread's face ------------------------------------------------------------------

TestHttpServer::TestHttpServer(const TestCertificates *certificates, QObject *parent)
    : QObject(parent)
    , tls(certificates)
    , thread(new QThread)
    , core(new TestServerCore(this, certificates))
{
    core->moveToThread(thread);
    thread->start();
}

TestHttpServer::~TestHttpServer()
{
    close();
    // The thread sends pending deferred deletes as it finishes.
    core->deleteLater();
    thread->quit();
    thread->wait();
    delete thread;
}

bool TestHttpServer::listen(quint16 port)
{
    bool listening = false;
    QMetaObject::invokeMethod(
        core,
        [&] {
            listening = core->listen(QHostAddress::LocalHost, port);
            listenPort = listening ? core->serverPort() : 0;
        },
        Qt::BlockingQueuedConnection);
    return listening;
}

void TestHttpServer::close()
{
    QMetaObject::invokeMethod(
        core, [this] { core->closeAll(); }, Qt::BlockingQueuedConnection);
}

QString TestHttpServer::hostAndPort() const
{
    return QStringLiteral("127.0.0.1:%1").arg(listenPort);
}

QString TestHttpServer::baseUrl() const
{
    return (tls ? QStringLiteral("https://") : QStringLiteral("http://")) + hostAndPort();
}

QString TestHttpServer::url(const QString &path) const
{
    return baseUrl() + path;
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

QList<TestRequest> TestHttpServer::requests(const QString &path) const
{
    QMutexLocker lock(&mutex);
    QList<TestRequest> matching;
    for (const TestRequest &request : received) {
        if (request.path == path.toUtf8())
            matching.append(request);
    }
    return matching;
}

int TestHttpServer::requestCount() const
{
    QMutexLocker lock(&mutex);
    return received.size();
}

int TestHttpServer::requestCount(const QString &path) const
{
    return requests(path).size();
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
    if (handler)
        return handler(request);
    return TestResponse::error(404, "not found");
}
