#include "app/runstate.h"
#include "service/httprequest.h"
#include "testcertificates.h"
#include "testhttpserver.h"

#include <QAtomicInt>
#include <QTest>

class TestHttpRequest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void signedCallQuery();
    void parameterEncoding();
    void ownQueryReplaced();
    void redirectChains_data();
    void redirectChains();
    void relativeRedirectTakenAsItStands();
    void silentServerTimesOut();
    void timeoutAppliesPerHop();
    void errorStatusesRetried_data();
    void errorStatusesRetried();
    void brokenAnswersFail_data();
    void brokenAnswersFail();
    void zeroAttemptsSendNothing();
    void httpsWithTrustedAndUntrustedCa();
    void saltShape();

private:
    TestCertificates certificates;
};

void TestHttpRequest::initTestCase()
{
    QVERIFY2(certificates.generate(), qPrintable(certificates.errorText()));
    certificates.trustInDefaultConfiguration();
}

void TestHttpRequest::init()
{
    quitRequested = false;
}

void TestHttpRequest::signedCallQuery()
{
    TestHttpServer server;
    server.route("/api_v2.php", TestResponse::ok("pong"));
    QVERIFY(server.listen());

    const QString salt = QStringLiteral("Ab+/cD=EfGh+/ij==klmnopq+/rs=");
    HttpRequest request
        = HttpRequest::serviceCall(server.baseUrl(), QStringLiteral("updates"), salt);
    request.addParam(QStringLiteral("version"), QStringLiteral("2.0.4.2"));
    QVERIFY(request.sendGet(1, 3000));
    QCOMPARE(request.response(), QByteArray("pong"));

    QCOMPARE(server.requestCount(), 1);
    const TestRequest received = server.requests().first();
    QCOMPARE(received.method, QByteArray("GET"));
    QCOMPARE(received.path, QByteArray("/api_v2.php"));
    // MD5 of "updates" + salt + key, computed with md5sum.
    QCOMPARE(received.query,
        QByteArray("data=updates&hash=73aaf9dd5095edd64bc32081a151db14"
                   "&sig=Ab%2B%2FcD%3DEfGh%2B%2Fij%3D%3Dklmnopq%2B%2Frs%3D&version=2.0.4.2"));
    QCOMPARE(received.header("User-Agent"), QByteArray("KorvinaNet/2.0.4.2"));

    QCOMPARE(HttpRequest::signData(QStringLiteral("ping"), salt),
        QStringLiteral("c9646fd51c755afc947df35ace5c6c39"));
}

void TestHttpRequest::parameterEncoding()
{
    HttpRequest request(QStringLiteral("http://127.0.0.1:1/x"));
    QCOMPARE(request.encodedParameters(), QByteArray());
    request.addParam(QStringLiteral("b"), QStringLiteral("a b~-._\u00e4&=%"));
    request.addParam(QStringLiteral("a"), QStringLiteral("first"));
    request.addParam(QStringLiteral("a"), QStringLiteral("second"));
    request.addParam(QStringLiteral("B"), QString());
    // Keys in code-unit order ("B" before "a"), the last value of a key wins.
    QCOMPARE(request.encodedParameters(), QByteArray("B=&a=second&b=a%20b~-._%C3%A4%26%3D%25"));
}

void TestHttpRequest::ownQueryReplaced()
{
    TestHttpServer server;
    server.route("/x", TestResponse::ok("x"));
    QVERIFY(server.listen());

    HttpRequest withParameters(server.url(QStringLiteral("/x?own=1&id=9")));
    withParameters.addParam(QStringLiteral("id"), QStringLiteral("3"));
    QVERIFY(withParameters.sendGet(1, 3000));
    HttpRequest withoutParameters(server.url(QStringLiteral("/x?own=1")));
    QVERIFY(withoutParameters.sendGet(1, 3000));

    const QList<TestRequest> received = server.requests();
    QCOMPARE(received.size(), 2);
    QCOMPARE(received.at(0).target, QByteArray("/x?id=3"));
    QCOMPARE(received.at(1).target, QByteArray("/x"));
}

