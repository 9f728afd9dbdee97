#include "app/runstate.h"
#include "service/selfupdate.h"
#include "testcertificates.h"
#include "testhttpserver.h"

#include <QAtomicInt>
#include <QDir>
#include <QFile>
#include <QNetworkReply>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>

namespace {

// A tiny installer: a shell script that records where and with how many arguments it ran.
// The padding makes the download span several reads and progress reports.
QByteArray stubInstaller(int padding = 300 * 1024)
{
    QByteArray script
        = "#!/bin/sh\necho \"ran in $PWD with $# arguments\" > installer-ran.txt\nexit 0\n";
    script += '#' + QByteArray(padding, 'x') + '\n';
    return script;
}

// Runs one SelfUpdate on a thread of its own, as the loader does, and keeps what it reported.
class UpdateRun : public QObject
{
public:
    UpdateRun(const QString &launcherDir, int watchdogIntervalMs)
    {
        SelfUpdate::Options options;
        options.launcherDir = launcherDir;
        options.watchdogIntervalMs = watchdogIntervalMs;
        options.installDelayMs = 0;
        update = new SelfUpdate(options);
        update->moveToThread(&thread);
        // Queued to this object on the test thread, so the lists are only touched here.
        connect(
            update, &SelfUpdate::setState, this, [this](const QString &left, const QString &right) {
                states.append({ left, right });
            });
        connect(update, &SelfUpdate::setProgress, this, [this](quint64 current, quint64 maximum) {
            progress.append({ current, maximum });
        });
        thread.start();
    }
    ~UpdateRun() override
    {
        quitRequested = true;
        thread.quit();
        thread.wait();
        delete update;
        quitRequested = false;
    }

    void start(const QString &baseUrl)
    {
        QMetaObject::invokeMethod(update, [this, baseUrl] {
            update->checkUpdates(baseUrl);
            const bool installed = update->updateRequired && update->downloadAndInstall();
            result = installed ? 1 : 0;
        });
    }
    // One watchdog second, on the update's thread.
    void tick()
    {
        QMetaObject::invokeMethod(
            update, [this] { update->networkUpdate(); }, Qt::BlockingQueuedConnection);
    }
    bool sawLeft(const QString &text) const
    {
        for (const auto &state : states) {
            if (state.first == text)
                return true;
        }
        return false;
    }
    int errorTexts() const
    {
        int count = 0;
        for (const auto &state : states)
            count += state.first.contains(QStringLiteral("произошла ошибка")) ? 1 : 0;
        return count;
    }

    QThread thread;
    SelfUpdate *update;
    QAtomicInt result { -1 };
    QList<QPair<QString, QString>> states;
    QList<QPair<quint64, quint64>> progress;
};

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray updateAnswer(const QString &url, const QByteArray &act = "update")
{
    return "{\"act\":\"" + act + "\",\"latest_version\":\"2.1.0.0\",\"download_url\":\""
        + url.toUtf8() + "\"}";
}

} // namespace

class TestSelfUpdate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void checkUpdates_data();
    void checkUpdates();
    void progressText();
    void downloadStartsInstaller();
    void failureThenSuccess_data();
    void failureThenSuccess();
    void stalledDownloadAbortedAndRetried();
    void redirectTruncatesFile();
    void refusedDownloads_data();
    void refusedDownloads();
    void installerFileNotWritable();
    void reopenAfterRedirectFails();

private:
    TestCertificates certificates;
};

void TestSelfUpdate::initTestCase()
{
    QVERIFY2(certificates.generate(), qPrintable(certificates.errorText()));
    certificates.trustInDefaultConfiguration();
}

void TestSelfUpdate::init()
{
    quitRequested = false;
}

void TestSelfUpdate::checkUpdates_data()
{
    QTest::addColumn<TestResponse>("answer");
    QTest::addColumn<bool>("required");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("url");
    const QString url = QStringLiteral("https://files.example/setup.exe");
    QTest::newRow("update") << TestResponse::ok(updateAnswer(url)) << true << "2.1.0.0" << url;
    QTest::newRow("UPDATE in capitals")
        << TestResponse::ok(updateAnswer(url, "UPDATE")) << true << "2.1.0.0" << url;
    QTest::newRow("no download_url")
        << TestResponse::ok("{\"act\":\"update\",\"latest_version\":\"3\"}") << true << "3"
        << "";
    QTest::newRow("other act") << TestResponse::ok(updateAnswer(url, "none")) << false << ""
                               << "";
    QTest::newRow("act not a string")
        << TestResponse::ok("{\"act\":1,\"download_url\":\"x\"}") << false << ""
        << "";
    QTest::newRow("array") << TestResponse::ok("[{\"act\":\"update\"}]") << false << ""
                           << "";
    QTest::newRow("not JSON") << TestResponse::ok("update") << false << ""
                              << "";
    QTest::newRow("service fails") << TestResponse::error(500) << false << ""
                                   << "";
}

