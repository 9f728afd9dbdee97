#include "app/runstate.h"
#include "files/filesystem.h"
#include "img/archiveeditor.h"
#include "publisher.h"
#include "releasesigner.h"
#include "releaseverify.h"
#include "service/releasesignature.h"
#include "sync/packedstream.h"
#include "syncfixture.h"
#include "testcertificates.h"
#include "testhttpserver.h"
#include "testnginx.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <memory>
#include <random>

using namespace SyncFixture;

// One half of a well-known MD5 collision pair; the other differs in six bytes (see
// bodySwappedForItsMd5Twin).
static const char md5Twin[] = "d131dd02c5e6eec4693d9a0698aff95c2fcab58712467eab4004583eb8fb7f89"
                              "55ad340609f4b30283e488832571415a085125e8f7cdc99fd91dbdf280373c5b"
                              "d8823e3156348f5bae6dacd436c919c6dd53e2b487da03fd02396306d248cda0"
                              "e99f33420f577ee8ce54b67080a80d1ec69821bcb6a8839396f9652b6ff72a70";

// The whole synchronisation against a loopback HTTPS file host serving what korvina-publish
// made of a reference directory: each run must leave the game directory equal to the
// reference, and the run after it must hash and fetch nothing.
class TestSyncEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(certificates.generate(), qPrintable(certificates.errorText()));
        certificates.trustInDefaultConfiguration();
        // Small audio parts, so that the many-parts path runs without 60 MiB files.
        options.audioPartSize = 5000;
        options.audioSinglePartLimit = 5000;
        releaseKey = work.filePath("release.key");
        otherKey = work.filePath("other.key");
        QByteArray publicHex, otherHex;
        QString error;
        QVERIFY2(ReleaseSigner::generateKey(releaseKey, &publicHex, &error), qPrintable(error));
        QVERIFY2(ReleaseSigner::generateKey(otherKey, &otherHex, &error), qPrintable(error));
        releasePublicKey = ReleaseSignature::keyFromHex(publicHex);
        otherPublicKey = ReleaseSignature::keyFromHex(otherHex);
    }

    void emptyDirectoryThenEveryKindOfChange()
    {
        setUp("changes");
        QVERIFY(writeFile(reference + "/gta_sa.exe", bytes(70000, 1)));
        QVERIFY(writeFile(reference + "/data/handling.cfg", bytes(3000, 2)));
        QVERIFY(writeFile(reference + "/data/empty.txt", QByteArray()));
        // An excluded name: a file.
        QVERIFY(writeFile(reference + "/data/cuts.img", bytes(5000, 3)));
        QVERIFY(writeFile(reference + "/audio/sfx/genrl", bytes(12345, 4))); // three audio parts
        QVERIFY(writeFile(reference + "/audio/config/banks.dat", bytes(100, 5)));
        QVERIFY(QDir().mkpath(reference + "/models/empty_dir"));
        QVERIFY(makeStaticArchive(reference + "/models/gta3.img",
            { { "infernus.dff", bytes(5000, 10) }, { "infernus.txd", bytes(9000, 11) },
                { "landstal.dff", bytes(100, 12) }, { "stays.col", bytes(2048, 13) } }));
        publishReference();
        syncAndCompare("first synchronisation"); // into a game directory not made yet

        // Changed, added and removed files; changed, added and removed elements; a new archive.
        QVERIFY(writeFile(reference + "/data/handling.cfg", bytes(3100, 20)));
        QVERIFY(writeFile(reference + "/data/new/added.txt", bytes(10, 21)));
        QVERIFY(QFile::remove(reference + "/gta_sa.exe"));
        QVERIFY(writeFile(reference + "/audio/sfx/genrl", bytes(16000, 22)));
        QVERIFY(QFile::remove(reference + "/models/gta3.img"));
        QVERIFY(makeStaticArchive(reference + "/models/gta3.img",
            { { "infernus.dff", bytes(7000, 30) }, // grows by a sector
                { "infernus.txd", bytes(9000, 11) }, { "newcar.dff", bytes(3000, 31) },
                { "stays.col", bytes(2048, 32) } }));
        QVERIFY(makeStaticArchive(reference + "/models/cutscene_more.img",
            { { "a.dff", bytes(40000, 40) }, { "b.txd", bytes(1, 41) } }));
        QVERIFY(QDir(reference + "/models/empty_dir").removeRecursively());
        publishReference();
        syncAndCompare("republished with changes");

        // A player's leftovers: a file and a directory the list does not know, a graphics mod
        // (emptied, but its directory stays), and a touched file whose content stayed the same:
        // its recorded time stays the old one, so it is hashed again at every launch.
        QVERIFY(writeFile(game + "/players_mod.asi", "x"));
        QVERIFY(QDir().mkpath(game + "/junk/deeper"));
        QVERIFY(writeFile(game + "/enbseries/shaders/x.fx", "x"));
        QFile touched(game + "/data/handling.cfg");
        QVERIFY(touched.open(QIODevice::ReadWrite));
        QVERIFY(touched.setFileTime(
            QDateTime::currentDateTimeUtc().addSecs(-5000), QFileDevice::FileModificationTime));
        for (int launch = 0; launch < 2; ++launch) {
            const RunResult cleanup = runSync(game, environment(launcher, server->baseUrl()));
            QVERIFY(cleanup.ready());
            QVERIFY(cleanup.texts.contains({ "Проверка целостности data/handling.cfg", "" }));
            QCOMPARE(cleanup.countTexts("Скачивание"), 0);
            QCOMPARE(treeDifferences(reference, game), QString("extra dir:enbseries"));
        }
    }

    void oldCopyWithoutStateFile()
    {
        setUp("oldcopy");
        QVERIFY(writeFile(reference + "/samp.dll", bytes(20000, 50)));
        QVERIFY(writeFile(reference + "/data/same.txt", bytes(500, 51)));
        QVERIFY(makeStaticArchive(reference + "/models/player.img",
            { { "body.dff", bytes(4096, 52) }, { "head.dff", bytes(100, 53) } }));
        publishReference();

        // An old copy: one file changed, one element changed, a standard archive, upper-case names.
        QVERIFY(writeFile(game + "/samp.dll", bytes(20000, 99)));
        QVERIFY(writeFile(game + "/Data/Same.txt", bytes(500, 51)));
        QVERIFY(writeArchive(game + "/models/player.img",
            { { "head.dff", bytes(100, 53) }, { "body.dff", bytes(4096, 98) } }));
        const RunResult first = runSync(game, environment(launcher, server->baseUrl()));
        // Only what differs is fetched: the changed file and the changed element, besides the list
        // for each of the two cycles.
        const QString files = "/launcher/filesystem/";
        QCOMPARE(server->requestCount(files + "samp.dll.compressed"), 1);
        QCOMPARE(server->requestCount(files + "models/player.img_img/body.dff.compressed"), 1);
        QCOMPARE(server->requestCount(), 4);
        // The per-file texts: the downloader's right text is its progress, every other one empty.
        for (const char *text : { "Конвертация IMG архивов в формат v2staticHeader (player.img)...",
                 "Проверка целостности старой копии игры (samp.dll)...",
                 "Проверка целостности старой копии игры (models/player.img)...",
                 "Пересборка обновленных IMG архивов (player.img)..." })
            QVERIFY2(first.texts.contains({ text, QString() }), text);
        QVERIFY(first.texts.contains({ "Скачивание samp.dll...", "0.00/19.53 КБ (? МБ/с)" }));
        // The element's first text counts none of the file's bytes before it (its own may have
        // arrived already, sent ahead).
        const auto element
            = std::find_if(first.texts.begin(), first.texts.end(), [](const auto &text) {
                  return text.first == "Скачивание body.dff (models/player.img)...";
              });
        QVERIFY(element != first.texts.end());
        QVERIFY2(element->second.contains("/4.00 КБ ")
                && element->second.section('/', 0, 0).toDouble() <= 4.0,
            qPrintable(element->second));
        QVERIFY(first.states.contains({ 0, 0 })); // the old-copy check
        QVERIFY(first.states.contains({ 20000 + 4096, 20000 + 4096 })); // the download's end
        syncAndCompare("old copy");
    }

    void republishedWhileSynchronising_data()
    {
        // The host's path at whose request the next release is switched to, and whether before
        // that request is answered or after (its body then is of the old release, what comes
        // after of the new one).
        QTest::addColumn<QString>("trigger");
        QTest::addColumn<bool>("before");
        QTest::addColumn<bool>("archive"); // a reference with an archive of two 16 MiB parts
        QTest::newRow("between single bodies") << "data/f5.dat.compressed" << true << false;
        QTest::newRow("between audio parts") << "audio/sfx/genrl.b3" << true << false;
        QTest::newRow("in an audio part") << "audio/sfx/genrl.b3" << false << false;
        QTest::newRow("between archive parts") << "models/gta3.img.b1.compressed" << true << true;
        QTest::newRow("in an archive part") << "models/gta3.img.b0.compressed" << false << true;
    }

    void republishedWhileSynchronising()
    {
        // The next release is switched to while the first one downloads: bodies no longer match
        // the list they were planned from, and the run must end equal to the release now
        // served, at a cost bounded by what that release needs.
        QFETCH(QString, trigger);
        QFETCH(bool, before);
        QFETCH(bool, archive);
        setUp("republished");
        const auto revision = [&](int seed) {
            bool ok = writeFile(reference + "/audio/sfx/genrl", bytes(40000, seed + 50));
            for (int i = 0; i < 30; ++i)
                ok = ok
                    && writeFile(
                        reference + QString("/data/f%1.dat").arg(i), bytes(3000, seed + i));
            if (!archive)
                return ok;
            Elements elements;
            for (int i = 0; i < 9; ++i)
                elements.append({ QByteArray("e") + QByteArray::number(i) + ".dff",
                    bytes(2 * 1024 * 1024, 70 + i + (i == 8 ? seed : 0)) });
            return ok && makeStaticArchive(reference + "/models/gta3.img", elements);
        };
        QVERIFY(revision(0));
        // Signed, so that the list and its signature are also fetched across the switch.
        options.signKeyPath = releaseKey;
        publishReference();
        QVERIFY(revision(100));

        std::atomic<bool> published { false };
        std::atomic<qint64> served { 0 };
        server->setFallback([&](const TestRequest &request) {
            const bool now = !published && request.path.endsWith(trigger.toUtf8());
            if (now && before)
                published = publish(reference, host, options).ok;
            const TestResponse response = treeResponse(host, request);
            if (now && !before)
                published = publish(reference, host, options).ok;
            served += response.body.size();
            return response;
        });
        SyncEnvironment env = environment(launcher, server->baseUrl());
        // Built with two keys, as while the operator moves to a new one: either signs.
        env.releasePublicKey = otherPublicKey + releasePublicKey;
        const RunResult result = runSync(game, env, [&](const QString &) {
            // A storm: the run is ended, and fails below, instead of waiting for ctest.
            if (server->requestCount() > 300)
                quitRequested = true;
        });
        QVERIFY(published);
        QVERIFY2(result.ready(), qPrintable(result.lastLeft()));
        QCOMPARE(treeDifferences(reference, game), QString());

        compareWithTheRelease(server->requestCount(), served, releasePublicKey);
    }

    void overARealWebServer_data()
    {
        QTest::addColumn<bool>("http2");
        QTest::newRow("HTTP/2, many bodies on one connection") << true;
        QTest::newRow("HTTP/1.1 only, a few connections") << false;
    }

    void overARealWebServer()
    {
        // nginx, as the community's host runs it: many small bodies in flight, on one
        // connection where HTTP/2 is offered, on a few where it is not. (A host that takes one
        // connection at a time is the downloader's test's.)
        QFETCH(bool, http2);
        setUp("nginx");
        for (int i = 0; i < 60; ++i)
            QVERIFY(writeFile(reference + QString("/data/f%1.dat").arg(i), bytes(2000 + i, i)));
        QVERIFY(writeFile(reference + "/audio/sfx/genrl", bytes(12345, 4))); // three parts
        Elements elements;
        for (int i = 0; i < 30; ++i)
            elements.append(
                { QByteArray("e") + QByteArray::number(i) + ".dff", bytes(4096, 100 + i) });
        QVERIFY(makeStaticArchive(reference + "/models/gta3.img", elements));
        options.signKeyPath = releaseKey;
        publishReference();
        TestNginx nginx;
        QVERIFY2(nginx.start(
                     work.filePath("nginx-" + QString::number(http2)), host, certificates, http2),
            qPrintable(nginx.error()));
        SyncEnvironment env = environment(launcher, nginx.baseUrl());
        env.releasePublicKey = releasePublicKey;
        for (const int changed : { 0, 20 }) {
            // The second time, elements of the archive in place.
            for (int i = 0; i < changed; ++i)
                elements[i].second = bytes(4096, 200 + i);
            if (changed) {
                QVERIFY(QFile::remove(reference + "/models/gta3.img"));
                QVERIFY(makeStaticArchive(reference + "/models/gta3.img", elements));
                publishReference();
            }
            const RunResult result = runSync(game, env);
            QVERIFY2(result.ready(), qPrintable(result.lastLeft()));
            // Elements are edited into the archive where there is room, not where a fresh
            // archive has them: the archive is compared by its elements.
            ImgArchive::ArchiveEditor archive(game + "/models/gta3.img");
            QVERIFY(archive.open());
            for (const auto &element : qAsConst(elements))
                QCOMPARE(archive.readEntry(archive.findEntry(element.first)), element.second);
            archive.close();
            QCOMPARE(treeDifferences(reference, game),
                changed ? QString("differs models/gta3.img") : QString());
        }
        const QStringList bodies = nginx.accessLog().filter("/launcher/filesystem/");
        QCOMPARE(bodies.filter(QRegularExpression(" 200$")).size(), 60 + 3 + 1 + 20);
        QCOMPARE(bodies.filter(" HTTP/2.0 ").size(), http2 ? bodies.size() : 0);
    }

    void hostsThatCutBodies_data()
    {
        // Where the host breaks off the bodies it sends: -1 at random (or not at all, one time
        // in two), and whether it answers a Range request with the rest.
        QTest::addColumn<int>("cut");
        QTest::addColumn<bool>("ranges");
        QTest::addColumn<bool>("everyBody"); // else only data/big.dat, when cut is fixed
        QTest::addColumn<QString>("stuck"); // the file the run must end not ready naming
        QTest::newRow("at the same byte, Range ignored")
            << 50000 << false << false << "data/big.dat";
        QTest::newRow("at the same byte, Range served") << 50000 << true << false << QString();
        QTest::newRow("at random, Range ignored") << -1 << false << true << QString();
        QTest::newRow("at random, Range served") << -1 << true << true << QString();
        QTest::newRow("every body at its first byte") << 0 << true << true << "*";
    }

    void hostsThatCutBodies()
    {
        // A proxy with a body-size cap cuts one file at the same byte every time; a bad link
        // cuts any body anywhere. Every run ends equal to the release, or not ready naming the
        // file that never comes, with the rest fetched: never a cycle.
        QFETCH(int, cut);
        QFETCH(bool, ranges);
        QFETCH(bool, everyBody);
        QFETCH(QString, stuck);
        setUp("cut");
        QVERIFY(writeFile(reference + "/gta_sa.exe", bytes(30000, 1)));
        QVERIFY(writeFile(reference + "/data/big.dat", bytes(300000, 2)));
        QVERIFY(writeFile(reference + "/audio/sfx/genrl", bytes(40000, 3)));
        QVERIFY(makeStaticArchive(reference + "/models/gta3.img",
            { { "a.dff", bytes(20000, 4) }, { "b.txd", bytes(9000, 5) } }));
        publishReference();

        QMutex mutex;
        std::mt19937 random(20261207u);
        std::atomic<qint64> served { 0 };
        server->setFallback([&](const TestRequest &request) {
            TestResponse response = treeResponse(host, request);
            const QByteArray range = request.header("range");
            if (response.status != 200 || !request.path.startsWith("/launcher/filesystem/"))
                return response;
            qint64 from = 0;
            if (ranges && range.startsWith("bytes=") && range.endsWith('-')) {
                from = range.mid(6).chopped(1).toLongLong();
                const qint64 length = response.body.size();
                response.status = 206;
                response.headers.append({ "Content-Range",
                    QByteArray("bytes ") + QByteArray::number(from) + '-'
                        + QByteArray::number(length - 1) + '/' + QByteArray::number(length) });
                response.body = response.body.mid(int(from));
            }
            int at = cut;
            if (cut < 0) {
                QMutexLocker locker(&mutex);
                at = random() % 2 ? int(random() % quint32(response.body.size() + 1)) : -2;
            } else if (!everyBody && !request.path.endsWith("data/big.dat.compressed")) {
                at = -2;
            }
            if (at >= 0 && at < response.body.size()) {
                response.ending = TestResponse::Ending::Drop;
                response.cutAfter = at;
            }
            served += at >= 0 ? qMin(at, response.body.size()) : response.body.size();
            return response;
        });
        const RunResult result
            = runSync(game, environment(launcher, server->baseUrl()), [&](const QString &) {
                  if (server->requestCount() > 200)
                      quitRequested = true;
              });
        const int bigRequests
            = server->requestCount("/launcher/filesystem/data/big.dat.compressed");
        const int requests = server->requestCount();
        if (stuck.isEmpty()) {
            QVERIFY2(result.ready(), qPrintable(result.lastLeft()));
            QCOMPARE(treeDifferences(reference, game), QString());
            compareWithTheRelease(requests, served, QByteArray());
            return;
        }
        QVERIFY(!result.finished); // not ready: the join stays off
        qInfo("%d requests, %d of data/big.dat: %s", requests, bigRequests,
            qPrintable(result.lastLeft()));
        QVERIFY(result.lastLeft().startsWith("Не удаётся обновить файл: "));
        // Attempts bounded: a few a cycle, a few cycles.
        QVERIFY2(requests <= 60, qPrintable(QString::number(requests)));
        if (everyBody)
            return;
        QCOMPARE(result.lastLeft(), QString("Не удаётся обновить файл: ") + stuck);
        // Everything else was fetched.
        QVERIFY(QFile::remove(reference + "/" + stuck));
        QCOMPARE(treeDifferences(reference, game), QString());
    }

    void copiesVerifiedWhereServed()
    {
        // A copy on a static host or CDN is checked as launchers meet it: one whose bodies
        // stayed of the release before (rsync's quick check skips files of the same size and
        // second) is found out, naming the body.
        setUp("copies");
        QVERIFY(writeFile(reference + "/data/a.dat", bytes(3000, 1)));
        QVERIFY(writeFile(reference + "/data/b.dat", bytes(3000, 2)));
        publishReference();
        const QString before = QFileInfo(host + "/launcher").symLinkTarget();
        QVERIFY(writeFile(reference + "/data/b.dat", bytes(3000, 3)));
        publishReference();
        int checked = 0;
        const QString served = server->baseUrl() + "/launcher";
        QCOMPARE(ReleaseVerify::differences(served, 10, &checked, QByteArray()), QStringList());
        QCOMPARE(checked, 2);

        const QString copy = work.filePath("copies/cdn");
        QVERIFY(QDir().mkpath(copy));
        QCOMPARE(QProcess::execute("cp", { "-rL", before, copy + "/launcher" }), 0);
        for (const QString name : { "/launcher/sync.lst", "/launcher/release.lst" }) {
            QFile::remove(copy + name);
            QVERIFY(QFile::copy(host + name, copy + name));
        }
        serveTree(*server, copy);
        QCOMPARE(ReleaseVerify::differences(served, 10, &checked, QByteArray()),
            QStringList({ "data/b.dat.compressed: SHA-256 differs from the release document",
                "data/b.dat.compressed: MD5 differs from the list" }));
    }

    void signedLists_data()
    {
        // A list signed by the release key is taken: see republishedWhileSynchronising.
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("tamper");
        QTest::newRow("not signed") << QString() << QString();
        QTest::newRow("signed by another key") << otherKey << QString();
        QTest::newRow("list changed after signing") << releaseKey << "list";
        QTest::newRow("an older release served again") << releaseKey << "replay";
        QTest::newRow("expired") << releaseKey << "expired";
    }

    void signedLists()
    {
        // A launcher built with the release key acts on no list its key did not sign for this
        // release and now: an intruder on the host cannot have a player's files deleted, nor
        // bring back a release the operator replaced (every body is tied to the signed release
        // by its SHA-256).
        QFETCH(QString, key);
        QFETCH(QString, tamper);
        setUp("signed");
        QVERIFY(writeFile(reference + "/gta_sa.exe", bytes(7000, 60)));
        QVERIFY(writeFile(reference + "/data/a.dat", bytes(3000, 61)));
        QVERIFY(writeFile(game + "/gta_sa.exe", bytes(7000, 60)));
        QVERIFY(writeFile(game + "/players_mod.asi", "x"));
        options.signKeyPath = key;
        options.expiresIn = tamper == "expired" ? 3600 : 0;
        publishReference();
        SyncEnvironment env = environment(launcher, server->baseUrl());
        env.releasePublicKey = releasePublicKey;
        if (tamper == "list") {
            QByteArray list = readFile(host + "/launcher/sync.lst");
            const int line = list.indexOf("data/a.dat");
            QVERIFY(line > 0);
            list.remove(line, list.indexOf('\n', line) + 1 - line);
            QVERIFY(writeFile(host + "/launcher/sync.lst", list));
        } else if (tamper == "replay") {
            // The release a player took is replaced by one that removes data/a.dat; then the
            // old one is served again.
            const QString old = QFileInfo(host + "/launcher").symLinkTarget();
            QVERIFY(QFile::remove(reference + "/data/a.dat"));
            publishReference();
            QVERIFY(runSync(game, env).ready());
            QVERIFY(QFile::remove(host + "/launcher"));
            QVERIFY(QFile::link(old, host + "/launcher"));
        } else if (tamper == "expired") {
            env.clock = [] { return QDateTime::currentSecsSinceEpoch() + 7200; };
        }
        server->clearRequests();
        const auto before = snapshot(game);
        const RunResult result = runSync(game, env);
        QVERIFY(result.finished);
        QCOMPARE(result.lastLeft(), QString("Ошибка: не удалось получить список файлов"));
        QCOMPARE(snapshot(game), before);
        QCOMPARE(server->requestCount("/launcher/filesystem/data/a.dat.compressed"), 0);

        if (tamper == "expired") {
            // Renewed by the operator, the same release is taken again.
            options.expiresIn = 30 * 24 * 3600;
            const PublishReport renewed = renew(host, options);
            QVERIFY2(renewed.ok, qPrintable(renewed.error));
            QVERIFY(runSync(game, env).ready());
            QCOMPARE(snapshot(game).value("data/a.dat"), md5Hex(bytes(3000, 61)));
        }
    }

    void bodySwappedForItsMd5Twin()
    {
        // Two bodies of one MD5 (a published collision pair): whoever supplied the published one
        // can put its twin on the host. Neither a launcher nor verify takes it.
        const QByteArray published = QByteArray::fromHex(md5Twin);
        QByteArray twin = published;
        for (const int at : { 19, 45, 59, 83, 109, 123 })
            twin[at] = char(twin.at(at) ^ 0x80);
        QCOMPARE(md5Hex(twin), md5Hex(published));
        setUp("twin");
        QVERIFY(writeFile(reference + "/data/mod.dat", published));
        QVERIFY(writeFile(reference + "/gta_sa.exe", bytes(7000, 62)));
        options.signKeyPath = releaseKey;
        publishReference();
        const QString body = host + "/launcher/filesystem/data/mod.dat.compressed";
        QVERIFY(QFile::remove(body));
        QVERIFY(writeFile(body, PackedStream::pack(twin)));

        SyncEnvironment env = environment(launcher, server->baseUrl());
        env.releasePublicKey = releasePublicKey;
        const RunResult result = runSync(game, env);
        QVERIFY(!result.finished);
        QCOMPARE(result.lastLeft(), QString("Не удаётся обновить файл: data/mod.dat"));
        QVERIFY(!snapshot(game).contains("data/mod.dat"));
        QVERIFY(QFile::exists(game + "/gta_sa.exe"));
        int checked = 0;
        QCOMPARE(ReleaseVerify::differences(host + "/launcher", 10, &checked, releasePublicKey),
            QStringList { "data/mod.dat.compressed: SHA-256 differs from the release document" });
    }

