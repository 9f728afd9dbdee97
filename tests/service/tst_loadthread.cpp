#include "app/runstate.h"
#include "service/loadthread.h"
#include "service/newssink.h"
#include "testcertificates.h"
#include "testhttpserver.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QUrlQuery>

#include <atomic>

namespace {

// Stores the entries as the news list does, from the loader's thread.
class RecordingNews : public NewsSink
{
public:
    struct Entry
    {
        QString title, text, date, link;
    };
    uint addNews(const QString &title, const QString &text, const QString &date,
        const QString &link) override
    {
        QMutexLocker lock(&mutex);
        entries.append({ title, text, date, link });
        return uint(entries.size() - 1);
    }
    QList<Entry> all() const
    {
        QMutexLocker lock(&mutex);
        return entries;
    }

private:
    mutable QMutex mutex;
    QList<Entry> entries;
};

// The project's service on loopback: one answer per operation word, "ping" answered by default.
class FakeService
{
public:
    explicit FakeService(TestHttpServer &server)
    {
        answer(QStringLiteral("ping"), TestResponse::ok("pong"));
        answer(QStringLiteral("updates"), TestResponse::ok("{\"act\":\"none\"}"));
        server.route("/api_v2.php", [this](const TestRequest &request) {
            const QString operation = QUrlQuery(QString::fromLatin1(request.query))
                                          .queryItemValue(QStringLiteral("data"));
            QMutexLocker lock(&mutex);
            return answers.value(operation, TestResponse::error(404));
        });
    }
    void answer(const QString &operation, const TestResponse &response)
    {
        QMutexLocker lock(&mutex);
        answers.insert(operation, response);
    }

private:
    QMutex mutex;
    QMap<QString, TestResponse> answers;
};

// The service, the fallback host and a picture host on loopback, all over HTTPS.
struct Loopback
{
    explicit Loopback(const TestCertificates *certificates)
        : service(certificates)
        , fallback(certificates)
        , pictures(certificates)
        , api(service)
    {
    }
    bool listen() { return service.listen() && fallback.listen() && pictures.listen(); }

    TestHttpServer service;
    TestHttpServer fallback;
    TestHttpServer pictures;
    FakeService api;
};

int operationCount(const TestHttpServer &server, const QByteArray &operation)
{
    int count = 0;
    for (const TestRequest &request : server.requests("/api_v2.php"))
        count += request.query.startsWith("data=" + operation + '&') ? 1 : 0;
    return count;
}

QByteArray png(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return buffer.data();
}

struct Server
{
    QString name, addr;
    int port;
    bool operator==(const Server &other) const
    {
        return name == other.name && addr == other.addr && port == other.port;
    }
};

// One loader on its own thread, as the main window runs it, and everything it reported.
class LoaderRun : public QObject
{
public:
    LoaderRun(const LoadThread::Options &options, NewsSink *news)
    {
        loader = new LoadThread(news, options);
        loader->moveToThread(&thread);
        connect(&thread, &QThread::started, loader, &LoadThread::start);
        connect(&thread, &QThread::finished, this, [this] { threadEnded = true; });
        connect(loader, &LoadThread::setState, this,
            [this](const QString &left, const QString &) { states.append(left); });
        connect(loader, &LoadThread::serverListAdd, this,
            [this](const QString &name, const QString &addr, ushort port) {
                servers.append({ name, addr, port });
            });
        connect(loader, &LoadThread::serverListLoaded, this, [this] { ++serverListsLoaded; });
        connect(loader, &LoadThread::newsListLoaded, this, [this] { ++newsListsLoaded; });
        connect(loader, &LoadThread::newsImageLoaded, this,
            [this](uint idx, const QImage &image) { images.insert(idx, image); });
        connect(loader, &LoadThread::loadFinish, this, [this] { ++finished; });
        thread.start();
    }
    ~LoaderRun() override
    {
        quitRequested = true;
        thread.quit();
        thread.wait();
        delete loader;
        quitRequested = false;
    }