void TestHttpRequest::redirectChains_data()
{
    QTest::addColumn<int>("redirects");
    QTest::addColumn<bool>("succeeds");
    QTest::newRow("none") << 0 << true;
    QTest::newRow("five redirects and the answer") << 5 << true;
    QTest::newRow("six redirects") << 6 << false;
}

void TestHttpRequest::redirectChains()
{
    QFETCH(int, redirects);
    QFETCH(bool, succeeds);

    TestHttpServer server;
    QVERIFY(server.listen());
    // /hop<i> sends to /hop<i+1>, with a query of its own that must not survive, until /end.
    for (int i = 0; i < redirects; ++i) {
        const QString next
            = i + 1 < redirects ? QStringLiteral("/hop%1").arg(i + 1) : QStringLiteral("/end");
        server.route(QStringLiteral("/hop%1").arg(i),
            TestResponse::redirect(
                server.url(next + QStringLiteral("?lost=1")).toUtf8(), i % 2 ? 301 : 302));
    }
    server.route("/end", TestResponse::ok("arrived"));

    HttpRequest request(
        server.url(redirects > 0 ? QStringLiteral("/hop0") : QStringLiteral("/end")));
    request.addParam(QStringLiteral("k"), QStringLiteral("v"));
    QCOMPARE(request.sendGet(1, 3000), succeeds);
    QCOMPARE(request.response(), succeeds ? QByteArray("arrived") : QByteArray());

    const QList<TestRequest> received = server.requests();
    QCOMPARE(received.size(), qMin(redirects + 1, HttpRequest::redirectBudget));
    for (const TestRequest &hop : received) {
        QCOMPARE(hop.query, QByteArray("k=v"));
        QCOMPARE(hop.header("User-Agent"), QByteArray("KorvinaNet/2.0.4.2"));
    }
}

void TestHttpRequest::relativeRedirectTakenAsItStands()
{
    TestHttpServer server;
    server.route("/start", TestResponse::redirect("/end"));
    server.route("/end", TestResponse::ok("arrived"));
    QVERIFY(server.listen());

    // The target is not resolved against the address it came from: "/end" is no address.
    HttpRequest request(server.url(QStringLiteral("/start")));
    QVERIFY(!request.sendGet(2, 3000));
    QCOMPARE(server.requestCount("/start"), 2);
    QCOMPARE(server.requestCount("/end"), 0);
}

void TestHttpRequest::silentServerTimesOut()
{
    TestHttpServer server;
    server.route("/silent", TestResponse::silent());
    server.route("/stall", TestResponse::stallAfter(QByteArray(1000, 'x'), 10));
    QVERIFY(server.listen());

    HttpRequest silent(server.url(QStringLiteral("/silent")));
    QVERIFY(!silent.sendGet(2, 200));
    QCOMPARE(server.requestCount("/silent"), 2);
    HttpRequest stalled(server.url(QStringLiteral("/stall")));
    QVERIFY(!stalled.sendGet(1, 200));
    QVERIFY(stalled.response().isEmpty());
}

void TestHttpRequest::timeoutAppliesPerHop()
{
    TestHttpServer server;
    QVERIFY(server.listen());
    // Four slow hops take longer together than one time-out, but each hop is well within it.
    for (int i = 0; i < 3; ++i) {
        server.route(QStringLiteral("/slow%1").arg(i),
            TestResponse::redirect(server.url(QStringLiteral("/slow%1").arg(i + 1)).toUtf8())
                .withDelay(150));
    }
    server.route("/slow3", TestResponse::ok("late").withDelay(150));

    HttpRequest request(server.url(QStringLiteral("/slow0")));
    QVERIFY(request.sendGet(1, 450));
    QCOMPARE(request.response(), QByteArray("late"));
}

void TestHttpRequest::errorStatusesRetried_data()
{
    QTest::addColumn<int>("status");
    QTest::newRow("404") << 404;
    QTest::newRow("500") << 500;
}