private:
    // What a launcher new to the release now served fetches of it, beside what the run cost:
    // a run that ends right but asks again and again is a storm all the same.
    void compareWithTheRelease(int requests, qint64 bytes, const QByteArray &publicKey)
    {
        std::atomic<qint64> served { 0 };
        server->setFallback([&](const TestRequest &request) {
            const TestResponse response = treeResponse(host, request);
            served += response.body.size();
            return response;
        });
        server->clearRequests();
        QVERIFY(QDir().mkpath(launcher + "-fresh"));
        SyncEnvironment env = environment(launcher + "-fresh", server->baseUrl());
        env.releasePublicKey = publicKey;
        QVERIFY(runSync(game + "-fresh", env).ready());
        qInfo("%d requests, %lld bytes; the release alone: %d requests, %lld bytes", requests,
            bytes, server->requestCount(), qint64(served));
        QVERIFY2(bytes <= 3 * served, qPrintable(QString("%1 bytes").arg(bytes)));
    }

    // Names this case's directories (after its row, if any), and serves its host over loopback
    // HTTPS, publishing unsigned.
    void setUp(QString name)
    {
        if (QTest::currentDataTag())
            name += QString("-%1").arg(QTest::currentDataTag()).replace(' ', '-');
        reference = work.filePath(name + "/reference");
        host = work.filePath(name + "/host");
        launcher = work.filePath(name + "/launcher");
        game = work.filePath(name + "/gtacr");
        QVERIFY(QDir().mkpath(launcher));
        quitRequested = false;
        options.signKeyPath.clear();
        options.expiresIn = 0;
        server.reset(new TestHttpServer(&certificates));
        serveTree(*server, host);
        QVERIFY(server->listen());
    }

    void publishReference()
    {
        const PublishReport report = publish(reference, host, options);
        QVERIFY2(report.ok, qPrintable(report.error));
        QVERIFY2(report.problems.isEmpty(), qPrintable(report.problems.join('\n')));
    }

    void syncAndCompare(const QString &what)
    {
        const SyncEnvironment env = environment(launcher, server->baseUrl());
        const RunResult first = runSync(game, env);
        QVERIFY2(first.ready(), qPrintable(what + ": " + first.lastLeft()));
        const QString diff = treeDifferences(reference, game);
        QVERIFY2(diff.isEmpty(), qPrintable(what + ":\n" + diff));
        QVERIFY(!FileSystem::readSealedFile(SyncThread::stateFileName, launcher).isEmpty());

        server->clearRequests();
        const RunResult second = runSync(game, env);
        QVERIFY(second.ready());
        QCOMPARE(second.countTexts("Проверка целостности "),
            second.countTexts("Проверка целостности и"));
        QCOMPARE(second.countTexts("Скачивание"), 0);
        QCOMPARE(server->requestCount(), 1); // the list, nothing else
        QCOMPARE(treeDifferences(reference, game), QString());
    }

    TestCertificates certificates;
    QTemporaryDir work;
    QString reference;
    QString host;
    QString launcher;
    QString game;
    PublishOptions options;
    std::unique_ptr<TestHttpServer> server;
    QString releaseKey, otherKey;
    QByteArray releasePublicKey, otherPublicKey;
};

QTEST_GUILESS_MAIN(TestSyncEndToEnd)
#include "tst_syncendtoend.moc"
