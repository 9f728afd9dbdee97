#pragma once

// Loopback HTTP/1.1 and HTTPS server for tests: answers from a route table, can misbehave on
// purpose (delays, stalls mid-body, dropped connections, silence) and records every request.
//
// It runs on a thread of its own, so it keeps answering while the test thread blocks in a
// synchronous exchange; route handlers therefore run on that thread and must only read what
// they captured or use thread-safe state. A request uses the routes as they are when it
// arrives. Paths are matched exactly, without the query; unknown paths answer 404. Every
// connection is answered once and then closed.

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QMetaType>
#include <QMutex>
#include <QPair>
#include <QString>

#include <functional>

class QThread;
class TestCertificates;
class TestServerCore;

struct TestRequest
{
    QByteArray method;
    QByteArray target; // path and query as sent, e.g. "/api_v2.php?data=ping"
    QByteArray path; // target up to "?"
    QByteArray query; // target after "?", still percent-encoded
    QMap<QByteArray, QByteArray> headers; // names in lower case

    QByteArray header(const QByteArray &name) const { return headers.value(name.toLower()); }
};

// What the server does with one request.
struct TestResponse
{
    enum class Ending {
        Complete, // the whole body, then close
        Stall, // only cutAfter body bytes, then keep the connection open and send nothing more
        Drop, // only cutAfter body bytes, then close the connection
    };

    int status = 200;
    QList<QPair<QByteArray, QByteArray>> headers; // sent after the status line, in order
    QByteArray body; // announced whole in Content-Length, even when cut
    Ending ending = Ending::Complete;
    int cutAfter = 0; // body bytes before a Stall or Drop; below 0 not even the status line
    int delayMs = 0; // wait before anything is sent
    int chunkBytes = 0; // when > 0 the body goes out in pieces of this size ...
    int chunkIntervalMs = 0; // ... this many milliseconds apart

    static TestResponse ok(
        const QByteArray &body, const QByteArray &contentType = "application/octet-stream");
    static TestResponse error(int status, const QByteArray &body = QByteArray());
    // The Location is sent exactly as given, so relative targets are possible.
    static TestResponse redirect(const QByteArray &location, int status = 302);
    static TestResponse stallAfter(const QByteArray &body, int bytes);
    static TestResponse dropAfter(const QByteArray &body, int bytes);
    static TestResponse silent() { return stallAfter(QByteArray(), -1); }
    static TestResponse dropConnection() { return dropAfter(QByteArray(), -1); }

    TestResponse &withHeader(const QByteArray &name, const QByteArray &value);
    TestResponse &withDelay(int ms);
    TestResponse &inChunks(int bytes, int intervalMs);
};

Q_DECLARE_METATYPE(TestResponse)

using TestHandler = std::function<TestResponse(const TestRequest &)>;
// Answers with bad to the first `failures` requests, then with good.
TestHandler failingFirst(int failures, const TestResponse &bad, const TestResponse &good);

class TestHttpServer
{
public:
    // Plain HTTP, or HTTPS with the server certificate of certificates (which must outlive the
    // server and must have been generated).
    explicit TestHttpServer(const TestCertificates *certificates = nullptr);
    ~TestHttpServer();
    Q_DISABLE_COPY(TestHttpServer)

    // Listens on 127.0.0.1 at a free port; false when that fails.
    bool listen();

    // "http://127.0.0.1:<port>" or "https://127.0.0.1:<port>", without a trailing slash.
    QString baseUrl() const;
    QString url(const QString &path) const { return baseUrl() + path; }

    void route(const QString &path, const TestResponse &response);
    void route(const QString &path, const TestHandler &handler);
    // Answers every path without a route of its own; the default is 404.
    void setFallback(const TestHandler &handler);

    // At most this many connections at once (0: any); one more is closed as it comes.
    void setConnectionLimit(int connections);
    // The most connections that were open at once.
    int mostConnections() const;

    QList<TestRequest> requests() const;
    int requestCount() const { return requests().size(); }
    int requestCount(const QString &path) const;
    void clearRequests();

    // Records the request and picks the answer; called on the server's thread.
    TestResponse respond(const TestRequest &request);

private:
    const TestCertificates *tls;
    QThread *thread;
    TestServerCore *core;
    quint16 port = 0;
    mutable QMutex mutex;
    QMap<QByteArray, TestHandler> routes;
    TestHandler fallback;
    QList<TestRequest> received;
};
