#include "app/runstate.h"
#include "service/loadthread.h"
#include "service/newssink.h"
#include "testcertificates.h"
#include "testfiles.h"
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

#include <algorithm>
#include <memory>

namespace {

// The service, the fallback host and a picture host on loopback over HTTPS; the service answers
// per operation word, by default with nothing to offer.
class Loopback
{
public:
    explicit Loopback(const TestCertificates *certificates)
        : service(certificates)
        , fallback(certificates)
        , pictures(certificates)
    {
        answer("ping", "pong");
        answer("updates", "{\"act\":\"none\"}");
        answer("servers", "[]");
        answer("news", "[]");
        serveOperations(service);
    }
    bool listen() { return service.listen() && fallback.listen() && pictures.listen(); }
    void answer(const QString &operation, const TestResponse &response)
    {
        QMutexLocker lock(&mutex);
        answers.insert(operation, response);
    }
    void answer(const QString &op, const QByteArray &body) { answer(op, TestResponse::ok(body)); }
    void serveOperations(TestHttpServer &server)
    {
        server.route("/api_v2.php", [this](const TestRequest &request) {
            const QString operation = QUrlQuery(QString::fromLatin1(request.query))
                                          .queryItemValue(QStringLiteral("data"));
            QMutexLocker lock(&mutex);
            return answers.value(operation, TestResponse::error(404));
        });
    }
    int operationCount(const TestHttpServer &server, const QByteArray &operation) const
    {
        const QList<TestRequest> all = server.requests();
        return int(std::count_if(all.begin(), all.end(),
            [&](const TestRequest &r) { return r.query.startsWith("data=" + operation + '&'); }));
    }

    TestHttpServer service, fallback, pictures;

private:
    QMutex mutex;
    QMap<QString, TestResponse> answers;
};

TestResponse png(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return TestResponse::ok(buffer.data(), "image/png");
}

// One loader on its own thread, as the main window runs it, and everything it reported; news
// entries are stored from the loader's thread, as the list does.
class LoaderRun : public QObject, public NewsSink
{
public:
    LoaderRun(const Loopback &net, const QString &launcherDir, int timeoutMs = 10000,
        int watchdogMs = 1000, int handOverWaitMs = 60000)
    {
        const ServiceEndpoints endpoints { net.service.baseUrl(), net.fallback.baseUrl(),
            QString() };
        loader = new LoadThread(
            this, { endpoints, launcherDir, timeoutMs, 0, watchdogMs, 0, handOverWaitMs });
        loader->moveToThread(&thread);
        connect(&thread, &QThread::started, loader, &LoadThread::start);
        connect(loader, &LoadThread::setState, this,
            [this](const QString &left, const QString &) { states.append(left); });
        connect(loader, &LoadThread::serverListAdd, this,
            [this](const QString &name, const QString &addr, ushort port) {
                servers.append(QStringLiteral("%1|%2|%3").arg(name, addr).arg(port));
            });
        connect(loader, &LoadThread::serverListLoaded, this, [this] { ++serverListsLoaded; });
        connect(loader, &LoadThread::newsListLoaded, this, [this] { ++newsListsLoaded; });
        connect(loader, &LoadThread::newsImageLoaded, this,
            [this](uint idx, const QImage &image) { images.insert(idx, image.size()); });
        connect(loader, &LoadThread::loadFinish, this, [this] { ++finished; });
        connect(loader, &LoadThread::updateFailed, this, [this] { ++updatesFailed; });
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
    uint addNews(const QString &title, const QString &text, const QString &date,
        const QString &link) override
    {
        QMutexLocker lock(&mutex);
        news.append(QStringList { title, text, date, link }.join(QLatin1Char('|')));
        return uint(news.size() - 1);
    }
    bool finishes()
    {
        return QTest::qWaitFor([this] { return finished == 1; }, 60000);
    }

    QThread thread;
    LoadThread *loader;
    QStringList states, servers, news;
    int serverListsLoaded = 0, newsListsLoaded = 0, finished = 0, updatesFailed = 0;
    QMap<uint, QSize> images;
    QMutex mutex;
};

const QStringList stageTexts = { "Проверка доступности серверов...", "Проверка обновлений...",
    "Загрузка списка серверов...", "Загрузка новостей...", "Загрузка изображений..." };

} // namespace

class TestLoadThread : public QObject
{
    Q_OBJECT

private:
    TestCertificates certificates;
    std::unique_ptr<QTemporaryDir> dir; // new for every case, so no cache is carried over
    std::unique_ptr<Loopback> net;
    QString file(const char *name) const { return dir->filePath(QLatin1String(name)); }

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
        dir = std::make_unique<QTemporaryDir>();
        net = std::make_unique<Loopback>(&certificates);
        QVERIFY(net->listen());
    }

