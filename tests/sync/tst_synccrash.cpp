#include "files/filesystem.h"
#include "publisher.h"
#include "syncfixture.h"
#include "testcertificates.h"
#include "testhttpserver.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>
#include <random>

using namespace SyncFixture;

// A synchronising process killed with SIGKILL again and again, each time restarted, while the
// host's revision goes back and forth: whatever moment the kill hits, the state file stays
// readable and never claims bytes the disk does not hold, so the runs that follow end with the
// game directory equal to the last revision, element bytes included.
class TestSyncCrash : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void killedAtManyMomentsStillEndsEqual();

private:
    enum class Run { Killed, Ready, NotReady, Hung };
    // Runs the helper in step with its progress texts and kills it before it goes on from the
    // text for which killHere (text, number of texts so far) says so; without it, to its end.
    Run runHelper(const std::function<bool(const QByteArray &, int)> &killHere = {});
    bool stateReadable() const;

    TestCertificates certificates;
    std::unique_ptr<TestHttpServer> server;
    QTemporaryDir work;
    const QString game = work.filePath("gtacr");
    const QString launcher = work.filePath("launcher");
};

void TestSyncCrash::initTestCase()
{
    QVERIFY2(certificates.generate(), qPrintable(certificates.errorText()));
    QVERIFY(QDir().mkpath(launcher));
    server.reset(new TestHttpServer(&certificates));
    QVERIFY(server->listen());
}

TestSyncCrash::Run TestSyncCrash::runHelper(
    const std::function<bool(const QByteArray &, int)> &killHere)
{
    QProcess helper;
    helper.start(QStringLiteral(SYNC_CRASH_HELPER),
        { game, launcher, server->baseUrl(), certificates.caPath() });
    if (!helper.waitForStarted())
        return Run::Hung;
    int texts = 0;
    while (helper.state() != QProcess::NotRunning) {
        if (!helper.canReadLine() && !helper.waitForReadyRead(30000))
            break;
        while (helper.canReadLine()) {
            const QByteArray line = helper.readLine();
            if (!line.startsWith("p "))
                continue;
            if (killHere && killHere(line.mid(2).chopped(1), ++texts)) {
                helper.kill();
                helper.waitForFinished(30000);
                return Run::Killed;
            }
            helper.write("\n");
        }
    }
    if (!helper.waitForFinished(30000) && helper.state() != QProcess::NotRunning)
        return Run::Hung;
    return helper.exitStatus() == QProcess::NormalExit && helper.exitCode() == 0 ? Run::Ready
                                                                                 : Run::NotReady;
}

bool TestSyncCrash::stateReadable() const
{
    if (!QFile::exists(launcher + SyncThread::stateFileName))
        return true;
    return FileSystem::readSealedFile(SyncThread::stateFileName, launcher)
        .startsWith("[directories]\n");
}

// One of two published revisions. They differ where a crash hurts most: files and elements of
// the same size with other bytes (in-place replacements, times within the same second), an
// element that grows, added and removed files and elements.
static bool writeRevision(const QString &root, int revision)
{
    bool ok = true;
    for (int i = 0; i < 90; ++i) {
        const int seed = i + (revision == 1 && i % 3 == 0 ? 5000 : 0);
        ok = ok
            && writeFile(root + QString("/data/set%1/file%2.dat").arg(i % 6).arg(i),
                bytes(400 + i * 13, seed));
    }
    ok = ok && writeFile(root + "/gta_sa.exe", bytes(70000, 500))
        && writeFile(root + "/audio/sfx/genrl", bytes(23000, 501 + revision))
        && writeFile(root + QString("/data/only%1.txt").arg(revision), bytes(900, 502));
    Elements elements;
    for (int i = 0; i < 30; ++i) {
        if (revision == 1 && i == 12)
            continue;
        const int length = 2048 + i * 100 + (revision == 1 && i == 5 ? 4096 : 0);
        elements.append({ QByteArray("car") + QByteArray::number(i + 10) + ".dff",
            bytes(length, 600 + i + (revision == 1 && i % 2 ? 1000 : 0)) });
    }
    if (revision == 1)
        elements.append({ "rev1.txd", bytes(3000, 800) });
    return ok && makeStaticArchive(root + "/models/gta3.img", elements)
        && makeStaticArchive(root + "/models/new.img",
            { { "a.dff", bytes(9000, 900 + revision) }, { "b.txd", bytes(5000, 901) } });
}

void TestSyncCrash::killedAtManyMomentsStillEndsEqual()
{
    const QString references[] = { work.filePath("reference0"), work.filePath("reference1") };
    const QString hosts[] = { work.filePath("host0"), work.filePath("host1") };
    PublishOptions options;
    options.audioPartSize = 4000;
    options.audioSinglePartLimit = 4000;
    for (int revision = 0; revision < 2; ++revision) {
        QVERIFY(writeRevision(references[revision], revision));
        const PublishReport report = publish(references[revision], hosts[revision], options);
        QVERIFY2(report.ok, qPrintable(report.error));
    }

    // An old copy without a state file: files of both revisions and a file of the player's.
    QVERIFY(writeRevision(game, 0));
    QVERIFY(writeFile(game + "/data/set0/file0.dat", bytes(400, 999)));
    QVERIFY(writeFile(game + "/mods/players.asi", "x"));

    // The published revision changes between every two runs; each run is killed after a random
    // number of progress texts, or ends by itself when it needs fewer.
    const quint32 seed = qEnvironmentVariableIsSet("KORVINA_CRASH_SEED")
        ? quint32(qEnvironmentVariableIntValue("KORVINA_CRASH_SEED"))
        : 20240611u;
    std::mt19937 random(seed);
    int kills = 0;
    int rebuildKills = 0;
    int round = 0;
    for (; kills < 50 && round < 150; ++round) {
        serveTree(*server, hosts[round % 2]);
        // Every fourth run is killed among the element downloads, and every fourth as the
        // rebuild begins after elements came in (revision 1 grows an element, which moves behind
        // the others: the archive is left not compacted), the rest anywhere.
        const int after = 1 + int(random() % 160);
        int elementTexts = 0;
        const Run run = runHelper([&](const QByteArray &text, int texts) {
            elementTexts += text.startsWith("Скачивание car") ? 1 : 0;
            if (round % 4 == 2)
                return elementTexts == after % 24 + 1;
            if (round % 4 == 3)
                return elementTexts > 0 && text == "Пересборка обновленных IMG архивов...";
            return texts == after;
        });
        QVERIFY(run != Run::Hung);
        kills += run == Run::Killed ? 1 : 0;
        rebuildKills += run == Run::Killed && round % 4 == 3 ? 1 : 0;
        QVERIFY2(stateReadable(), qPrintable(QString("after round %1").arg(round)));
    }
    QVERIFY2(kills >= 50, qPrintable(QString("only %1 kills in %2 runs").arg(kills).arg(round)));
    QVERIFY(rebuildKills > 0);

    const int last = round % 2;
    serveTree(*server, hosts[last]);
    QCOMPARE(runHelper(), Run::Ready);
    // Whole-file digests: element bytes included.
    const QString diff = treeDifferences(references[last], game);
    QVERIFY2(diff.isEmpty(), qPrintable(QString("seed %1: ").arg(seed) + diff));
    QVERIFY(stateReadable());
}

QTEST_GUILESS_MAIN(TestSyncCrash)
#include "tst_synccrash.moc"
