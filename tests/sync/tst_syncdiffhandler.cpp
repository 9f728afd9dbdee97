#include "app/runstate.h"
#include "files/filesystem.h"
#include "img/archiveeditor.h"
#include "sync/filedownloader.h"
#include "sync/localinventory.h"
#include "sync/syncdiffhandler.h"
#include "syncfixture.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace SyncFixture;

namespace {

// Stands in for the pipeline: counts state saves and keeps what the planner reports hashing.
class Worker : public SyncWorker
{
public:
    int saves = 0;
    QStringList hashed;
    QSet<QByteArray> updated;

    void saveState() override { ++saves; }
    void markArchiveUpdated(const QByteArray &path) override { updated.insert(path); }
    QList<QByteArray> takeUpdatedArchives() override
    {
        const QList<QByteArray> all = updated.values();
        updated.clear();
        return all;
    }
    QObject *conversionReceiver() override { return nullptr; }
    void updateProgressBar(quint64, quint64) override { }
    void updateCurrentFile(const QString &file, const QString &) override
    {
        if (!file.isEmpty())
            hashed.append(file);
    }
};

using List = std::unique_ptr<FileSystem>;

// The inventory of a directory as the pipeline takes it; hashed, it is what the publisher lists
// for a reference directory and what the old-copy check saves for a game directory.
List inventory(const QString &root, bool hashed)
{
    List list(new FileSystem);
    list->setRootPath(root);
    LocalInventory scan(*list);
    scan.scanDirectories();
    scan.scanFiles();
    scan.readImgDirectories();
    scan.readModificationTimes();
    if (hashed) {
        scan.hashFiles();
        scan.hashImgElements();
    }
    return list;
}

// A list as it comes back from its text form: the remote list without times, the state with.
List reread(const FileSystem &list, bool withTimes, const QString &root)
{
    QByteArray text;
    list.writeText(text, withTimes);
    List copy(new FileSystem);
    copy->setRootPath(root);
    copy->readText(text, withTimes);
    return copy;
}

QStringList planned(const SyncDiffHandler &handler)
{
    QStringList items;
    for (const auto &item : handler.directoryPlan())
        items.append(QString("dir %1 %2").arg(item.second).arg(item.first));
    for (const auto &item : handler.filePlan())
        items.append(QString("file %1 %2").arg(item.second).arg(item.first.path));
    for (const auto &archive : handler.imgPlan()) {
        for (const auto &element : archive.second)
            items.append(QString("element %1 %2:%3")
                             .arg(element.second)
                             .arg(archive.first, element.first.name));
    }
    items.sort();
    return items;
}

} // namespace

// The planner against real directories: a reference that stands for the file host, a game
// directory, and the state a first launch would have saved of it.
class TestSyncDiffHandler : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void touchedFileIsHashedAgainAndStaysPlanFree();
    void shortcutOnlyWithAnEarlierState_data();
    void shortcutOnlyWithAnEarlierState();
    void extrasRemovedButEnbseriesKept();
    void archivesWholeOrByElements();
    void duplicateRemotePathsFirstWins_data();
    void duplicateRemotePathsFirstWins();

private:
    // Plans the game directory against the reference with the given saved state.
    void plan(FileSystem *saved, bool freshState);

    QTemporaryDir dir;
    QString reference;
    QString game;
    Worker worker;
    List local;
    List remote;
    std::unique_ptr<SyncDiffHandler> handler;
};

void TestSyncDiffHandler::init()
{
    quitRequested = false;
    handler.reset();
    static int run = 0;
    reference = dir.filePath(QString("reference%1").arg(run));
    game = dir.filePath(QString("game%1").arg(run++));
    QVERIFY(QDir().mkpath(reference) && QDir().mkpath(game));
    worker = Worker();
}

void TestSyncDiffHandler::plan(FileSystem *saved, bool freshState)
{
    local = inventory(game, false);
    remote = reread(*inventory(reference, true), false, QString());
    handler.reset(new SyncDiffHandler(game, &worker));
    handler->setLists(local.get(), saved, remote.get());
    handler->compare(freshState);
}

void TestSyncDiffHandler::touchedFileIsHashedAgainAndStaysPlanFree()
{
    for (const QString &root : { reference, game }) {
        QVERIFY(writeFile(root + "/data/a.txt", "same content"));
        QVERIFY(writeFile(root + "/data/b.txt", "untouched"));
    }
    List saved = reread(*inventory(game, true), true, game);
    const quint32 savedTime = saved->entries.at(0).mtime;
    QVERIFY(touch(game + "/data/a.txt", 2 * 86400));

    for (int launch = 0; launch < 2; ++launch) {
        worker.hashed.clear();
        plan(saved.get(), false);
        QCOMPARE(worker.hashed, QStringList({ "data/a.txt" }));
        QVERIFY(!handler->hasChanges());
        // The stored time stays the old one, so the file is hashed again at every launch.
        QCOMPARE(saved->entries.at(0).path, QString("data/a.txt"));
        QCOMPARE(saved->entries.at(0).mtime, savedTime);
        QCOMPARE(saved->entries.at(0).md5, remote->entries.at(0).md5);
        saved = reread(*saved, true, game);
    }
}

void TestSyncDiffHandler::shortcutOnlyWithAnEarlierState_data()
{
    QTest::addColumn<bool>("freshState");
    QTest::addColumn<int>("saves");
    QTest::newRow("second launch: the fingerprints agree, nothing is done") << false << 0;
    QTest::newRow("first launch: the state just built is compared in full") << true << 1;
}

