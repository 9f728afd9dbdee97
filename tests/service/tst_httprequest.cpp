#include "app/runstate.h"
#include "service/httprequest.h"
#include "service/servicehosts.h"
#include "testcertificates.h"
#include "testhttpserver.h"

#include <QTest>

#include <memory>

namespace {

// What a GET brought, or "failed:" and whatever it kept.
QByteArray get(HttpRequest request, int attempts = 1, int timeoutMs = 10000)
{
    return request.sendGet(attempts, timeoutMs) ? request.response()
                                                : "failed:" + request.response();
}

} // namespace

class TestHttpRequest : public QObject
{
    Q_OBJECT

private:
    TestCertificates certificates;
    // A fresh clear-text loopback server for every test.
    std::unique_ptr<TestHttpServer> server;

private slots:
    void initTestCase()
    {
        QVERIFY2(certificates.generate(), qPrintable(certificates.errorText()));
        certificates.trustInDefaultConfiguration();
    }

    void init()
    {
        quitRequested = false;
        usingFallbackHost = false;
        server = std::make_unique<TestHttpServer>();
        QVERIFY(server->listen());
    }

    void signedCallQuery()
    {
        server->route("/api_v2.php", TestResponse::ok("pong"));
        const QString salt = QStringLiteral("Ab+/cD=EfGh+/ij==klmnopq+/rs=");
        HttpRequest request
            = HttpRequest::serviceCall(server->baseUrl(), QStringLiteral("updates"), salt);
        request.addParam(QStringLiteral("version"), QStringLiteral("2.0.4.2"));
        QCOMPARE(get(request), QByteArray("pong"));

        QCOMPARE(server->requestCount(), 1);
        const TestRequest received = server->requests().first();
        QCOMPARE(received.method + ' ' + received.path, QByteArray("GET /api_v2.php"));
        // MD5 of "updates" + salt + key, computed with md5sum.
        QCOMPARE(received.query,
            QByteArray("data=updates&hash=73aaf9dd5095edd64bc32081a151db14"
                       "&sig=Ab%2B%2FcD%3DEfGh%2B%2Fij%3D%3Dklmnopq%2B%2Frs%3D&version=2.0.4.2"));
        QCOMPARE(received.header("User-Agent"), QByteArray("KorvinaNet/2.0.4.2"));
    }

    void parameterEncodingAndSalt()
    {
        HttpRequest request(QStringLiteral("http://127.0.0.1:1/x"));
        request.addParam(QStringLiteral("b"), QStringLiteral("a b~-._\u00e4&=%"));
        request.addParam(QStringLiteral("a"), QStringLiteral("first"));
        request.addParam(QStringLiteral("a"), QStringLiteral("second"));
        request.addParam(QStringLiteral("B"), QString());
        // Keys in code-unit order ("B" before "a"), the last value of a key wins.
        QCOMPARE(request.encodedParameters(), QByteArray("B=&a=second&b=a%20b~-._%C3%A4%26%3D%25"));

        // Base64 of 20 random bytes.
        const QString salt = HttpRequest::makeSalt();
        QCOMPARE(salt.size(), 28);
        QCOMPARE(QByteArray::fromBase64(salt.toLatin1()).size(), 20);
        QVERIFY(HttpRequest::makeSalt() != salt);
    }

    void redirectChains_data()
    {
        QTest::addColumn<int>("redirects");
        QTest::addColumn<int>("delayMs"); // before each hop's answer
        QTest::addColumn<bool>("succeeds");
        QTest::newRow("none") << 0 << 0 << true;
        QTest::newRow("five redirects and the answer") << 5 << 0 << true;
        QTest::newRow("six redirects") << 6 << 0 << false;
        // Together longer than the time-out of 1 s, but each hop far within it, also on a busy
        // machine: the timer restarts with every hop.
        QTest::newRow("five slow hops") << 4 << 250 << true;
    }

    void redirectChains()
    {
        QFETCH(int, redirects);
        QFETCH(int, delayMs);
        QFETCH(bool, succeeds);
        // /hop<i> sends to /hop<i+1> until /end, every other time by a relative address. Every
        // address carries a query of its own, which the request's parameters replace.
        for (int i = 0; i < redirects; ++i) {
            const QString next = i + 1 < redirects ? QString("hop%1").arg(i + 1) : QString("end");
            const QString target = (i % 2 ? next : server->url('/' + next)) + "?lost=1";
            server->route(QString("/hop%1").arg(i),
                TestResponse::redirect(target.toUtf8(), i % 2 ? 301 : 302).withDelay(delayMs));
        }
        server->route("/end", TestResponse::ok("arrived").withDelay(delayMs));

        HttpRequest request(server->url(redirects ? "/hop0?own=1" : "/end?own=1"));
        request.addParam(QStringLiteral("k"), QStringLiteral("v"));
        QCOMPARE(request.sendGet(1, 1000), succeeds);
        QCOMPARE(request.response(), succeeds ? QByteArray("arrived") : QByteArray());
        const QList<TestRequest> received = server->requests();
        QCOMPARE(received.size(), qMin(redirects + 1, HttpRequest::redirectBudget));
        for (const TestRequest &hop : received) {
            QCOMPARE(hop.query, QByteArray("k=v"));
            QCOMPARE(hop.header("User-Agent"), QByteArray("KorvinaNet/2.0.4.2"));
        }
    }

