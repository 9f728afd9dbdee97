#include "img/archiveeditor.h"
#include "img/staticheader.h"
#include "sync/tidying.h"
#include "syncfixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace SyncFixture;

// The game directory's tidying before each cycle, on real trees.
class TestTidying : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        static int run = 0;
        game = dir.filePath(QString("game%1").arg(run++));
        QVERIFY(QDir().mkpath(game));
    }

    void tidiedTrees_data()
    {
        // The files made before, each holding its own path ("name -> target" is a link to a target
        // outside the game directory), and the snapshot after.
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<QStringList>("after");
        // A link goes, never what it points to, nor anything reached through a linked directory.
        QTest::newRow("temporary and link files removed")
            << QStringList { "readme.Tmp", "game.lnk", "data/old.LINK", "data/x.img.tmp", "tmp",
                   "a.tmp.txt", "data/keep.dat", "data/shortcut.lnk -> outside.tmp", "linked -> ." }
            << QStringList { "a.tmp.txt", "data/keep.dat", "dir:data", "linked", "tmp" };
        QTest::newRow("directory and archive in capitals")
            << QStringList { "Models/GTA3.IMG" } << QStringList { "dir:models", "models/gta3.img" };
        QTest::newRow("white space and capitals")
            << QStringList { " My  Mod.TXT" } << QStringList { "my_mod.txt" };
        QTest::newRow("nested in one cycle")
            << QStringList { "New Folder/Some File.dat", "New Folder/Inner Dir/Deep File.TXT" }
            << QStringList { "dir:new_folder", "dir:new_folder/inner_dir",
                   "new_folder/inner_dir/deep_file.txt", "new_folder/some_file.dat" };
        QTest::newRow("a taken name keeps both files") << QStringList { "data/Readme.txt",
            "data/readme.txt" } << QStringList { "data/Readme.txt", "data/readme.txt", "dir:data" };
        QTest::newRow("a taken directory name keeps both directories")
            << QStringList { "Data/a.txt", "data/b.txt" }
            << QStringList { "Data/a.txt", "data/b.txt", "dir:Data", "dir:data" };
    }

    void tidiedTrees()
    {
        QFETCH(QStringList, before);
        QFETCH(QStringList, after);
        QVERIFY(writeFile(dir.filePath("outside.tmp"), "not the game's"));
        for (const QString &path : before) {
            const QStringList link = path.split(" -> ");
            if (link.size() == 2)
                QVERIFY(QFile::link(dir.filePath(link.at(1)), game + '/' + link.at(0)));
            else
                QVERIFY(writeFile(game + '/' + path, path.toUtf8()));
        }
        Tidying::removeTemporaryFiles(game);
        Tidying::convertDirectoryNames(game);
        Tidying::convertFileNames(game);
        QCOMPARE(snapshot(game).keys(), after);
        QCOMPARE(readFile(dir.filePath("outside.tmp")), QByteArray("not the game's"));
        // Renamed, never rewritten: every file still holds what it held.
        for (const QString &path : after) {
            if (!path.startsWith("dir:") && !QFileInfo(game + '/' + path).isSymLink())
                QVERIFY(before.contains(QString::fromUtf8(readFile(game + '/' + path))));
        }
    }

    void managedArchivesConvertedOnce()
    {
        const Elements elements = { { "a.dff", bytes(3000, 1) }, { "b.txd", bytes(100, 2) } };
        QStringList paths = { "models/gta3.img", "models/player.img",
            "multiplayer_c/models/skins.img", "models/converted.img" };
        // The archives the game reads in its own way, wherever they lie.
        for (const char *name : { "anim.img", "cuts.img", "carrec.img", "paths.img", "script.img",
                 "cutscene.img", "mp_col.img", "custom.img" })
            paths << QString("data/") + name << QString("anim/") + name;
        for (const QString &path : paths)
            QVERIFY(writeArchive(game + '/' + path, elements, path == "models/converted.img"));
        // Converted, then left by an element update cut short before the rebuild: a grown element
        // moved behind the others, or data appended and not yet listed.
        QVERIFY(writeArchive(game + "/models/moved.img", elements, true));
        {
            ImgArchive::ArchiveEditor editor(game + "/models/moved.img");
            QVERIFY(editor.open());
            QVERIFY(editor.replaceEntry(editor.findEntry("a.dff"), bytes(5000, 3)));
            QVERIFY(editor.writeDirectory());
        }
        QVERIFY(writeArchive(game + "/models/tail.img", elements, true));
        QVERIFY(writeFile(game + "/models/tail.img",
            readFile(game + "/models/tail.img") + QByteArray(2048, 'x')));

        QStringList selected = Tidying::archivesToConvert(game);
        selected.sort();
        QCOMPARE(selected,
            QStringList({ game + "/models/gta3.img", game + "/models/moved.img",
                game + "/models/player.img", game + "/models/tail.img" }));
        for (const QString &archive : selected)
            QVERIFY(ImgArchive::convertToStaticHeader(archive));
        QVERIFY(Tidying::archivesToConvert(game).isEmpty());
        QVERIFY(!ImgArchive::isStaticHeaderArchive(game + "/data/cuts.img"));
        QVERIFY(!ImgArchive::isStaticHeaderArchive(game + "/multiplayer_c/models/skins.img"));
    }

private:
    QTemporaryDir dir;
    QString game;
};

QTEST_GUILESS_MAIN(TestTidying)
#include "tst_tidying.moc"