void TestSyncDiffHandler::shortcutOnlyWithAnEarlierState()
{
    QFETCH(bool, freshState);
    QFETCH(int, saves);
    for (const QString &root : { reference, game }) {
        QVERIFY(writeFile(root + "/gta_sa.exe", bytes(4000, 1)));
        QVERIFY(writeArchive(root + "/models/gta3.img", { { "a.dff", bytes(2048, 2) } }, true));
    }
    List saved = reread(*inventory(game, true), true, game);
    plan(saved.get(), freshState);
    QCOMPARE(worker.saves, saves);
    QVERIFY(!handler->hasChanges());
}

void TestSyncDiffHandler::extrasRemovedButEnbseriesKept()
{
    QVERIFY(writeFile(reference + "/gta_sa.exe", bytes(4000, 1)));
    QVERIFY(writeFile(game + "/gta_sa.exe", bytes(4000, 1)));
    QVERIFY(writeFile(game + "/mods/player_added.cs", "the player's own"));
    QVERIFY(writeFile(game + "/enbseries/enb.ini", "not listed"));
    QVERIFY(writeFile(game + "/enbseries/shaders/x.fx", "not listed"));
    List saved = reread(*inventory(game, true), true, game);

    plan(saved.get(), true);
    QCOMPARE(planned(*handler),
        QStringList({ "dir 2 enbseries/shaders", "dir 2 mods", "file 2 enbseries/enb.ini",
            "file 2 enbseries/shaders/x.fx", "file 2 mods/player_added.cs" }));
    handler->removeExtraFiles();
    QCOMPARE(snapshot(game).keys(), QStringList({ "dir:enbseries", "gta_sa.exe" }));
    QByteArray state;
    saved->normalize();
    saved->writeText(state, false);
    QCOMPARE(state,
        "[directories]\nenbseries\n\n[entries]\ngta_sa.exe gta_sa.exe file 4000 "
            + remote->entries.at(0).md5.toUtf8() + '\n');
}

void TestSyncDiffHandler::archivesWholeOrByElements()
{
    QVERIFY(writeArchive(reference + "/models/gta3.img",
        { { "a.dff", bytes(2048, 1) }, { "b.dff", bytes(4096, 20) }, { "e.txd", bytes(2048, 5) } },
        true));
    QVERIFY(writeArchive(reference + "/models/new.img",
        { { "x.dff", bytes(2048, 6) }, { "y.dff", bytes(2048, 7) } }, true));
    QVERIFY(writeArchive(game + "/models/gta3.img",
        { { "a.dff", bytes(2048, 1) }, { "b.dff", bytes(2048, 2) }, { "c.col", bytes(2048, 3) } },
        true));
    List saved = reread(*inventory(game, true), true, game);

    plan(saved.get(), true);
    // The missing archive comes whole; the existing one only by its three changed elements.
    QCOMPARE(planned(*handler),
        QStringList({ "element 1 models/gta3.img:e.txd", "element 2 models/gta3.img:c.col",
            "element 3 models/gta3.img:b.dff", "file 1 models/new.img" }));

    handler->removeExtraFiles();
    ImgArchive::ArchiveEditor archive(game + "/models/gta3.img");
    QVERIFY(archive.open());
    QCOMPARE(archive.findEntry("c.col"), -1);
    QVERIFY(archive.findEntry("b.dff") >= 0);
    archive.close();

    handler->setDownloader(new FileDownloader(game, nullptr, handler.get(), "https://127.0.0.1:1"));
    handler->prepareUpdate();
    const QList<DownloadItem> &items = handler->downloader()->items();
    QCOMPARE(items.size(), 2);
    const bool newFirst = items.at(0).path == "models/new.img";
    const DownloadItem &whole = items.at(newFirst ? 0 : 1);
    const DownloadItem &byElements = items.at(newFirst ? 1 : 0);
    QVERIFY(whole.wholeArchive && whole.createEmpty);
    QCOMPARE(
        whole.elements, (QList<QPair<QString, quint32>> { { "x.dff", 2048 }, { "y.dff", 2048 } }));
    QCOMPARE(whole.size, remote->entries.at(1).packedSize);
    QVERIFY(!byElements.wholeArchive && !byElements.createEmpty);
    QCOMPARE(byElements.path, QString("models/gta3.img"));
    QCOMPARE(byElements.elements,
        (QList<QPair<QString, quint32>> { { "b.dff", 4096 }, { "e.txd", 2048 } }));
}

void TestSyncDiffHandler::duplicateRemotePathsFirstWins_data()
{
    QTest::addColumn<QByteArray>("local");
    QTest::addColumn<QStringList>("plan");
    QTest::newRow("local equals the first") << QByteArray("first") << QStringList();
    QTest::newRow("local equals the second") << QByteArray("other") << QStringList("file 3 a.txt");
}

void TestSyncDiffHandler::duplicateRemotePathsFirstWins()
{
    QFETCH(QByteArray, local);
    QFETCH(QStringList, plan);
    QVERIFY(writeFile(game + "/a.txt", local));
    List saved = reread(*inventory(game, true), true, game);
    const QByteArray firstMd5 = md5Hex("first");
    List list(new FileSystem);
    list->readText("[directories]\n\n[entries]\na.txt a.txt file 5 " + firstMd5
            + "\na.txt a.txt file 5 " + md5Hex("other") + '\n',
        false);
    List scanned = inventory(game, false);
    SyncDiffHandler planner(game, &worker);
    planner.setLists(scanned.get(), saved.get(), list.get());
    planner.compare(true);
    QCOMPARE(planned(planner), plan);
    QCOMPARE(planner.remoteMd5("a.txt"), QString(firstMd5));
    if (!plan.isEmpty())
        QCOMPARE(planner.filePlan().at(0).first.md5, QString(firstMd5));
}

QTEST_GUILESS_MAIN(TestSyncDiffHandler)
#include "tst_syncdiffhandler.moc"