    void faultyAnswersRetried_data()
    {
        QTest::addColumn<TestResponse>("answer");
        QTest::addColumn<bool>("faulty");
        const QByteArray limit(100000, 'x');
        const auto deflated = [](const QByteArray &body) {
            return TestResponse::ok(qCompress(body, 9).mid(4))
                .withHeader("Content-Encoding", "deflate");
        };
        QTest::newRow("at the limit") << TestResponse::ok(limit) << false;
        QTest::newRow("over the limit") << TestResponse::ok(limit + 'x') << true;
        // Counted after the transfer's own decoding: 20 MB of line feeds in 20 KB.
        QTest::newRow("inflating to the limit") << deflated(limit) << false;
        QTest::newRow("inflating past the limit") << deflated(QByteArray(20000000, '\n')) << true;
        QTest::newRow("404") << TestResponse::error(404, "error page") << true;
        QTest::newRow("dropped before an answer") << TestResponse::dropConnection() << true;
        QTest::newRow("dropped mid-body") << TestResponse::dropAfter(limit, 100) << true;
        QTest::newRow("silent") << TestResponse::silent() << true;
        QTest::newRow("stalled mid-body") << TestResponse::stallAfter(limit, 10) << true;
    }

    void faultyAnswersRetried()
    {
        QFETCH(TestResponse, answer);
        QFETCH(bool, faulty);
        server->route("/list", failingFirst(2, answer, TestResponse::ok("third time")));
        HttpRequest request(server->url("/list"));
        request.setBodyLimit(100000);
        QCOMPARE(
            get(request, 3, 1000), faulty ? QByteArray("third time") : QByteArray(100000, 'x'));
        // Also when the network layer itself resends a GET whose connection closed early.
        QCOMPARE(server->requestCount(), faulty ? 3 : 1);
    }

    void zeroAttemptsAndStopSendNothing()
    {
        server->route("/down", TestResponse::error(503));
        HttpRequest request(server->url("/down?own=1"));
        QVERIFY(!request.sendGet(0, 10000));
        QCOMPARE(server->requestCount(), 0);
        // A stop request ends the attempts after the running one.
        quitRequested = true;
        QVERIFY(!request.sendGet(3, 10000));
        QCOMPARE(server->requestCount(), 1);
        // Without parameters the address keeps its own query (a picture's "img.php?id=5").
        QCOMPARE(server->requests().first().target, QByteArray("/down?own=1"));
    }

    void httpsWithTrustedAndUntrustedCa()
    {
        TestHttpServer secure(&certificates);
        secure.route("/api_v2.php", TestResponse::ok("secure"));
        QVERIFY(secure.listen());
        QCOMPARE(get(HttpRequest::serviceCall(secure.baseUrl(), "ping")), QByteArray("secure"));

        TestCertificates stranger;
        QVERIFY2(stranger.generate(), qPrintable(stranger.errorText()));
        TestHttpServer impostor(&stranger);
        impostor.route("/api_v2.php", TestResponse::ok("impostor"));
        QVERIFY(impostor.listen());
        QCOMPARE(get(HttpRequest::serviceCall(impostor.baseUrl(), "ping")), QByteArray("failed:"));

        // Sent on from HTTPS to clear text, where anyone on the way could answer: refused.
        server->route("/sync.lst", TestResponse::ok(""));
        secure.route("/down", TestResponse::redirect(server->url("/sync.lst").toUtf8()));
        QCOMPARE(get(HttpRequest(secure.url("/down"))), QByteArray("failed:"));
        QCOMPARE(server->requestCount(), 0);
    }

    void hostChoice_data()
    {
        QTest::addColumn<TestResponse>("primaryAnswer");
        QTest::addColumn<TestResponse>("fallbackAnswer");
        QTest::addColumn<bool>("fallbackChosen");
        QTest::addColumn<int>("fallbackPings");
        // The body of the ping is not looked at.
        QTest::newRow("primary answers")
            << TestResponse::ok("anything") << TestResponse::ok("pong") << false << 0;
        // Once chosen, the fallback stays chosen even when it fails too.
        QTest::newRow("primary silent, fallback fails too")
            << TestResponse::silent() << TestResponse::error(500) << true << 3;
        QTest::newRow("primary refuses, fallback answers")
            << TestResponse::error(403) << TestResponse::ok("pong") << true << 1;
    }

    void hostChoice()
    {
        QFETCH(TestResponse, primaryAnswer);
        QFETCH(TestResponse, fallbackAnswer);
        QFETCH(bool, fallbackChosen);
        QFETCH(int, fallbackPings);
        TestHttpServer primary(&certificates), fallback(&certificates);
        primary.route("/api_v2.php", primaryAnswer);
        fallback.route("/api_v2.php", fallbackAnswer);
        QVERIFY(primary.listen() && fallback.listen());
        usingFallbackHost = !fallbackChosen;

        // Long enough for an answering host on a busy machine; the silent one costs it once.
        QCOMPARE(selectHost({ primary.baseUrl(), fallback.baseUrl(), QString() }, 2000),
            fallbackChosen ? fallback.baseUrl() : primary.baseUrl());
        QCOMPARE(bool(usingFallbackHost), fallbackChosen);
        QCOMPARE(primary.requestCount(), 1);
        QVERIFY(primary.requests().first().query.startsWith("data=ping&hash="));
        QCOMPARE(fallback.requestCount(), fallbackPings);
    }
};

QTEST_GUILESS_MAIN(TestHttpRequest)
#include "tst_httprequest.moc"
