#include "files/filesystem.h"

#include <QtTest>

static const QString md5a = QStringLiteral("0123456789abcdef0123456789abcdef");

// A file entry, or an element (whose name is its path).
static FileEntry makeFile(const QString &path, const QString &md5 = md5a)
{
    FileEntry entry;
    entry.path = path;
    entry.name = path.section('/', -1);
    entry.size = 1;
    entry.md5 = md5;
    return entry;
}

class TestFileSystem : public QObject
{
    Q_OBJECT

private slots:
    void writeTextLayout_data()
    {
        QTest::addColumn<bool>("withTimes");
        QTest::addColumn<QByteArray>("text");
        // The published list. Elements of a key that two archives share are written once.
        QTest::newRow("without times")
            << false
            << QByteArray(
                   "[directories]\n"
                   "data\n"
                   "audio/sfx\n"
                   "with space\n"
                   "\n[entries]\n"
                   "data/handling.cfg handling.cfg file 120 0123456789abcdef0123456789abcdef\n"
                   "data/empty.txt empty.txt file 0 \n"
                   "audio/sfx/genrl genrl audio_file 100000000 "
                   "fedcba9876543210fedcba9876543210 3 41943040\n"
                   "models/gta3.img gta3.img img_archive 409600 0 1 1234\n"
                   "models/copy.img copy.img img_archive 409600 0 1 1234\n"
                   "models/empty.img empty.img img_archive 409600 9 1 1234\n"
                   "[entries] [entries] file 1 m\n" // only a whole line is a header
                   "\n[img] 0\n"
                   "bmx.dff 4096 0123456789abcdef0123456789abcdef\n"
                   "bmx.txd 2048 \n"
                   "[directories] 2048 m\n"
                   "\n[img] 9\n");
        // The saved state. Archives never carry a digest or a time; elements never a time.
        QTest::newRow("with times")
            << true
            << QByteArray("[directories]\n"
                          "\n[entries]\n"
                          "data/handling.cfg handling.cfg file 120 "
                          "0123456789abcdef0123456789abcdef 1700000000\n"
                          "data/empty.txt empty.txt file 0  5\n"
                          "audio/x x audio_file 10 fedcba9876543210fedcba9876543210 1 10 42\n"
                          "models/gta3.img gta3.img img_archive 409600 0 1 1234\n"
                          "\n[img] 0\n"
                          "bmx.dff 4096 0123456789abcdef0123456789abcdef\n");
    }

    void writeTextLayout()
    {
        QFETCH(bool, withTimes);
        QFETCH(QByteArray, text);
        FileSystem list;
        // Nameless records are read but never written, nor records whose lines would read back
        // as something else.
        list.readText(text + "[entries]\ndata/nameless  file 1 m 1\n[img] 0\n 2048 m\n", withTimes);
        list.directories += QStringList { "[entries]", "[img] 3", "line\nfeed" };
        list.entries << makeFile("data/a b.txt") << makeFile("[img]/x.txt")
                     << makeFile("data/c.txt", "a b");
        list.imgContents[0] << makeFile("a b.dff") << makeFile("[img]");
        QByteArray written("stale");
        list.writeText(written, withTimes);
        QCOMPARE(written, text);
    }