void TestSelfUpdate::checkUpdates()
{
    QFETCH(TestResponse, answer);
    QFETCH(bool, required);
    QFETCH(QString, version);
    QFETCH(QString, url);

    TestHttpServer service(&certificates);
    service.route("/api_v2.php", answer);
    QVERIFY(service.listen());
    QTemporaryDir dir;
    SelfUpdate update({ dir.path(), 3000, 1000, 0 });
    update.checkUpdates(service.baseUrl());
    QCOMPARE(update.updateRequired, required);
    QCOMPARE(update.latestVersion, version);
    QCOMPARE(update.downloadUrl, url);

    const TestRequest request = service.requests().first();
    QVERIFY(request.query.startsWith("data=updates&hash="));
    QVERIFY(request.query.endsWith("&version=2.0.4.2"));
}

void TestSelfUpdate::progressText()
{
    QCOMPARE(SelfUpdate::progressText(1572864, 10485760), QStringLiteral("1.50/10.00 МБ"));
    QCOMPARE(SelfUpdate::progressText(0, -1), QStringLiteral("0.00/0.00 МБ"));
}

void TestSelfUpdate::downloadStartsInstaller()
{
    TestHttpServer host(&certificates);
    const QByteArray installer = stubInstaller(1536 * 1024 - 100);
    host.route("/setup.exe", TestResponse::ok(installer).inChunks(256 * 1024, 5));
    QVERIFY(host.listen());
    host.route(
        "/api_v2.php", TestResponse::ok(updateAnswer(host.url(QStringLiteral("/setup.exe")))));

    QTemporaryDir dir;
    UpdateRun run(dir.path(), 1000);
    run.start(host.baseUrl());
    QTRY_COMPARE_WITH_TIMEOUT(run.result.loadAcquire(), 1, 10000);
    QCOMPARE(readFile(dir.filePath(QStringLiteral("update_installer.exe"))), installer);
    QTRY_VERIFY(QFile::exists(dir.filePath(QStringLiteral("installer-ran.txt"))));
    QCOMPARE(readFile(dir.filePath(QStringLiteral("installer-ran.txt"))),
        "ran in " + QDir(dir.path()).canonicalPath().toUtf8() + " with 0 arguments\n");

    QTRY_VERIFY(run.sawLeft(QStringLiteral("Установка обновления...")));
    QCOMPARE(run.states.first().first, QStringLiteral("Загрузка обновления..."));
    QCOMPARE(run.states.last(), qMakePair(QStringLiteral("Установка обновления..."), QString()));
    const auto lastProgressText = run.states.at(run.states.size() - 2);
    QCOMPARE(lastProgressText.first, QStringLiteral("Загрузка обновления (v2.1.0.0)..."));
    QCOMPARE(lastProgressText.second, QStringLiteral("1.50/1.50 МБ"));
    QCOMPARE(run.progress.last(), qMakePair(quint64(100), quint64(100)));
    QCOMPARE(run.errorTexts(), 0);
}

void TestSelfUpdate::failureThenSuccess_data()
{
    QTest::addColumn<bool>("dropped");
    QTest::addColumn<int>("errorCode");
    QTest::newRow("404") << false << int(QNetworkReply::ContentNotFoundError);
    // Must never count as complete: the launcher would start a cut installer.
    QTest::newRow("connection dropped mid-body")
        << true << int(QNetworkReply::RemoteHostClosedError);
}

