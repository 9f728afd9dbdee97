#include "app/runstate.h"
#include "service/serverquery.h"
#include "testhttpserver.h"

#include <QSemaphore>
#include <QTest>

#include <atomic>
#include <memory>

namespace {

// One query against a loopback site and fallback host. Its poll timer never fires by itself and
// its tick counter only moves when the test says so: every poll and refresh is the test's call,
// so the interval rules are checked without waiting on the clock.
class QueryRig
{
public:
    ~QueryRig()
    {
        if (query)
            query->stop();
        delete query;
    }
    // Starts the query's thread, whose first scheduled poll runs at once, at tick `at`.
    bool start(int index, quint32 at = 1000)
    {
        if (!site.listen() || !fallback.listen())
            return false;
        ticks->store(at);
        const ServiceEndpoints endpoints { "http://127.0.0.1:1", fallback.baseUrl(),
            site.baseUrl() };
        auto shared = ticks;
        query = new ServerQuery("game.example", 7777, index,
            { endpoints, [shared] { return shared->load(); }, 3600 * 1000, 30000 });
        QObject::connect(
            query, &ServerQuery::infoUpdated, &context, [this](int players, int total) {
                reports.append({ players, total });
            });
        sync();
        return true;
    }
    // Runs slot ("startHttpReq" is the scheduled poll, "refresh" the button) at tick `at` until
    // it has ended, answer and report included; the site's request count by then.
    int requestsAfter(const char *slot, quint32 at)
    {
        ticks->store(at);
        QMetaObject::invokeMethod(query, slot, Qt::BlockingQueuedConnection);
        QCoreApplication::processEvents();
        return site.requestCount();
    }
    // Returns once everything posted to the query before has been handled (possibly within a
    // poll's wait for its answer).
    void sync()
    {
        QMetaObject::invokeMethod(
            query, [] {}, Qt::BlockingQueuedConnection);
    }

    TestHttpServer site, fallback;
    std::shared_ptr<std::atomic<quint32>> ticks = std::make_shared<std::atomic<quint32>>(0);
    ServerQuery *query = nullptr;
    QObject context;
    QList<QPair<int, int>> reports;
};

} // namespace

class TestServerQuery : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        quitRequested = false;
        usingFallbackHost = false;
    }

    void parseStatus_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("players");
        QTest::addColumn<int>("total");
        QTest::newRow("players and capacity") << QByteArray("12/100") << 12 << 100;
        QTest::newRow("three parts") << QByteArray("12/100/7") << 0 << 0;
        QTest::newRow("empty player count") << QByteArray("/100") << 0 << 100;
        QTest::newRow("line break and white space") << QByteArray(" 7 /\t9 \r\n") << 7 << 9;
        QTest::newRow("cut to 16 bits") << QByteArray("70000/-1") << 4464 << 65535;
        QTest::newRow("zero byte ends the text") << QByteArray("12/100\0/5", 9) << 12 << 100;
    }

    void parseStatus()
    {
        QFETCH(QByteArray, answer);
        QFETCH(int, players);
        QFETCH(int, total);
        const ServerQuery::Status status = ServerQuery::parseStatus(answer);
        QCOMPARE(qMakePair(int(status.players), int(status.total)), qMakePair(players, total));
    }

    void pollsAndRefreshes()
    {
        // Up for less than 25 s: the first scheduled poll sends nothing.
        QueryRig young;
        QVERIFY(young.start(0));
        QCOMPARE(young.site.requestCount(), 0);

        QueryRig rig;
        // The first poll's answer is held back until the test has seen a refresh handled.
        auto held = std::make_shared<QSemaphore>();
        rig.site.route("/serv3.txt", [held](const TestRequest &) {
            held->tryAcquire(1, 30000);
            held->release();
            return TestResponse::ok("12/100\r\n", "text/plain");
        });
        rig.fallback.route("/serv.php", TestResponse::ok("2/20"));
        // The tick counter wraps 4096 ms after the first poll; the gaps are counted across it.
        const quint32 first = 0xFFFFF000u;
        QVERIFY(rig.start(2, first));
        QTRY_COMPARE(rig.site.requestCount(), 1);
        // Far enough from the first request for the 5 s rule; only the pending poll stops it.
        rig.ticks->store(first + 10000);
        QMetaObject::invokeMethod(rig.query, "refresh", Qt::QueuedConnection);
        rig.sync();
        held->release();
        QTRY_COMPARE(rig.reports, (QList<QPair<int, int>> { { 12, 100 } }));
        QCOMPARE(rig.site.requestCount(), 1);
        QCOMPARE(rig.site.requests().first().target, QByteArray("/serv3.txt?id=3"));

        // Once the first poll has ended, the same refresh goes out. A refresh needs 5 s since
        // the last request ...
        QCOMPARE(rig.requestsAfter("refresh", first + 10000), 2);
        QCOMPARE(rig.requestsAfter("refresh", first + 14999), 2);
        QCOMPARE(rig.requestsAfter("refresh", first + 15000), 3);
        // ... the scheduled poll more than 25 s, counted from the refresh too.
        QCOMPARE(rig.requestsAfter("startHttpReq", first + 40000), 3);
        QCOMPARE(rig.requestsAfter("startHttpReq", first + 40001), 4);
        QCOMPARE(rig.reports.size(), 4);

        // Three failed attempts report nothing.
        rig.site.route("/serv3.txt", TestResponse::error(500));
        QCOMPARE(rig.requestsAfter("startHttpReq", first + 70002), 7);
        QCOMPARE(rig.reports.size(), 4);

        // A host choice made after the first poll counts from the next one.
        usingFallbackHost = true;
        QCOMPARE(rig.requestsAfter("startHttpReq", first + 100003), 7);
        QCOMPARE(rig.reports.last(), qMakePair(2, 20));
        QCOMPARE(rig.fallback.requestCount(), 1);
        QCOMPARE(rig.fallback.requests().first().target, QByteArray("/serv.php?id=3"));
    }
};

QTEST_GUILESS_MAIN(TestServerQuery)
#include "tst_serverquery.moc"
