#include "app/runstate.h"
#include "service/serverquery.h"
#include "testhttpserver.h"

#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <memory>

namespace {

// A tick counter the test moves by hand.
struct FakeTicks
{
    std::shared_ptr<std::atomic<quint32>> now = std::make_shared<std::atomic<quint32>>(1000);
    std::function<quint32()> source() const
    {
        auto shared = now;
        return [shared] { return shared->load(); };
    }
    void set(quint32 value) { now->store(value); }
};

// Owns a query and ends its thread when the test leaves.
struct QueryHandle
{
    explicit QueryHandle(ServerQuery *query)
        : query(query)
        , spy(query, &ServerQuery::infoUpdated)
    {
    }
    ~QueryHandle()
    {
        query->stop();
        delete query;
    }
    void call(const char *slot) { QMetaObject::invokeMethod(query, slot, Qt::QueuedConnection); }
    // Returns once everything queued to the query before has been handled.
    void sync()
    {
        QMetaObject::invokeMethod(
            query, [] {}, Qt::BlockingQueuedConnection);
    }

    ServerQuery *query;
    QSignalSpy spy;
};

} // namespace

class TestServerQuery : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void answers_data();
    void answers();
    void failedRequestSendsNothing();
    void endpointFollowsHostChoice();
    void refreshGap_data();
    void refreshGap();
    void refreshDuringFirstPollSendsNothing();
    void scheduledPollAfterRefresh();

private:
    ServerQuery::Options options(const TestHttpServer &site, const TestHttpServer &fallback,
        const FakeTicks &ticks, int pollIntervalMs) const;
};

void TestServerQuery::init()
{
    quitRequested = false;
    usingFallbackHost = false;
}

ServerQuery::Options TestServerQuery::options(const TestHttpServer &site,
    const TestHttpServer &fallback, const FakeTicks &ticks, int pollIntervalMs) const
{
    ServerQuery::Options options;
    options.endpoints.primaryService = QStringLiteral("http://127.0.0.1:1");
    options.endpoints.fallbackService = fallback.baseUrl();
    options.endpoints.site = site.baseUrl();
    options.tickCount = ticks.source();
    options.pollIntervalMs = pollIntervalMs;
    return options;
}

void TestServerQuery::answers_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("players");
    QTest::addColumn<int>("total");
    QTest::newRow("players and capacity") << QByteArray("12/100") << 12 << 100;
    QTest::newRow("three parts") << QByteArray("12/100/7") << 0 << 0;
    QTest::newRow("no slash") << QByteArray("12") << 0 << 0;
    QTest::newRow("empty") << QByteArray() << 0 << 0;
    QTest::newRow("empty player count") << QByteArray("/100") << 0 << 100;
    QTest::newRow("not a number") << QByteArray("abc/100") << 0 << 100;
    QTest::newRow("line break") << QByteArray("12/100\r\n") << 12 << 100;
    QTest::newRow("white space") << QByteArray(" 7 /\t9 ") << 7 << 9;
    QTest::newRow("offline") << QByteArray("0/0") << 0 << 0;
    QTest::newRow("cut to 16 bits") << QByteArray("70000/-1") << 4464 << 65535;
    QTest::newRow("zero byte ends the text") << QByteArray("12/100\0/5", 9) << 12 << 100;
}

void TestServerQuery::answers()
{
    QFETCH(QByteArray, answer);
    QFETCH(int, players);
    QFETCH(int, total);

    TestHttpServer site;
    TestHttpServer fallback;
    site.route("/serv3.txt", TestResponse::ok(answer, "text/plain"));
    QVERIFY(site.listen());
    QVERIFY(fallback.listen());
    FakeTicks ticks;
    // Up for less than 25 s: the first scheduled poll is skipped; the next one, 20 ms later,
    // runs because the clock has moved on.
    QueryHandle handle(new ServerQuery(
        QStringLiteral("game.example"), 7777, 2, options(site, fallback, ticks, 20)));
    ticks.set(60000);
    QVERIFY(handle.spy.wait(5000));
    QCOMPARE(handle.spy.count(), 1);
    QCOMPARE(handle.spy.first().at(0).toInt(), players);
    QCOMPARE(handle.spy.first().at(1).toInt(), total);

    const QList<TestRequest> received = site.requests();
    QCOMPARE(received.size(), 1);
    QCOMPARE(received.first().target, QByteArray("/serv3.txt?id=3"));
    QCOMPARE(fallback.requestCount(), 0);
}

void TestServerQuery::failedRequestSendsNothing()
{
    TestHttpServer site;
    TestHttpServer fallback;
    site.route("/serv1.txt", TestResponse::error(500));
    QVERIFY(site.listen());
    QVERIFY(fallback.listen());
    FakeTicks ticks;
    QueryHandle handle(new ServerQuery(
        QStringLiteral("game.example"), 7777, 0, options(site, fallback, ticks, 20)));
    ticks.set(60000);
    QTRY_COMPARE(site.requestCount(), 3);

    // The next poll succeeds; the failed one must not have reported anything before it.
    site.route("/serv1.txt", TestResponse::ok("5/50"));
    ticks.set(120000);
    QVERIFY(handle.spy.wait(5000));
    QCOMPARE(site.requestCount(), 4);
    QCOMPARE(handle.spy.count(), 1);
    QCOMPARE(handle.spy.first().at(0).toInt(), 5);
}