    QThread thread;
    LoadThread *loader;
    QStringList states;
    QList<Server> servers;
    int serverListsLoaded = 0;
    int newsListsLoaded = 0;
    QMap<uint, QImage> images;
    int finished = 0;
    bool threadEnded = false;
};

const QStringList stageTexts = {
    QStringLiteral("Проверка доступности серверов..."),
    QStringLiteral("Проверка обновлений..."),
    QStringLiteral("Загрузка списка серверов..."),
    QStringLiteral("Загрузка новостей..."),
    QStringLiteral("Загрузка изображений..."),
};

} // namespace

class TestLoadThread : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void stagesServersNewsAndImages();
    void serverListFallbacks_data();
    void serverListFallbacks();
    void emptyListCachedAndStaysEmpty();
    void builtInServersLeaveTheWebPortOut_data();
    void builtInServersLeaveTheWebPortOut();
    void newsAnswers_data();
    void newsAnswers();
    void undecodablePictureNeverFetchedAgain();
    void closingDuringImages();
    void deadPrimaryMeansFallbackForEverything();
    void updateInstalledInsteadOfFinishing();

private:
    LoadThread::Options options(
        const TestHttpServer &primary, const TestHttpServer &fallback) const;

    TestCertificates certificates;
    QTemporaryDir launcherDir;
};

void TestLoadThread::initTestCase()
{
    QVERIFY2(certificates.generate(), qPrintable(certificates.errorText()));
    certificates.trustInDefaultConfiguration();
}

void TestLoadThread::init()
{
    quitRequested = false;
    usingFallbackHost = false;
    QVERIFY(launcherDir.isValid());
    QFile::remove(launcherDir.filePath(QStringLiteral("korvina_servers.bin")));
    QDir(launcherDir.filePath(QStringLiteral("cache"))).removeRecursively();
}

LoadThread::Options TestLoadThread::options(
    const TestHttpServer &primary, const TestHttpServer &fallback) const
{
    LoadThread::Options options;
    options.endpoints = { primary.baseUrl(), fallback.baseUrl(), primary.baseUrl() };
    options.launcherDir = launcherDir.path();
    options.requestTimeoutMs = 2000;
    options.imageDelayMs = 0;
    options.watchdogIntervalMs = 20;
    options.installDelayMs = 0;
    return options;
}

void TestLoadThread::stagesServersNewsAndImages()
{
    Loopback net(&certificates);
    net.api.answer(QStringLiteral("servers"),
        TestResponse::ok("[{\"new_name\":\"Alpha\",\"addr\":\"a.example\",\"port\":7777},"
                         "{\"new_name\":\"Beta\",\"addr\":\"b.example\",\"port\":70000},"
                         "{\"new_name\":\"Gamma\",\"addr\":\"c.example\",\"port\":\"7778\"},"
                         "42, {\"new_name\":\"Delta\"}]"));
    net.pictures.route("/same.png", TestResponse::ok(png(8, 5), "image/png"));
    net.pictures.route("/other.png", TestResponse::ok(png(3, 2), "image/png"));
    QVERIFY(net.listen());
    const QByteArray same = net.pictures.url(QStringLiteral("/same.png")).toUtf8();
    net.api.answer(QStringLiteral("news"),
        TestResponse::ok("[{\"caption\":\"One\",\"text\":\"First\",\"date\":\"01.02.2024\","
                         "\"link\":\"https://site/1\",\"image\":\""
            + same
            + "\"},"
              "{\"caption\":\"Two\",\"image\":\""
            + same
            + "\"},"
              "\"not an object\","
              "{\"caption\":\"Four\",\"image\":\""
            + same
            + "\"},"
              "{\"caption\":\"Five\",\"image\":\""
            + net.pictures.url(QStringLiteral("/other.png")).toUtf8() + "\"}]"));

    RecordingNews news;
    LoaderRun run(options(net.service, net.fallback), &news);
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, 20000);

    QCOMPARE(run.states, stageTexts);
    QCOMPARE(run.servers,
        (QList<Server> { { "Alpha", "a.example", 7777 }, { "Beta", "b.example", 4464 },
            { "Gamma", "c.example", 7778 }, { "", "", 0 }, { "Delta", "", 0 } }));
    QCOMPARE(run.serverListsLoaded, 1);
    QCOMPARE(run.newsListsLoaded, 1);
    const QList<RecordingNews::Entry> entries = news.all();
    QCOMPARE(entries.size(), 5);
    QCOMPARE(entries.at(0).title, QStringLiteral("One"));
    QCOMPARE(entries.at(0).text, QStringLiteral("First"));
    QCOMPARE(entries.at(0).date, QStringLiteral("01.02.2024"));
    QCOMPARE(entries.at(0).link, QStringLiteral("https://site/1"));
    QCOMPARE(entries.at(2).title, QString());

    // The same address three times: fetched once, then read from the cache twice.
    QCOMPARE(net.pictures.requestCount("/same.png"), 1);
    QCOMPARE(net.pictures.requestCount("/other.png"), 1);
    QCOMPARE(run.images.keys(), (QList<uint> { 0, 1, 3, 4 }));
    QCOMPARE(run.images.value(3).size(), QSize(8, 5));
    QCOMPARE(run.images.value(4).size(), QSize(3, 2));
    QCOMPARE(QDir(launcherDir.filePath(QStringLiteral("cache"))).entryList(QDir::Files).size(), 2);

    // Each service call signed afresh.
    QCOMPARE(operationCount(net.service, "ping"), 1);
    QCOMPARE(operationCount(net.service, "updates"), 1);
    QCOMPARE(operationCount(net.service, "servers"), 1);
    QCOMPARE(operationCount(net.service, "news"), 1);
    QCOMPARE(net.fallback.requestCount(), 0);
    QVERIFY(QFile::exists(launcherDir.filePath(QStringLiteral("korvina_servers.bin"))));
}