    void readTextLines_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("withTimes");
        // What was read, one line per record: entries as "kind|path|name|size|md5|mtime",
        // elements as "key:name|size|md5", directories as "dir:..."
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("lines short of their fields are skipped")
            << QByteArray("[entries]\na/b b file 5 x\naudio/x x audio_file 10 m 1 10\n"
                          "m/g.img g.img img_archive 4096 3 2\na/b b file\n")
            << true << QStringList();
        QTest::newRow("unknown kind word reads as file") << QByteArray(
            "[entries]\na/b b blob 5 m\n") << false << QStringList { "0|a/b|b|5|m|0" };
        QTest::newRow("numbers that do not parse read as 0")
            << QByteArray("[entries]\na a file -5 m x9\nb b file 4294967296 m 12a\n") << true
            << QStringList { "0|a|a|0|m|0", "0|b|b|0|m|0" };
        QTest::newRow("capital header is no header")
            << QByteArray("[entries]\n[ENTRIES]\n[Directories]\nx x file 1 m\n") << false
            << QStringList { "0|x|x|1|m|0" };
        QTest::newRow("lines before any header and empty lines are skipped")
            << QByteArray("data\nx x file 1 m\n\n[directories]\n\n\nmodels\n\n[entries]\n\n")
            << false << QStringList { "dir:models" };
        QTest::newRow("img with a missing or malformed key selects key 0")
            << QByteArray("[img]\na.dff 2048 m\n[img] -4\nb.dff 4096 \n[img] x7\nc.dff 1 m\n")
            << false << QStringList { "-4:b.dff|4096|", "0:a.dff|2048|m", "0:c.dff|1|m" };
        QTest::newRow("element lines need exactly three fields")
            << QByteArray("[img] 1\na.dff 2048 m extra\nb.dff 2048\nc.dff 2048 \n") << false
            << QStringList { "1:c.dff|2048|" };
        // Numbers before it still parse.
        QTest::newRow("carriage return stays in the last field")
            << QByteArray("[directories]\r\ndata\r\n[directories]\nmodels\r\n[entries]\n"
                          "a a file 7\r\nb b file 7 m\r\n")
            << false << QStringList { "dir:models\r", "0|b|b|7|m\r|0" };
        QTest::newRow("text ends at the first NUL") << QByteArray("[directories]\ndata\nmo") + '\0'
                + "dels\nmore\n" << false << QStringList { "dir:data", "dir:mo" };
    }

    void readTextLines()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, withTimes);
        QFETCH(QStringList, expected);

        FileSystem list;
        list.readText(text, withTimes);
        QStringList read;
        for (const QString &directory : qAsConst(list.directories))
            read << "dir:" + directory;
        for (const FileEntry &e : qAsConst(list.entries))
            read << QString("%1|%2|%3|%4|%5|%6")
                        .arg(QString::number(e.kind), e.path, e.name, QString::number(e.size),
                            e.md5, QString::number(e.mtime));
        for (auto it = list.imgContents.cbegin(); it != list.imgContents.cend(); ++it) {
            for (const FileEntry &e : it.value())
                read << QString("%1:%2|%3|%4")
                            .arg(QString::number(it.key()), e.name, QString::number(e.size), e.md5);
        }
        QCOMPARE(read, expected);
    }

    void normalizeSortsAndDeduplicates()
    {
        FileSystem list;
        list.directories = QStringList { "models", "Data", "data", "models", "" };
        list.entries
            = { makeFile("b", "first"), makeFile("a"), makeFile("b", "second"), makeFile("B") };
        list.imgContents[0] = { makeFile("z", "first"), makeFile("Z"), makeFile("z", "second") };
        list.normalize();
        // Ordinal over UTF-16: capitals sort before lower case. The first of equal paths stays.
        QStringList kept = list.directories;
        for (const FileEntry &entry : list.entries + list.imgContents[0])
            kept << entry.path + ':' + entry.md5;
        QCOMPARE(kept,
            QStringList({ "", "Data", "data", "models", "B:" + md5a, "a:" + md5a, "b:first",
                "Z:" + md5a, "z:first" }));
    }

    void fingerprintSeesWhatSyncNeeds_data()
    {
        // The list below with one replacement: whether each fingerprint notices it. Equal
        // fingerprints skip the synchronisation, so a change that matters must show.
        QTest::addColumn<QByteArray>("from");
        QTest::addColumn<QByteArray>("to");
        QTest::addColumn<bool>("timedChanges");
        QTest::addColumn<bool>("digestedChanges");
        QTest::newRow("file time") << QByteArray("m 100") << QByteArray("m 101") << true << false;
        QTest::newRow("file digest") << QByteArray("5 m") << QByteArray("5 n") << false << true;
        QTest::newRow("file size") << QByteArray("file 5") << QByteArray("file 6") << true << true;
        QTest::newRow("audio part size") << QByteArray("2 8") << QByteArray("2 9") << true << true;
        QTest::newRow("element digest")
            << QByteArray("2048 m") << QByteArray("2048 n") << false << true;
        QTest::newRow("element size")
            << QByteArray("x.dff 2048") << QByteArray("x.dff 4096") << true << true;
        QTest::newRow("archive path")
            << QByteArray("m/g.img g") << QByteArray("m/h.img g") << true << true;
        QTest::newRow("directory added")
            << QByteArray("data\n") << QByteArray("data\nmodels\n") << true << true;
        // Archives carry no digest. What the text leaves out (nameless records, elements of no
        // archive) must not count either: the file list fuzz target checks that on every input.
        QTest::newRow("archive sizes")
            << QByteArray("4096 0 1 7") << QByteArray("8192 0 1 9") << false << false;
        QTest::newRow("entry order")
            << QByteArray("data/a a file 5 m 100\naudio/s s audio_file 9 m 2 8 100")
            << QByteArray("audio/s s audio_file 9 m 2 8 100\ndata/a a file 5 m 100") << false
            << false;
    }

    void fingerprintSeesWhatSyncNeeds()
    {
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QFETCH(bool, timedChanges);
        QFETCH(bool, digestedChanges);
        const auto fingerprint = [](const QByteArray &text, bool withTimes) {
            FileSystem list;
            list.readText(text, true);
            return list.fingerprint(withTimes);
        };
        // Again with a character from U+D800 on, which takes the path that sorts as UTF-16.
        for (const QByteArray &wide :
            { QByteArray(), QByteArray("[directories]\n\xef\xbd\x9a\n") }) {
            const QByteArray list = "[directories]\ndata\n[entries]\n"
                                    "data/a a file 5 m 100\naudio/s s audio_file 9 m 2 8 100\n"
                                    "m/g.img g.img img_archive 4096 0 1 7\n[img] 0\nx.dff 2048 m\n"
                + wide;
            const QByteArray changed = QByteArray(list).replace(from, to);
            QVERIFY(changed != list);
            QCOMPARE(fingerprint(changed, true) != fingerprint(list, true), timedChanges);
            QCOMPARE(fingerprint(changed, false) != fingerprint(list, false), digestedChanges);
        }
    }
};

QTEST_GUILESS_MAIN(TestFileSystem)
#include "tst_filesystem.moc"