    void stagesServersNewsAndImages()
    {
        net->answer("servers",
            "[{\"new_name\":\"Alpha\",\"addr\":\"a.example\",\"port\":7777},"
            "{\"new_name\":\"Beta\",\"addr\":\"b.example\",\"port\":70000},"
            "{\"new_name\":\"Gamma\",\"addr\":\"c.example\",\"port\":\"7778\"},"
            "42, {\"new_name\":\"Delta\"}]");
        net->pictures.route("/same.png", png(8, 5));
        net->pictures.route("/other.png", png(3, 2));
        net->pictures.route("/broken.png", TestResponse::ok("this is no picture", "image/png"));
        net->answer("news",
            QStringLiteral("[{\"caption\":\"One\",\"text\":\"First\",\"date\":\"01.02.2024\","
                           "\"link\":\"https://site/1\",\"image\":\"%1\"},"
                           "{\"caption\":\"Two\",\"image\":\"%1\"}, \"not an object\","
                           "{\"caption\":\"Four\",\"image\":\"%1\"},"
                           "{\"caption\":\"Five\",\"image\":\"%2\"},"
                           "{\"caption\":\"Six\",\"image\":\"%3\"},"
                           "{\"caption\":\"Seven\",\"image\":\"%3\"}]")
                .arg(net->pictures.url("/same.png"), net->pictures.url("/other.png"),
                    net->pictures.url("/broken.png"))
                .toUtf8());

        LoaderRun run(*net, dir->path());
        QVERIFY(run.finishes());
        QCOMPARE(run.states, stageTexts);
        QCOMPARE(run.servers,
            QStringList({ "Alpha|a.example|7777", "Beta|b.example|4464", "Gamma|c.example|7778",
                "||0", "Delta||0" }));
        QCOMPARE(qMakePair(run.serverListsLoaded, run.newsListsLoaded), qMakePair(1, 1));
        QCOMPARE(run.news,
            QStringList({ "One|First|01.02.2024|https://site/1", "Two|||", "|||", "Four|||",
                "Five|||", "Six|||", "Seven|||" }));

        // The same address three times: fetched once, then read from the cache twice. A picture
        // that does not decode is cached all the same, and never fetched again.
        QCOMPARE(net->pictures.requestCount(), 3);
        QCOMPARE(run.images,
            (QMap<uint, QSize> {
                { 0, QSize(8, 5) }, { 1, QSize(8, 5) }, { 3, QSize(8, 5) }, { 4, QSize(3, 2) } }));
        QCOMPARE(QDir(file("cache")).entryList(QDir::Files).size(), 3);

        for (const char *operation : { "ping", "updates", "servers", "news" })
            QCOMPARE(net->operationCount(net->service, operation), 1);
        QCOMPARE(net->fallback.requestCount(), 0);
    }

    void serverListCacheAndFallbacks()
    {
        const auto listed = [&](const TestResponse &answer) {
            net->answer("servers", answer);
            LoaderRun run(*net, dir->path());
            return run.finishes() && run.serverListsLoaded == 1 && run.states == stageTexts
                ? run.servers
                : QStringList { "no complete run" };
        };
        const QStringList builtIn = listed(TestResponse::error(500));
        QCOMPARE(builtIn.size(), 2);

        const QStringList served = { "Zeta|z.example|1", "Eta|e.example|2" };
        QCOMPARE(listed(TestResponse::ok("[{\"new_name\":\"Zeta\",\"addr\":\"z.example\",\"port\""
                                         ":1},{\"new_name\":\"Eta\",\"addr\":\"e.example\","
                                         "\"port\":2}]")),
            served);
        // What is no server list is not cached: the good cache answers for it.
        QCOMPARE(listed(TestResponse::ok("<html>Technical works</html>", "text/html")), served);
        QCOMPARE(listed(TestResponse::ok("{\"error\":\"maintenance\"}")), served);

        QByteArray bytes = TestFiles::readFile(file("korvina_servers.bin"));
        bytes[bytes.size() - 1] = char(bytes.back() ^ 0x01);
        QVERIFY(TestFiles::writeFile(file("korvina_servers.bin"), bytes));
        QCOMPARE(listed(TestResponse::dropConnection()), builtIn);

        // An empty list is a list: cached, and given again when the service fails.
        QCOMPARE(listed(TestResponse::ok("[]")), QStringList());
        QCOMPARE(listed(TestResponse::dropConnection()), QStringList());
    }