void TestLoadThread::serverListFallbacks_data()
{
    QTest::addColumn<QString>("cache");
    QTest::newRow("no cache: built-in list") << "none";
    QTest::newRow("cache from an earlier run") << "good";
    QTest::newRow("altered cache: built-in list") << "altered";
}

void TestLoadThread::serverListFallbacks()
{
    QFETCH(QString, cache);

    Loopback net(&certificates);
    QVERIFY(net.listen());
    const QString cachePath = launcherDir.filePath(QStringLiteral("korvina_servers.bin"));
    const QList<Server> cached = { { "Zeta", "z.example", 1 }, { "Eta", "e.example", 2 } };
    if (cache != QLatin1String("none")) {
        net.api.answer(QStringLiteral("servers"),
            TestResponse::ok("[{\"new_name\":\"Zeta\",\"addr\":\"z.example\",\"port\":1},"
                             "{\"new_name\":\"Eta\",\"addr\":\"e.example\",\"port\":2}]"));
        RecordingNews news;
        LoaderRun earlier(options(net.service, net.fallback), &news);
        QTRY_COMPARE_WITH_TIMEOUT(earlier.finished, 1, 20000);
        QCOMPARE(earlier.servers, cached);
    }
    if (cache == QLatin1String("altered")) {
        QFile file(cachePath);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QByteArray bytes = file.readAll();
        bytes[bytes.size() - 1] = char(bytes.at(bytes.size() - 1) ^ 0x01);
        QVERIFY(file.seek(0));
        QCOMPARE(file.write(bytes), qint64(bytes.size()));
    }

    net.api.answer(QStringLiteral("servers"), TestResponse::error(500));
    RecordingNews news;
    LoaderRun run(options(net.service, net.fallback), &news);
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, 20000);
    QCOMPARE(run.serverListsLoaded, 1);
    if (cache == QLatin1String("good")) {
        QCOMPARE(run.servers, cached);
    } else {
        QCOMPARE(run.servers.size(), 2);
        QCOMPARE(run.servers.at(0).port, 7771);
        QCOMPARE(run.servers.at(1).port, 7772);
        QCOMPARE(run.servers.at(0).addr, run.servers.at(1).addr);
    }
    // The stages after the list still run.
    QCOMPARE(run.states, stageTexts);
}

