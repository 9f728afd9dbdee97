#pragma once

// Loopback HTTP/1.1 and HTTPS server for tests: answers from a route table, can misbehave on
// purpose (delays, redirect chains, stalls mid-body, dropped connections, silence) and records
// every request it received.
//
// Usage:
//     TestHttpServer server;                       // or TestHttpServer server(&certificates)
//     server.route("/api_v2.php", TestResponse::ok("[]"));
//     server.route("/hop", [](const TestRequest &r) { return TestResponse::redirect("/x"); });
//     QVERIFY(server.listen());
//     HttpRequest request(server.url("/api_v2.php"));
//     ...
//     QCOMPARE(server.requestCount("/api_v2.php"), 1);
//
// The server runs on a thread of its own, so it keeps answering while the test thread blocks in
// a synchronous exchange, sleeps or waits for a worker thread. Consequently route handlers run
// on the server's thread: they must only read what they captured or use thread-safe state.
// Routes may be changed at any time; a request uses the table as it is when the request
// arrives. Paths are matched exactly, without the query; unknown paths answer 404.
// Every connection is answered once and then closed ("Connection: close").

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QMetaType>
#include <QMutex>
#include <QObject>
#include <QPair>
#include <QString>

#include <functional>

class QThread;
class TestCertificates;
class TestServerCore;

// One request as the server parsed it.
struct TestRequest
{
    QByteArray method;
    QByteArray target; // path and query as sent, e.g. "/api_v2.php?data=ping"
    QByteArray path; // target up to "?"
    QByteArray query; // target after "?", still percent-encoded; empty when there is none
    QMap<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;
    bool encrypted = false;

    QByteArray header(const QByteArray &name) const { return headers.value(name.toLower()); }
};

// What the server does with one request.
struct TestResponse
{
    enum class Kind {
        Answer, // status line, headers, whole body's Content-Length, body (maybe cut, see ending)
        Silent, // read the request, never send anything, keep the connection open
        Drop, // close the connection without sending anything
    };
    enum class Ending {
        Complete, // the whole body, then close
        Stall, // only cutAfter body bytes, then keep the connection open and send nothing more
        Drop, // only cutAfter body bytes, then close the connection
    };

    Kind kind = Kind::Answer;
    int status = 200;
    QList<QPair<QByteArray, QByteArray>> headers; // sent after the status line, in order
    QByteArray body;
    int delayMs = 0; // wait before anything is sent
    Ending ending = Ending::Complete;
    int cutAfter = 0; // body bytes sent before a Stall or Drop ending
    int chunkBytes = 0; // when > 0 the body goes out in pieces of this size ...
    int chunkIntervalMs = 0; // ... this many milliseconds apart

    static TestResponse ok(
        const QByteArray &body, const QByteArray &contentType = "application/octet-stream");
    static TestResponse error(int status, const QByteArray &body = QByteArray());
    // 302 by default; the Location is sent exactly as given, so relative targets are possible.
    static TestResponse redirect(const QByteArray &location, int status = 302);
    static TestResponse silent();
    static TestResponse dropConnection();
    static TestResponse stallAfter(const QByteArray &body, int bytes);
    static TestResponse dropAfter(const QByteArray &body, int bytes);

    TestResponse &withHeader(const QByteArray &name, const QByteArray &value);
    TestResponse &withDelay(int ms);
    TestResponse &inChunks(int bytes, int intervalMs);
};

// Usable as a column of a data-driven test.
Q_DECLARE_METATYPE(TestResponse)

using TestHandler = std::function<TestResponse(const TestRequest &)>;

class TestHttpServer : public QObject
{
    Q_OBJECT

public:
    // Plain HTTP, or HTTPS with the server certificate of certificates (which must outlive the
    // server and must have been generated).
    explicit TestHttpServer(
        const TestCertificates *certificates = nullptr, QObject *parent = nullptr);
    ~TestHttpServer() override;

    // Listens on 127.0.0.1 at a free port (or the given one); false when that fails.
    bool listen(quint16 port = 0);
    // Stops accepting and closes every open connection; listen() may be called again.
    void close();

    quint16 port() const { return listenPort; }
    // "127.0.0.1:<port>"
    QString hostAndPort() const;
    // "http://127.0.0.1:<port>" or "https://127.0.0.1:<port>", without a trailing slash.
    QString baseUrl() const;
    // baseUrl() + path
    QString url(const QString &path) const;

    void route(const QString &path, const TestResponse &response);
    void route(const QString &path, const TestHandler &handler);
    // Answers every path without a route of its own; the default is 404.
    void setFallback(const TestHandler &handler);

    QList<TestRequest> requests() const;
    QList<TestRequest> requests(const QString &path) const;
    int requestCount() const;
    int requestCount(const QString &path) const;
    void clearRequests();

    // Used by the server's thread.
    TestResponse respond(const TestRequest &request);

private:
    const TestCertificates *tls;
    QThread *thread;
    TestServerCore *core;
    quint16 listenPort = 0;
    mutable QMutex mutex;
    QMap<QByteArray, TestHandler> routes;
    TestHandler fallback;
    QList<TestRequest> received;
};
