#include "app/runstate.h"
#include "service/httprequest.h"
#include "service/serverquery.h"
#include "service/servicehosts.h"
#include "testcertificates.h"
#include "testhttpserver.h"

#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <memory>

class TestServiceHosts : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void buildHostsAreHttps();
    void primaryAnswers();
    void primaryFailing_data();
    void primaryFailing();
    void fallbackStaysForStatusQueries();

private:
    TestCertificates certificates;
};

void TestServiceHosts::initTestCase()
{
    QVERIFY2(certificates.generate(), qPrintable(certificates.errorText()));
    certificates.trustInDefaultConfiguration();
}

void TestServiceHosts::init()
{
    quitRequested = false;
    usingFallbackHost = false;
}

void TestServiceHosts::buildHostsAreHttps()
{
    const ServiceEndpoints endpoints = ServiceEndpoints::fromBuild();
    for (const QString &base :
        { endpoints.primaryService, endpoints.fallbackService, endpoints.site }) {
        QVERIFY(base.startsWith(QLatin1String("https://")));
        QVERIFY(!base.endsWith(QLatin1Char('/')));
    }
}

void TestServiceHosts::primaryAnswers()
{
    TestHttpServer primary(&certificates);
    TestHttpServer fallback(&certificates);
    // The body of the ping is not looked at.
    primary.route("/api_v2.php", TestResponse::ok("anything"));
    fallback.route("/api_v2.php", TestResponse::ok("[]"));
    QVERIFY(primary.listen());
    QVERIFY(fallback.listen());
    usingFallbackHost = true;

    const ServiceEndpoints endpoints { primary.baseUrl(), fallback.baseUrl(), QString() };
    QCOMPARE(selectHost(endpoints, 3000), primary.baseUrl());
    QVERIFY(!usingFallbackHost);
    QCOMPARE(fallback.requestCount(), 0);
    const QList<TestRequest> pings = primary.requests();
    QCOMPARE(pings.size(), 1);
    QVERIFY(pings.first().query.startsWith("data=ping&hash="));
    const QString salt = QUrl::fromPercentEncoding(
        pings.first().query.mid(pings.first().query.indexOf("&sig=") + 5));
    QCOMPARE(pings.first().query.mid(15, 32),
        HttpRequest::signData(QStringLiteral("ping"), salt).toLatin1());
}

void TestServiceHosts::primaryFailing_data()
{
    QTest::addColumn<TestResponse>("primaryAnswer");
    QTest::addColumn<TestResponse>("fallbackAnswer");
    QTest::addColumn<int>("fallbackPings");
    QTest::newRow("primary silent, fallback answers")
        << TestResponse::silent() << TestResponse::ok("pong") << 1;
    QTest::newRow("primary silent, fallback fails too")
        << TestResponse::silent() << TestResponse::error(500) << 3;
    QTest::newRow("primary refuses") << TestResponse::error(403) << TestResponse::error(503) << 3;
}

void TestServiceHosts::primaryFailing()
{
    QFETCH(TestResponse, primaryAnswer);
    QFETCH(TestResponse, fallbackAnswer);
    QFETCH(int, fallbackPings);

    TestHttpServer primary(&certificates);
    TestHttpServer fallback(&certificates);
    primary.route("/api_v2.php", primaryAnswer);
    fallback.route("/api_v2.php", fallbackAnswer);
    QVERIFY(primary.listen());
    QVERIFY(fallback.listen());

    const ServiceEndpoints endpoints { primary.baseUrl(), fallback.baseUrl(), QString() };
    QCOMPARE(selectHost(endpoints, 300), fallback.baseUrl());
    QVERIFY(usingFallbackHost);
    QCOMPARE(primary.requestCount(), 1);
    QCOMPARE(fallback.requestCount(), fallbackPings);
}

void TestServiceHosts::fallbackStaysForStatusQueries()
{
    TestHttpServer primary(&certificates);
    TestHttpServer fallback(&certificates);
    TestHttpServer site(&certificates);
    primary.route("/api_v2.php", TestResponse::silent());
    fallback.route("/api_v2.php", TestResponse::error(500));
    fallback.route("/serv.php", TestResponse::ok("8/80"));
    site.route("/serv1.txt", TestResponse::ok("1/10"));
    QVERIFY(primary.listen());
    QVERIFY(fallback.listen());
    QVERIFY(site.listen());

    ServerQuery::Options options;
    options.endpoints = { primary.baseUrl(), fallback.baseUrl(), site.baseUrl() };
    QCOMPARE(selectHost(options.endpoints, 300), fallback.baseUrl());

    // The first scheduled poll is skipped (up for under 25 s), the next one 20 ms later runs.
    auto ticks = std::make_shared<std::atomic<quint32>>(1000);
    options.tickCount = [ticks] { return ticks->load(); };
    options.pollIntervalMs = 20;
    auto *query = new ServerQuery(QStringLiteral("game.example"), 7777, 0, options);
    QSignalSpy spy(query, &ServerQuery::infoUpdated);
    ticks->store(100000);
    QVERIFY(spy.wait(5000));
    query->stop();
    delete query;
    QCOMPARE(spy.first().at(0).toInt(), 8);
    QCOMPARE(site.requestCount(), 0);
    QCOMPARE(fallback.requests("/serv.php").size(), 1);
}

QTEST_GUILESS_MAIN(TestServiceHosts)
#include "tst_servicehosts.moc"