void TestLoadThread::builtInServersLeaveTheWebPortOut_data()
{
    QTest::addColumn<QString>("siteHost");
    QTest::addColumn<QString>("address");
    QTest::newRow("name") << QStringLiteral("korvina-rp.example")
                          << QStringLiteral("korvina-rp.example");
    QTest::newRow("name and port")
        << QStringLiteral("korvina-rp.example:8443") << QStringLiteral("korvina-rp.example");
    QTest::newRow("loopback and port")
        << QStringLiteral("127.0.0.1:18443") << QStringLiteral("127.0.0.1");
}

void TestLoadThread::builtInServersLeaveTheWebPortOut()
{
    QFETCH(QString, siteHost);
    QFETCH(QString, address);
    // The game starter refuses an address with a port in it, so the player could never join.
    const QList<LoadThread::ServerEntry> servers = LoadThread::builtInServers(siteHost);
    QCOMPARE(servers.size(), 2);
    QCOMPARE(servers.at(0).addr, address);
    QCOMPARE(servers.at(1).addr, address);
    QCOMPARE(servers.at(0).port, ushort(7771));
    QCOMPARE(servers.at(1).port, ushort(7772));
}

void TestLoadThread::emptyListCachedAndStaysEmpty()
{
    Loopback net(&certificates);
    net.api.answer(QStringLiteral("servers"), TestResponse::ok("[]"));
    QVERIFY(net.listen());
    {
        LoaderRun first(options(net.service, net.fallback), nullptr);
        QTRY_COMPARE_WITH_TIMEOUT(first.finished, 1, 20000);
        QCOMPARE(first.servers.size(), 0);
        QCOMPARE(first.serverListsLoaded, 1);
    }
    net.api.answer(QStringLiteral("servers"), TestResponse::dropConnection());
    LoaderRun second(options(net.service, net.fallback), nullptr);
    QTRY_COMPARE_WITH_TIMEOUT(second.finished, 1, 20000);
    QCOMPARE(second.servers.size(), 0);
    QCOMPARE(second.serverListsLoaded, 1);
}

void TestLoadThread::newsAnswers_data()
{
    QTest::addColumn<TestResponse>("answer");
    QTest::addColumn<int>("listsLoaded");
    QTest::newRow("not an array") << TestResponse::ok("{\"caption\":\"x\"}") << 1;
    QTest::newRow("not JSON") << TestResponse::ok("<html>") << 1;
    QTest::newRow("request fails") << TestResponse::error(503) << 0;
}

void TestLoadThread::newsAnswers()
{
    QFETCH(TestResponse, answer);
    QFETCH(int, listsLoaded);

    Loopback net(&certificates);
    net.api.answer(QStringLiteral("news"), answer);
    net.api.answer(QStringLiteral("servers"), TestResponse::ok("[]"));
    QVERIFY(net.listen());
    RecordingNews news;
    LoaderRun run(options(net.service, net.fallback), &news);
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, 20000);
    QCOMPARE(run.newsListsLoaded, listsLoaded);
    QCOMPARE(news.all().size(), 0);
    QVERIFY(run.images.isEmpty());
}

void TestLoadThread::undecodablePictureNeverFetchedAgain()
{
    Loopback net(&certificates);
    net.pictures.route("/broken.png", TestResponse::ok("this is no picture", "image/png"));
    QVERIFY(net.listen());
    net.api.answer(QStringLiteral("servers"), TestResponse::ok("[]"));
    net.api.answer(QStringLiteral("news"),
        TestResponse::ok("[{\"caption\":\"x\",\"image\":\""
            + net.pictures.url(QStringLiteral("/broken.png")).toUtf8() + "\"}]"));
    for (int runNumber = 0; runNumber < 2; ++runNumber) {
        RecordingNews news;
        LoaderRun run(options(net.service, net.fallback), &news);
        QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, 20000);
        QCOMPARE(run.newsListsLoaded, 1);
        QVERIFY(run.images.isEmpty());
    }
    QCOMPARE(net.pictures.requestCount("/broken.png"), 1);
}

