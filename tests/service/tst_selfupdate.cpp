#include "app/runstate.h"
#include "releasesigner.h"
#include "service/selfupdate.h"
#include "testcertificates.h"
#include "testfiles.h"
#include "testhttpserver.h"

#include <QAtomicInt>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QNetworkReply>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>

using TestFiles::readFile;

namespace {

// A tiny installer: a shell script that records where and with how many arguments it ran.
// The padding makes the download span several reads and progress reports.
QByteArray stubInstaller(int padding = 300 * 1024)
{
    return "#!/bin/sh\necho \"ran in $PWD with $# arguments\" > installer-ran.txt\nexit 0\n#"
        + QByteArray(padding, 'x') + '\n';
}

QByteArray updateAnswer(
    const QString &url, const QByteArray &act = "update", const QByteArray &version = "2.1.0.0")
{
    return "{\"act\":\"" + act + "\",\"latest_version\":\"" + version + "\",\"download_url\":\""
        + url.toUtf8() + "\"}";
}

QString errorText(int code)
{
    return QStringLiteral("Загрузка обновления (v2.1.0.0): произошла ошибка (%1)...").arg(code);
}

// One SelfUpdate on its own thread in a temporary launcher directory, with everything it
// reported. Its watchdog never fires by itself: the test gives every tick, so the stall and retry
// rules do not depend on how busy the machine is.
class UpdateRun : public QObject
{
public:
    explicit UpdateRun(const QByteArray &releaseKey = QByteArray())
    {
        update = new SelfUpdate({ dir.path(), 10000, 3600 * 1000, 0, releaseKey });
        update->moveToThread(&thread);
        connect(
            update, &SelfUpdate::setState, this, [this](const QString &left, const QString &right) {
                lefts << left;
                rights << right;
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
    // Answers the update check on host with downloadUrl (by default its "/setup.exe"), then
    // checks and downloads on the update's thread.
    void start(TestHttpServer &host, const QString &downloadUrl = QString(),
        const QByteArray &version = "2.1.0.0")
    {
        host.route("/api_v2.php",
            TestResponse::ok(updateAnswer(
                downloadUrl.isEmpty() ? host.url("/setup.exe") : downloadUrl, "update", version)));
        const QString baseUrl = host.baseUrl();
        QMetaObject::invokeMethod(update, [this, baseUrl] {
            update->checkUpdates(baseUrl);
            result = update->updateRequired && update->downloadAndInstall() ? 1 : 0;
        });
    }
    void tick(int count = 1)
    {
        for (int i = 0; i < count; ++i)
            QMetaObject::invokeMethod(
                update, [this] { update->networkUpdate(); }, Qt::BlockingQueuedConnection);
    }
    int errorTexts() const { return lefts.filter(QStringLiteral("произошла ошибка")).size(); }
    QString file(const char *name) const { return dir.filePath(QLatin1String(name)); }

    QTemporaryDir dir;
    QThread thread;
    SelfUpdate *update;
    QAtomicInt result { -1 };
    QStringList lefts, rights;
    QList<QPair<quint64, quint64>> progress;
};

} // namespace

class TestSelfUpdate : public QObject
{
    Q_OBJECT

private:
    TestCertificates certificates;
    // A fresh HTTPS loopback host for every test.
    std::unique_ptr<TestHttpServer> host;

private slots:
    void initTestCase()
    {
        QVERIFY2(certificates.generate(), qPrintable(certificates.errorText()));
        certificates.trustInDefaultConfiguration();
    }

    void init()
    {
        quitRequested = false;
        host = std::make_unique<TestHttpServer>(&certificates);
        QVERIFY(host->listen());
    }

    void checkUpdates_data()
    {
        QTest::addColumn<TestResponse>("answer");
        QTest::addColumn<bool>("due");
        const QString url = QStringLiteral("https://files.example/setup.exe");
        QTest::newRow("UPDATE in capitals")
            << TestResponse::ok(updateAnswer(url, "UPDATE")) << true;
        QTest::newRow("other act") << TestResponse::ok(updateAnswer(url, "none")) << false;
        QTest::newRow("not JSON") << TestResponse::ok("update") << false;
        QTest::newRow("service fails") << TestResponse::error(500) << false;
    }

    void checkUpdates()
    {
        QFETCH(TestResponse, answer);
        QFETCH(bool, due);
        host->route("/api_v2.php", answer);
        SelfUpdate update({ QDir::tempPath(), 10000, 1000, 0 });
        update.checkUpdates(host->baseUrl());
        QCOMPARE(update.updateRequired, due);
        QCOMPARE(update.latestVersion, due ? QStringLiteral("2.1.0.0") : QString());
        QCOMPARE(update.downloadUrl,
            due ? QStringLiteral("https://files.example/setup.exe") : QString());
        const QByteArray query = host->requests().first().query;
        QVERIFY(query.startsWith("data=updates&hash="));
        QVERIFY(query.endsWith("&version=2.0.4.2"));
    }

    void failureThenSuccess_data()
    {
        QTest::addColumn<TestResponse>("first");
        QTest::addColumn<int>("ticksToFail");
        QTest::addColumn<int>("errorCode");
        const QByteArray installer = stubInstaller();
        QTest::newRow("404") << TestResponse::error(404, "gone") << 0
                             << int(QNetworkReply::ContentNotFoundError);
        // Must never count as complete: the launcher would start a cut installer.
        QTest::newRow("connection dropped mid-body") << TestResponse::dropAfter(
            installer, 1000) << 0 << int(QNetworkReply::RemoteHostClosedError);
        // Headers only, then silence: no data ever resets the stall count.
        QTest::newRow("stalled") << TestResponse::stallAfter(installer, 0)
                                 << SelfUpdate::stallLimitTicks
                                 << int(QNetworkReply::OperationCanceledError);
    }

    void failureThenSuccess()
    {
        QFETCH(TestResponse, first);
        QFETCH(int, ticksToFail);
        QFETCH(int, errorCode);
        // The retry goes to a mirror; the redirect's own body must not end up before the installer.
        TestResponse redirect = TestResponse::redirect(host->url("/mirror/setup.exe").toUtf8());
        redirect.body = QByteArray(4096, 'R');
        host->route("/setup.exe", failingFirst(1, first, redirect));
        const QByteArray installer = stubInstaller();
        host->route("/mirror/setup.exe", TestResponse::ok(installer));
        UpdateRun run;
        run.start(*host);
        QTRY_COMPARE_WITH_TIMEOUT(host->requestCount("/setup.exe"), 1, 30000);
        if (ticksToFail) {
            run.tick(ticksToFail - 1);
            QCoreApplication::processEvents();
            QCOMPARE(run.errorTexts(), 0);
            run.tick();
        }
        QTRY_COMPARE_WITH_TIMEOUT(run.errorTexts(), 1, 30000);
        QCOMPARE(run.lefts.last(), errorText(errorCode));
        QVERIFY(run.progress.contains(qMakePair(quint64(0), quint64(100))));
        QVERIFY(!QFile::exists(run.file("update_installer.exe")));

        // The next attempt waits three watchdog seconds.
        run.tick(SelfUpdate::retryWaitTicks - 1);
        QCOMPARE(host->requestCount("/setup.exe"), 1);
        run.tick();
        QTRY_COMPARE_WITH_TIMEOUT(run.result.loadAcquire(), 1, 30000);
        QCOMPARE(host->requestCount("/setup.exe"), 2);
        QCOMPARE(host->requestCount("/mirror/setup.exe"), 1);
        QCOMPARE(readFile(run.file("update_installer.exe")), installer);
        QTRY_VERIFY(QFile::exists(run.file("installer-ran.txt")));
    }

    void refusedDownloads_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("errorCode");
        QTest::newRow("download_url over HTTP")
            << "http" << int(QNetworkReply::ProtocolUnknownError);
        QTest::newRow("redirect to HTTP")
            << "/to-http" << int(QNetworkReply::InsecureRedirectError);
        QTest::newRow("eleven redirects") << "/loop" << int(QNetworkReply::TooManyRedirectsError);
    }

    void refusedDownloads()
    {
        QFETCH(QString, kind);
        QFETCH(int, errorCode);
        // Refused before any connection, as the error codes show; nothing listens there anyway.
        const QString insecure = QStringLiteral("http://127.0.0.1:1/setup.exe");
        host->route("/loop", TestResponse::redirect(host->url("/loop").toUtf8()));
        host->route("/to-http", TestResponse::redirect(insecure.toUtf8()));
        UpdateRun run;
        run.start(*host, kind == QLatin1String("http") ? insecure : host->url(kind));
        for (int attempt = 1; attempt <= SelfUpdate::maxAttempts; ++attempt) {
            QTRY_COMPARE_WITH_TIMEOUT(run.errorTexts(), attempt, 30000);
            QCOMPARE(run.lefts.last(), errorText(errorCode));
            QCOMPARE(run.result.loadAcquire(), -1);
            run.tick(SelfUpdate::retryWaitTicks);
        }
        QTRY_COMPARE(run.result.loadAcquire(), 0);
        QCOMPARE(run.errorTexts(), SelfUpdate::maxAttempts);
        if (kind == QLatin1String("/loop"))
            QCOMPARE(host->requestCount("/loop"),
                SelfUpdate::maxAttempts * (SelfUpdate::maxRedirects + 1));
        QVERIFY(!QFile::exists(run.file("update_installer.exe"))
            && !QFile::exists(run.file("installer-ran.txt")));
    }

    void signedInstallerStarts_data()
    {
        QTest::addColumn<QString>("signature"); // what is served at download_url + ".sig"
        QTest::addColumn<QByteArray>("announced"); // the version the service announces
        QTest::addColumn<QByteArray>("signedAs"); // the version the signature binds
        QTest::newRow("signed by the release key") << "release" << QByteArray("2.1.0.0")
                                                   << QByteArray("2.1.0.0");
        QTest::newRow("no signature") << "none" << QByteArray("2.1.0.0") << QByteArray("2.1.0.0");
        QTest::newRow("signed by another key")
            << "other" << QByteArray("2.1.0.0") << QByteArray("2.1.0.0");
        QTest::newRow("signature of other bytes")
            << "tampered" << QByteArray("2.1.0.0") << QByteArray("2.1.0.0");
        // An old installer, signed once, announced as new.
        QTest::newRow("signed as another version")
            << "release" << QByteArray("2.1.0.0") << QByteArray("2.0.1.0");
        QTest::newRow("an older launcher, signed as such")
            << "release" << QByteArray("2.0.1.0") << QByteArray("2.0.1.0");
    }

    void signedInstallerStarts()
    {
        QFETCH(QString, signature);
        QFETCH(QByteArray, announced);
        QFETCH(QByteArray, signedAs);
        const bool starts = signature == "release" && signedAs == announced
            && announced == "2.1.0.0";
        QTemporaryDir keys;
        ReleaseSigner release, other;
        QByteArray publicHex, unused;
        QString error;
        QVERIFY(ReleaseSigner::generateKey(keys.filePath("release.key"), &publicHex, &error)
            && ReleaseSigner::generateKey(keys.filePath("other.key"), &unused, &error)
            && release.load(keys.filePath("release.key"), &error)
            && other.load(keys.filePath("other.key"), &error));

        // In several reads, each reported.
        const QByteArray installer = stubInstaller(1536 * 1024 - 100);
        host->route("/setup.exe", TestResponse::ok(installer).inChunks(256 * 1024, 5));
        const QByteArray signedBytes = signature == "tampered" ? installer + "x" : installer;
        const QByteArray message = ReleaseSignature::installerMessage(QString::fromLatin1(signedAs),
            QCryptographicHash::hash(signedBytes, QCryptographicHash::Sha256));
        if (signature != "none")
            host->route("/setup.exe.sig",
                TestResponse::ok((signature == "other" ? &other : &release)->sign(message)));
        UpdateRun run(ReleaseSignature::keyFromHex(publicHex));
        run.start(*host, QString(), announced);
        QTRY_COMPARE_WITH_TIMEOUT(run.result.loadAcquire(), starts ? 1 : 0, 30000);
        // What the key did not sign is neither run nor left lying about.
        QCOMPARE(QFile::exists(run.file("update_installer.exe")), starts);
        QTRY_COMPARE(QFile::exists(run.file("installer-ran.txt")), starts);
        if (!starts)
            return;
        QCOMPARE(readFile(run.file("update_installer.exe")), installer);
        QCOMPARE(readFile(run.file("installer-ran.txt")),
            "ran in " + QDir(run.dir.path()).canonicalPath().toUtf8() + " with 0 arguments\n");
        // Everything reported before the result is queued here by now.
        QCoreApplication::processEvents();
        QCOMPARE(run.lefts.first(), QStringLiteral("Загрузка обновления..."));
        QCOMPARE(run.lefts.mid(run.lefts.size() - 2) + run.rights.mid(run.rights.size() - 2),
            QStringList({ "Загрузка обновления (v2.1.0.0)...", "Установка обновления...",
                "1.50/1.50 МБ", QString() }));
        QCOMPARE(run.progress.last(), qMakePair(quint64(100), quint64(100)));
        QCOMPARE(run.errorTexts(), 0);
    }

    void installerFileNotWritable()
    {
        host->route("/mirror/setup.exe", TestResponse::ok(stubInstaller()));
        UpdateRun run;
        // While the first hop is answered, the installer's name becomes a directory: the
        // attempt fails, the next one cannot open the file and the update ends.
        const QString path = run.file("update_installer.exe");
        const QByteArray target = host->url("/mirror/setup.exe").toUtf8();
        host->route("/setup.exe", [path, target](const TestRequest &) {
            QFile::remove(path);
            QDir().mkdir(path);
            return TestResponse::redirect(target);
        });
        run.start(*host);
        QTRY_COMPARE_WITH_TIMEOUT(run.errorTexts(), 1, 30000);
        QCOMPARE(run.lefts.last(), errorText(SelfUpdate::fileErrorCode));
        run.tick(SelfUpdate::retryWaitTicks);
        QTRY_COMPARE(run.result.loadAcquire(), 0);
        // The second attempt, unable to open the file, neither fetched nor reported anything.
        QCOMPARE(host->requestCount("/setup.exe"), 1);
        QCOMPARE(host->requestCount("/mirror/setup.exe"), 0);
        QCOMPARE(run.errorTexts(), 1);
    }
};

QTEST_GUILESS_MAIN(TestSelfUpdate)
#include "tst_selfupdate.moc"
