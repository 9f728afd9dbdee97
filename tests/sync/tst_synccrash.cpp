#include "files/filesystem.h"
#include "img/staticheader.h"
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
#include <random>

using namespace SyncFixture;

// A synchronising process killed with SIGKILL again and again, each time restarted: whatever
// moment the kill hits, the state file stays readable, and the runs that follow end with the
// game directory equal to the reference.
class TestSyncCrash : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void killedAtManyMomentsStillEndsEqual();
    void killedBeforeTheRebuildStillEndsEqual();

private:
    enum class Run { Killed, Ended, Hung };
    // Runs the helper in step with its progress texts and kills it before it goes on from the
    // text for which killHere (text, number of texts so far) says so.
    Run runHelper(const std::function<bool(const QByteArray &, int)> &killHere);
    bool runToTheEnd();
    bool stateReadable() const;

    TestCertificates certificates;
    TestHttpServer *server = nullptr;
    QTemporaryDir work;
    QString reference;
    QString host;
    QString game;
    QString launcher;
};

void TestSyncCrash::initTestCase()
{
    QVERIFY2(certificates.generate(), qPrintable(certificates.errorText()));
}

void TestSyncCrash::init()
{
    static int run = 0;
    const QString suffix = QString::number(run++);
    reference = work.filePath("reference" + suffix);
    host = work.filePath("host" + suffix);
    game = work.filePath("gtacr" + suffix);
    launcher = work.filePath("launcher" + suffix);
    QVERIFY(QDir().mkpath(launcher));
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
            if (killHere(line.mid(2).chopped(1), ++texts)) {
                helper.kill();
                helper.waitForFinished(30000);
                return Run::Killed;
            }
            helper.write("\n");
        }
    }
    return helper.waitForFinished(30000) || helper.state() == QProcess::NotRunning ? Run::Ended
                                                                                   : Run::Hung;
}

bool TestSyncCrash::runToTheEnd()
{
    QProcess helper;
    helper.start(QStringLiteral(SYNC_CRASH_HELPER),
        { game, launcher, server->baseUrl(), certificates.caPath() });
    helper.closeWriteChannel();
    return helper.waitForFinished(60000) && helper.exitStatus() == QProcess::NormalExit
        && helper.exitCode() == 0;
}

bool TestSyncCrash::stateReadable() const
{
    if (!QFile::exists(launcher + SyncThread::stateFileName))
        return true;
    return FileSystem::readSealedFile(SyncThread::stateFileName, launcher)
        .startsWith("[directories]\n");
}

static bool makeStaticArchive(const QString &path, const Elements &elements)
{
    return writeArchive(path, elements) && ImgArchive::convertToStaticHeader(path);
}

void TestSyncCrash::killedAtManyMomentsStillEndsEqual()
{
    // Many small files, so that kills land between and inside downloads; an audio file in many
    // parts; an archive updated by elements and one fetched whole.
    for (int i = 0; i < 200; ++i)
        QVERIFY(writeFile(reference + QString("/data/set%1/file%2.dat").arg(i % 6).arg(i),
            bytes(400 + i * 13, i)));
    QVERIFY(writeFile(reference + "/gta_sa.exe", bytes(70000, 500)));
    QVERIFY(writeFile(reference + "/audio/sfx/genrl", bytes(23000, 501)));
    Elements current;
    Elements old;
    for (int i = 0; i < 30; ++i) {
        const QByteArray name = QByteArray("car") + QByteArray::number(i + 10) + ".dff";
        current.append({ name, bytes(2048 + i * 100, 600 + i) });
        old.append({ name, i % 2 ? bytes(2048 + i * 100, 600 + i) : bytes(2048, 700 + i) });
    }
    old.append({ "gone.txd", bytes(3000, 800) });
    QVERIFY(makeStaticArchive(reference + "/models/gta3.img", current));
    QVERIFY(makeStaticArchive(reference + "/models/new.img",
        { { "a.dff", bytes(9000, 900) }, { "b.txd", bytes(5000, 901) } }));
    PublishOptions options;
    options.audioPartSize = 4000;
    options.audioSinglePartLimit = 4000;
    const PublishReport report = publish(reference, host, options);
    QVERIFY2(report.ok, qPrintable(report.error));

    // An old copy without a state file: one file the same, one changed, an outdated archive,
    // and a file of the player's.
    QVERIFY(writeFile(game + "/gta_sa.exe", bytes(70000, 500)));
    QVERIFY(writeFile(game + "/data/set0/file0.dat", bytes(400, 999)));
    QVERIFY(makeStaticArchive(game + "/models/gta3.img", old));
    QVERIFY(writeFile(game + "/mods/players.asi", "x"));

    TestHttpServer fileHost(&certificates);
    server = &fileHost;
    serveTree(fileHost, host);
    QVERIFY(fileHost.listen());

    std::mt19937 random(20240611);
    int kills = 0;
    for (int round = 0; round < 22; ++round) {
        // Killed after this many progress texts; a run that ends sooner is simply done.
        const int after = 1 + int(random() % 90);
        const Run run
            = runHelper([after](const QByteArray &, int texts) { return texts == after; });
        QVERIFY(run != Run::Hung);
        kills += run == Run::Killed ? 1 : 0;
        QVERIFY2(stateReadable(), qPrintable(QString("after round %1").arg(round)));
    }
    QVERIFY2(
        kills >= 15, qPrintable(QString("only %1 kills hit a running synchronisation").arg(kills)));

    QVERIFY(runToTheEnd());
    const QStringList diff = differences(snapshot(reference), snapshot(game));
    QVERIFY2(diff.isEmpty(), qPrintable(diff.join('\n')));
    QVERIFY(stateReadable());
    server = nullptr;
}

void TestSyncCrash::killedBeforeTheRebuildStillEndsEqual()
{
    // Every element is in and recorded, but the archive is not compacted yet: a grown element
    // had to move behind the others.
    QVERIFY(makeStaticArchive(reference + "/models/gta3.img",
        { { "a.dff", bytes(6000, 1) }, { "b.dff", bytes(2048, 2) } }));
    QVERIFY(publish(reference, host, PublishOptions()).ok);
    QVERIFY(makeStaticArchive(
        game + "/models/gta3.img", { { "a.dff", bytes(2048, 3) }, { "b.dff", bytes(2048, 2) } }));
    TestHttpServer fileHost(&certificates);
    server = &fileHost;
    serveTree(fileHost, host);
    QVERIFY(fileHost.listen());

    bool fetched = false;
    const Run run = runHelper([&](const QByteArray &text, int) {
        fetched = fetched || text.startsWith("Скачивание");
        return fetched && text == "Пересборка обновленных IMG архивов...";
    });
    QCOMPARE(run, Run::Killed);
    QVERIFY(runToTheEnd());
    const QStringList diff = differences(snapshot(reference), snapshot(game));
    QVERIFY2(diff.isEmpty(), qPrintable(diff.join('\n')));
    server = nullptr;
}

QTEST_GUILESS_MAIN(TestSyncCrash)
#include "tst_synccrash.moc"