void TestHttpRequest::errorStatusesRetried()
{
    QFETCH(int, status);

    TestHttpServer server;
    server.route("/always", TestResponse::error(status, "error page"));
    QAtomicInt calls;
    server.route("/third", [&calls, status](const TestRequest &) {
        return calls.fetchAndAddOrdered(1) < 2 ? TestResponse::error(status, "error page")
                                               : TestResponse::ok("third time");
    });
    QVERIFY(server.listen());

    HttpRequest always(server.url(QStringLiteral("/always")));
    QVERIFY(!always.sendGet(3, 3000));
    QVERIFY(always.response().isEmpty());
    QCOMPARE(server.requestCount("/always"), 3);

    HttpRequest third(server.url(QStringLiteral("/third")));
    QVERIFY(third.sendGet(3, 3000));
    QCOMPARE(third.response(), QByteArray("third time"));
    QCOMPARE(server.requestCount("/third"), 3);
}

void TestHttpRequest::brokenAnswersFail_data()
{
    QTest::addColumn<TestResponse>("answer");
    QTest::newRow("connection dropped before an answer") << TestResponse::dropConnection();
    QTest::newRow("connection dropped mid-body")
        << TestResponse::dropAfter(QByteArray(5000, 'x'), 100);
}

void TestHttpRequest::brokenAnswersFail()
{
    QFETCH(TestResponse, answer);

    TestHttpServer server;
    server.route("/broken", answer);
    QVERIFY(server.listen());
    HttpRequest request(server.url(QStringLiteral("/broken")));
    QVERIFY(!request.sendGet(2, 3000));
    // The network layer itself resends a GET once when a connection closes before any answer.
    QVERIFY(server.requestCount("/broken") >= 2);
    QVERIFY(request.response().isEmpty());
}

void TestHttpRequest::zeroAttemptsSendNothing()
{
    TestHttpServer server;
    server.route("/x", TestResponse::ok("x"));
    QVERIFY(server.listen());
    HttpRequest request(server.url(QStringLiteral("/x")));
    QVERIFY(!request.sendGet(0, 3000));
    QCOMPARE(server.requestCount(), 0);

    // A stop request ends the attempts after the running one.
    server.route("/down", TestResponse::error(503));
    quitRequested = true;
    HttpRequest stopping(server.url(QStringLiteral("/down")));
    QVERIFY(!stopping.sendGet(3, 3000));
    QCOMPARE(server.requestCount("/down"), 1);
}

void TestHttpRequest::httpsWithTrustedAndUntrustedCa()
{
    TestHttpServer server(&certificates);
    server.route("/api_v2.php", TestResponse::ok("secure"));
    QVERIFY(server.listen());
    HttpRequest request = HttpRequest::serviceCall(server.baseUrl(), QStringLiteral("ping"));
    QVERIFY(request.sendGet(1, 5000));
    QCOMPARE(request.response(), QByteArray("secure"));
    QVERIFY(server.requests().first().encrypted);

    TestCertificates stranger;
    QVERIFY2(stranger.generate(), qPrintable(stranger.errorText()));
    TestHttpServer impostor(&stranger);
    impostor.route("/api_v2.php", TestResponse::ok("impostor"));
    QVERIFY(impostor.listen());
    HttpRequest refused = HttpRequest::serviceCall(impostor.baseUrl(), QStringLiteral("ping"));
    QVERIFY(!refused.sendGet(1, 5000));
    QVERIFY(refused.response().isEmpty());
}

void TestHttpRequest::saltShape()
{
    const QString salt = HttpRequest::makeSalt();
    QCOMPARE(salt.size(), 28);
    QVERIFY(salt.endsWith(QLatin1Char('=')));
    QCOMPARE(QByteArray::fromBase64(salt.toLatin1()).size(), 20);
    QVERIFY(HttpRequest::makeSalt() != salt);
}

QTEST_GUILESS_MAIN(TestHttpRequest)
#include "tst_httprequest.moc"