void TestServerQuery::endpointFollowsHostChoice()
{
    TestHttpServer site;
    TestHttpServer fallback;
    site.route("/serv2.txt", TestResponse::ok("1/10"));
    fallback.route("/serv.php", TestResponse::ok("2/20"));
    QVERIFY(site.listen());
    QVERIFY(fallback.listen());
    FakeTicks ticks;
    QueryHandle handle(new ServerQuery(
        QStringLiteral("game.example"), 7777, 1, options(site, fallback, ticks, 20)));
    ticks.set(60000);
    QVERIFY(handle.spy.wait(5000));

    // A host choice made after the first poll counts from the next one.
    usingFallbackHost = true;
    ticks.set(120000);
    QVERIFY(handle.spy.wait(5000));
    QCOMPARE(handle.spy.count(), 2);
    QCOMPARE(handle.spy.at(1).at(1).toInt(), 20);
    QCOMPARE(site.requestCount(), 1);
    QCOMPARE(fallback.requests().size(), 1);
    QCOMPARE(fallback.requests().first().target, QByteArray("/serv.php?id=2"));
}

void TestServerQuery::refreshGap_data()
{
    QTest::addColumn<quint32>("first");
    QTest::newRow("plain") << quint32(30000);
    QTest::newRow("counter wraps between the presses") << quint32(0xFFFFF000u);
}

void TestServerQuery::refreshGap()
{
    QFETCH(quint32, first);

    TestHttpServer site;
    TestHttpServer fallback;
    site.route("/serv1.txt", TestResponse::ok("3/30"));
    QVERIFY(site.listen());
    QVERIFY(fallback.listen());
    FakeTicks ticks;
    // No scheduled poll after the first, skipped one.
    QueryHandle handle(new ServerQuery(
        QStringLiteral("game.example"), 7777, 0, options(site, fallback, ticks, 3600 * 1000)));
    handle.sync();

    ticks.set(first);
    handle.call("refresh");
    QVERIFY(handle.spy.wait(5000));
    ticks.set(first + 4999);
    handle.call("refresh");
    handle.sync();
    QCOMPARE(site.requestCount(), 1);
    ticks.set(first + 5000);
    handle.call("refresh");
    QVERIFY(handle.spy.wait(5000));
    QCOMPARE(site.requestCount(), 2);
    QCOMPARE(handle.spy.count(), 2);
}

void TestServerQuery::refreshDuringFirstPollSendsNothing()
{
    TestHttpServer site;
    TestHttpServer fallback;
    QVERIFY(site.listen());
    QVERIFY(fallback.listen());
    FakeTicks ticks;
    ticks.set(100000);
    // The first poll's answer is held back until the refresh below has been handled.
    site.route("/serv1.txt", TestResponse::ok("4/40").withDelay(300));
    QueryHandle handle(new ServerQuery(
        QStringLiteral("game.example"), 7777, 0, options(site, fallback, ticks, 3600 * 1000)));
    QTRY_COMPARE(site.requestCount(), 1);
    // Far enough from the first request for the 5 s rule; only the pending first poll stops it.
    ticks.set(110000);
    handle.call("refresh");
    QVERIFY(handle.spy.wait(5000));
    QCOMPARE(handle.spy.count(), 1);
    QCOMPARE(site.requestCount(), 1);

    // Once the first poll has ended, the same refresh goes out.
    handle.call("refresh");
    QVERIFY(handle.spy.wait(5000));
    QCOMPARE(site.requestCount(), 2);
}

void TestServerQuery::scheduledPollAfterRefresh()
{
    TestHttpServer site;
    TestHttpServer fallback;
    site.route("/serv1.txt", TestResponse::ok("6/60"));
    QVERIFY(site.listen());
    QVERIFY(fallback.listen());
    FakeTicks ticks;
    QueryHandle handle(new ServerQuery(
        QStringLiteral("game.example"), 7777, 0, options(site, fallback, ticks, 20)));
    handle.sync();
    ticks.set(20000);
    handle.call("refresh");
    QVERIFY(handle.spy.wait(5000));

    // Exactly 25 s after the refresh: the scheduled polls only re-arm.
    ticks.set(45000);
    QTest::qWait(200);
    QCOMPARE(site.requestCount(), 1);
    // One millisecond more: the next scheduled poll sends.
    ticks.set(45001);
    QVERIFY(handle.spy.wait(5000));
    QCOMPARE(site.requestCount(), 2);
}

QTEST_GUILESS_MAIN(TestServerQuery)
#include "tst_serverquery.moc"