void TestLoadThread::closingDuringImages()
{
    Loopback net(&certificates);
    // The launcher is closed while the first picture is being served.
    net.pictures.setFallback([](const TestRequest &) {
        quitRequested = true;
        return TestResponse::ok(png(2, 2), "image/png");
    });
    QVERIFY(net.listen());
    net.api.answer(QStringLiteral("servers"), TestResponse::ok("[]"));
    QByteArray items;
    for (int i = 0; i < 5; ++i) {
        items += (i ? "," : "") + QByteArray("{\"caption\":\"n\",\"image\":\"")
            + net.pictures.url(QStringLiteral("/%1.png").arg(i)).toUtf8() + "\"}";
    }
    net.api.answer(QStringLiteral("news"), TestResponse::ok("[" + items + "]"));

    RecordingNews news;
    LoaderRun run(options(net.service, net.fallback), &news);
    // The thread's loop is asked to quit by the loader itself.
    QTRY_VERIFY_WITH_TIMEOUT(run.threadEnded, 20000);
    QCOMPARE(net.pictures.requestCount(), 1);
    QCOMPARE(run.finished, 0);
    QCOMPARE(run.newsListsLoaded, 1);
}

void TestLoadThread::deadPrimaryMeansFallbackForEverything()
{
    TestHttpServer primary(&certificates);
    TestHttpServer fallback(&certificates);
    primary.setFallback([](const TestRequest &) { return TestResponse::silent(); });
    FakeService api(fallback);
    api.answer(QStringLiteral("ping"), TestResponse::error(500));
    api.answer(QStringLiteral("servers"),
        TestResponse::ok("[{\"new_name\":\"F\",\"addr\":\"f.example\",\"port\":9}]"));
    api.answer(QStringLiteral("news"), TestResponse::ok("[]"));
    QVERIFY(primary.listen());
    QVERIFY(fallback.listen());

    LoadThread::Options settings = options(primary, fallback);
    settings.requestTimeoutMs = 300;
    RecordingNews news;
    LoaderRun run(settings, &news);
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, 20000);
    QVERIFY(usingFallbackHost);
    QCOMPARE(run.loader->baseUrl, fallback.baseUrl());
    QCOMPARE(primary.requestCount(), 1);
    QCOMPARE(operationCount(fallback, "ping"), 3);
    QCOMPARE(operationCount(fallback, "updates"), 1);
    QCOMPARE(operationCount(fallback, "news"), 1);
    QCOMPARE(run.servers, (QList<Server> { { "F", "f.example", 9 } }));
}

void TestLoadThread::updateInstalledInsteadOfFinishing()
{
    Loopback net(&certificates);
    const QByteArray installer = "#!/bin/sh\ntouch installer-ran.txt\n";
    net.service.route("/setup.exe", TestResponse::ok(installer));
    QVERIFY(net.listen());
    net.api.answer(QStringLiteral("updates"),
        TestResponse::ok("{\"act\":\"Update\",\"latest_version\":\"2.0.5.0\",\"download_url\":\""
            + net.service.url(QStringLiteral("/setup.exe")).toUtf8() + "\"}"));
    net.api.answer(QStringLiteral("servers"), TestResponse::ok("[]"));
    net.api.answer(QStringLiteral("news"), TestResponse::ok("[]"));

    RecordingNews news;
    LoaderRun run(options(net.service, net.fallback), &news);
    QTRY_VERIFY_WITH_TIMEOUT(
        QFile::exists(launcherDir.filePath(QStringLiteral("installer-ran.txt"))), 20000);
    QTRY_COMPARE(run.states.last(), QStringLiteral("Установка обновления..."));
    // Servers, news and pictures are still loaded first.
    QCOMPARE(run.states.mid(0, 5), stageTexts);
    QCOMPARE(run.serverListsLoaded, 1);
    QCOMPARE(run.finished, 0);
    QFile::remove(launcherDir.filePath(QStringLiteral("installer-ran.txt")));
    QFile::remove(launcherDir.filePath(QStringLiteral("update_installer.exe")));
}

QTEST_GUILESS_MAIN(TestLoadThread)
#include "tst_loadthread.moc"