    void builtInServersLeaveTheWebPortOut()
    {
        // The game starter refuses an address with a port in it, so the player could never join.
        QStringList servers;
        for (const LoadThread::ServerEntry &server : LoadThread::builtInServers("127.0.0.1:18443"))
            servers << server.addr + ':' + QString::number(server.port);
        QCOMPARE(servers, QStringList({ "127.0.0.1:7771", "127.0.0.1:7772" }));
    }

    void newsAnswers_data()
    {
        QTest::addColumn<TestResponse>("answer");
        QTest::addColumn<int>("listsLoaded");
        QTest::newRow("maintenance page") << TestResponse::ok("<html>") << 1;
        QTest::newRow("request fails") << TestResponse::error(503) << 0;
    }

    void newsAnswers()
    {
        QFETCH(TestResponse, answer);
        QFETCH(int, listsLoaded);
        net->answer("news", answer);
        LoaderRun run(*net, dir->path());
        QVERIFY(run.finishes());
        QCOMPARE(run.newsListsLoaded, listsLoaded);
        QVERIFY(run.news.isEmpty() && run.images.isEmpty());
    }

    void deadPrimaryMeansFallbackForEverything()
    {
        // How the host is chosen is the request tests' matter; here every call must follow it.
        net->service.route("/api_v2.php", TestResponse::silent());
        net->serveOperations(net->fallback);
        net->answer("servers", "[{\"new_name\":\"F\",\"addr\":\"f.example\",\"port\":9}]");
        // The silent primary costs one time-out; the fallback must still answer within one.
        LoaderRun run(*net, dir->path(), 2000);
        QVERIFY(run.finishes());
        QCOMPARE(run.loader->baseUrl, net->fallback.baseUrl());
        for (const char *operation : { "updates", "servers", "news" })
            QCOMPARE(net->operationCount(net->fallback, operation), 1);
        QCOMPARE(run.servers, QStringList { "F|f.example|9" });
    }

    void updateHandOver_data()
    {
        QTest::addColumn<bool>("served"); // else over clear text, rightly refused every time
        QTest::addColumn<bool>("closedByInstaller"); // the installer ends this launcher in time
        QTest::newRow("cannot be had") << false << false;
        QTest::newRow("the installer closes the launcher") << true << true;
        QTest::newRow("the installer leaves the launcher running") << true << false;
    }

    void updateHandOver()
    {
        QFETCH(bool, served);
        QFETCH(bool, closedByInstaller);
        net->pictures.route("/setup.exe", TestResponse::ok("#!/bin/sh\ntouch installer-ran\n"));
        const QString url = served ? net->pictures.url("/setup.exe")
                                   : QStringLiteral("http://127.0.0.1:1/setup.exe");
        net->answer("updates",
            "{\"act\":\"Update\",\"latest_version\":\"2.0.5.0\",\"download_url\":\"" + url.toUtf8()
                + "\"}");
        // The hand-over waits as long as the row needs: for good, or not at all.
        LoaderRun run(*net, dir->path(), 10000, served ? 1000 : 1, closedByInstaller ? 3600000 : 0);
        if (closedByInstaller) {
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(file("installer-ran")), 30000);
            // What the installer's closing of the launcher sets.
            quitRequested = true;
            QVERIFY(run.thread.wait(30000));
            QCoreApplication::processEvents();
            QCOMPARE(run.states.last(), QStringLiteral("Установка обновления..."));
            QCOMPARE(qMakePair(run.finished, run.updatesFailed), qMakePair(0, 0));
            return;
        }
        // Not closed in time, or nothing to start: the player goes on with this launcher.
        QVERIFY(run.finishes());
        QCOMPARE(run.states.mid(0, 5), stageTexts);
        QCOMPARE(qMakePair(run.serverListsLoaded, run.updatesFailed), qMakePair(1, 1));
        QCOMPARE(QFile::exists(file("update_installer.exe")), served);
        QTRY_COMPARE(QFile::exists(file("installer-ran")), served);
    }
};

QTEST_GUILESS_MAIN(TestLoadThread)
#include "tst_loadthread.moc"