void TestSelfUpdate::failureThenSuccess()
{
    QFETCH(bool, dropped);
    QFETCH(int, errorCode);

    TestHttpServer host(&certificates);
    const QByteArray installer = stubInstaller();
    QAtomicInt calls;
    host.route("/setup.exe", [&calls, installer, dropped](const TestRequest &) {
        if (calls.fetchAndAddOrdered(1) > 0)
            return TestResponse::ok(installer);
        return dropped ? TestResponse::dropAfter(installer, 1000)
                       : TestResponse::error(404, "gone");
    });
    QVERIFY(host.listen());
    host.route(
        "/api_v2.php", TestResponse::ok(updateAnswer(host.url(QStringLiteral("/setup.exe")))));

    QTemporaryDir dir;
    UpdateRun run(dir.path(), 20);
    run.start(host.baseUrl());
    QTRY_COMPARE_WITH_TIMEOUT(run.result.loadAcquire(), 1, 10000);
    QCOMPARE(host.requestCount("/setup.exe"), 2);
    QCOMPARE(readFile(dir.filePath(QStringLiteral("update_installer.exe"))), installer);
    QTRY_VERIFY(QFile::exists(dir.filePath(QStringLiteral("installer-ran.txt"))));
    QTRY_VERIFY(run.sawLeft(
        QStringLiteral("Загрузка обновления (v2.1.0.0): произошла ошибка (%1)...").arg(errorCode)));
    QVERIFY(run.progress.contains(qMakePair(quint64(0), quint64(100))));
}

void TestSelfUpdate::stalledDownloadAbortedAndRetried()
{
    TestHttpServer host(&certificates);
    const QByteArray installer = stubInstaller();
    QAtomicInt calls;
    host.route("/setup.exe", [&calls, installer](const TestRequest &) {
        return calls.fetchAndAddOrdered(1) == 0 ? TestResponse::stallAfter(installer, 0)
                                                : TestResponse::ok(installer);
    });
    QVERIFY(host.listen());
    host.route(
        "/api_v2.php", TestResponse::ok(updateAnswer(host.url(QStringLiteral("/setup.exe")))));

    QTemporaryDir dir;
    // The watchdog's timer never fires by itself here: the test gives every tick.
    UpdateRun run(dir.path(), 3600 * 1000);
    run.start(host.baseUrl());
    // Headers only, then silence: no data ever resets the stall count.
    QTRY_COMPARE(host.requestCount("/setup.exe"), 1);

    for (int tick = 1; tick < SelfUpdate::stallLimitTicks; ++tick)
        run.tick();
    QCoreApplication::processEvents();
    QCOMPARE(run.errorTexts(), 0);
    run.tick();
    QTRY_COMPARE(run.errorTexts(), 1);
    QCOMPARE(run.states.last().first,
        QStringLiteral("Загрузка обновления (v2.1.0.0): произошла ошибка (5)..."));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("update_installer.exe"))));

    run.tick();
    run.tick();
    QCOMPARE(host.requestCount("/setup.exe"), 1);
    run.tick();
    QTRY_COMPARE_WITH_TIMEOUT(run.result.loadAcquire(), 1, 10000);
    QCOMPARE(host.requestCount("/setup.exe"), 2);
    QCOMPARE(readFile(dir.filePath(QStringLiteral("update_installer.exe"))), installer);
}

void TestSelfUpdate::redirectTruncatesFile()
{
    TestHttpServer host(&certificates);
    const QByteArray installer = stubInstaller();
    QVERIFY(host.listen());
    // The redirect's own body must not stay in front of the installer.
    TestResponse redirect
        = TestResponse::redirect(host.url(QStringLiteral("/mirror/setup.exe")).toUtf8());
    redirect.body = QByteArray(4096, 'R');
    host.route("/setup.exe", redirect);
    host.route("/mirror/setup.exe", TestResponse::ok(installer));
    host.route(
        "/api_v2.php", TestResponse::ok(updateAnswer(host.url(QStringLiteral("/setup.exe")))));

    QTemporaryDir dir;
    UpdateRun run(dir.path(), 20);
    run.start(host.baseUrl());
    QTRY_COMPARE_WITH_TIMEOUT(run.result.loadAcquire(), 1, 10000);
    QCOMPARE(readFile(dir.filePath(QStringLiteral("update_installer.exe"))), installer);
    QCOMPARE(host.requestCount("/setup.exe"), 1);
    QCOMPARE(host.requestCount("/mirror/setup.exe"), 1);
}

void TestSelfUpdate::refusedDownloads_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("errorCode");
    QTest::newRow("download_url missing") << "missing" << int(QNetworkReply::ProtocolUnknownError);
    QTest::newRow("download_url over HTTP") << "http" << int(QNetworkReply::ProtocolUnknownError);
    QTest::newRow("redirect to HTTP")
        << "redirect to http" << int(QNetworkReply::InsecureRedirectError);
    QTest::newRow("eleven redirects")
        << "redirect loop" << int(QNetworkReply::TooManyRedirectsError);
}

void TestSelfUpdate::refusedDownloads()
{
    QFETCH(QString, kind);
    QFETCH(int, errorCode);

    TestHttpServer host(&certificates);
    TestHttpServer plain;
    plain.route("/setup.exe", TestResponse::ok(stubInstaller()));
    QVERIFY(host.listen());
    QVERIFY(plain.listen());
    host.route("/loop", TestResponse::redirect(host.url(QStringLiteral("/loop")).toUtf8()));
    host.route(
        "/to-http", TestResponse::redirect(plain.url(QStringLiteral("/setup.exe")).toUtf8()));
    QString url;
    if (kind == QLatin1String("http"))
        url = plain.url(QStringLiteral("/setup.exe"));
    else if (kind == QLatin1String("redirect to http"))
        url = host.url(QStringLiteral("/to-http"));
    else if (kind == QLatin1String("redirect loop"))
        url = host.url(QStringLiteral("/loop"));
    host.route("/api_v2.php",
        TestResponse::ok(kind == QLatin1String("missing")
                ? QByteArray("{\"act\":\"update\",\"latest_version\":\"2.1.0.0\"}")
                : updateAnswer(url)));

    QTemporaryDir dir;
    UpdateRun run(dir.path(), 20);
    run.start(host.baseUrl());
    // Attempts go on without limit, each ending in the error text.
    QTRY_VERIFY_WITH_TIMEOUT(run.errorTexts() >= 3, 10000);
    QVERIFY(run.sawLeft(
        QStringLiteral("Загрузка обновления (v2.1.0.0): произошла ошибка (%1)...").arg(errorCode)));
    QCOMPARE(plain.requestCount(), 0);
    QCOMPARE(run.result.loadAcquire(), -1);

    // Closing the launcher ends the retries and leaves no partial file.
    quitRequested = true;
    QTRY_COMPARE_WITH_TIMEOUT(run.result.loadAcquire(), 0, 10000);
    // Checked once the run has ended: an attempt in flight holds an open installer file and
    // may be partway through its redirect chain; each failed attempt followed the whole chain.
    if (kind == QLatin1String("redirect loop"))
        QVERIFY(host.requestCount("/loop") >= 3 * (SelfUpdate::maxRedirects + 1));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("update_installer.exe"))));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("installer-ran.txt"))));
}

void TestSelfUpdate::installerFileNotWritable()
{
    TestHttpServer host(&certificates);
    QVERIFY(host.listen());
    host.route("/setup.exe", TestResponse::ok(stubInstaller()));
    host.route(
        "/api_v2.php", TestResponse::ok(updateAnswer(host.url(QStringLiteral("/setup.exe")))));

    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("update_installer.exe")));
    UpdateRun run(dir.path(), 20);
    run.start(host.baseUrl());
    QTRY_COMPARE_WITH_TIMEOUT(run.result.loadAcquire(), 0, 10000);
    QCOMPARE(host.requestCount("/setup.exe"), 0);
    QTRY_COMPARE(run.states.size(), 1);
    QCOMPARE(run.states.first().first, QStringLiteral("Загрузка обновления..."));
}

void TestSelfUpdate::reopenAfterRedirectFails()
{
    TestHttpServer host(&certificates);
    QVERIFY(host.listen());
    QTemporaryDir dir;
    const QString installerPath = dir.filePath(QStringLiteral("update_installer.exe"));
    // While the first hop is answered, the installer's name becomes a directory.
    const QByteArray target = host.url(QStringLiteral("/mirror/setup.exe")).toUtf8();
    host.route("/setup.exe", [installerPath, target](const TestRequest &) {
        QFile::remove(installerPath);
        QDir().mkdir(installerPath);
        return TestResponse::redirect(target);
    });
    host.route("/mirror/setup.exe", TestResponse::ok(stubInstaller()));
    host.route(
        "/api_v2.php", TestResponse::ok(updateAnswer(host.url(QStringLiteral("/setup.exe")))));

    UpdateRun run(dir.path(), 20);
    run.start(host.baseUrl());
    // The attempt fails, the next one cannot open the file and the update ends.
    QTRY_COMPARE_WITH_TIMEOUT(run.result.loadAcquire(), 0, 10000);
    QTRY_VERIFY(
        run.sawLeft(QStringLiteral("Загрузка обновления (v2.1.0.0): произошла ошибка (%1)...")
                        .arg(SelfUpdate::fileErrorCode)));
    QCOMPARE(host.requestCount("/mirror/setup.exe"), 0);
    QVERIFY(QFileInfo(installerPath).isDir());
}

QTEST_GUILESS_MAIN(TestSelfUpdate)
#include "tst_selfupdate.moc"
