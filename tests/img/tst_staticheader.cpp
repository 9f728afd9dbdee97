#include "app/runstate.h"
#include "img/archiveeditor.h"
#include "img/staticheader.h"
#include "imgtestarchive.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

using namespace ImgArchive;
using namespace ImgTest;

// Records what the conversion reports, the way the synchronisation worker receives it.
class ProgressRecorder : public QObject
{
    Q_OBJECT

public:
    QStringList files;
    QVector<QPair<quint64, quint64>> progress;
    // Sets the stop flag once this many elements are copied (0: never).
    quint64 stopAfter = 0;

public slots:
    void updateCurrentFile(const QString &currentFile, const QString &speed = QString())
    {
        files << currentFile + "|" + speed;
    }
    void updateProgressBar(quint64 maxValue, quint64 currentValue)
    {
        progress.append({ maxValue, currentValue });
        if (stopAfter && currentValue == stopAfter)
            quitRequested = true;
    }
};

class TestStaticHeader : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void recognition_data();
    void recognition();
    void standardArchiveIsRebuilt();
    void rebuildingIsIdempotent();
    void gapsAndRemovedElementsVanish();
    void emptyFileBecomesBareArchive();
    void largeArchiveGetsLargerDirectoryArea_data();
    void largeArchiveGetsLargerDirectoryArea();
    void damagedArchives_data();
    void damagedArchives();
    void failureLeavesArchiveAlone();

private:
    QString archivePath() const { return dir.filePath("gta3.img"); }
    QTemporaryDir dir;
};

void TestStaticHeader::init()
{
    quitRequested = false;
    for (const QFileInfo &info :
        QDir(dir.path()).entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (info.isDir())
            QDir(info.filePath()).removeRecursively();
        else
            QFile::remove(info.filePath());
    }
}

void TestStaticHeader::recognition_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("expected");
    const QByteArray placeholder = entryBytes(0, 0, 0, "v2staticHeader.v2sh");
    QTest::newRow("bare static header") << QByteArray("V2SH\x01\0\0\0", 8) + placeholder << true;
    QTest::newRow("standard magic") << QByteArray("VER2\x01\0\0\0", 8) + placeholder << false;
    QTest::newRow("count 0") << QByteArray("V2SH\0\0\0\0", 8) + placeholder << false;
    QTest::newRow("negative count") << QByteArray("V2SH\xff\xff\xff\xff", 8) + placeholder << false;
    QTest::newRow("other first name")
        << QByteArray("V2SH\x01\0\0\0", 8) + entryBytes(0, 0, 0, "v2staticHeader.v2s") << false;
    QTest::newRow("placeholder name prefix only counts")
        << QByteArray("V2SH\x01\0\0\0", 8) + entryBytes(0, 0, 0, "v2staticHeader.v2shXY") << true;
    QTest::newRow("cut before the name ends")
        << (QByteArray("V2SH\x01\0\0\0", 8) + placeholder).left(34) << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void TestStaticHeader::recognition()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, expected);
    QVERIFY(writeFile(archivePath(), bytes));
    QCOMPARE(isStaticHeaderArchive(archivePath()), expected);
    QVERIFY(!isStaticHeaderArchive(dir.filePath("missing.img")));
}

void TestStaticHeader::standardArchiveIsRebuilt()
{
    const QVector<Element> elements = {
        { "zeta.dff", pattern(5000, 1) },
        { "alpha.txd", pattern(2048, 2) },
        { "with space.dff", pattern(100, 3) },
        { "", pattern(100, 4) },
        { "packed.col", pattern(4096, 5), 0, 1, 2 },
        { "empty.ifp", QByteArray() },
    };
    QVERIFY(writeFile(archivePath(), buildArchive("VER2", elements)));
    ProgressRecorder recorder;
    QVERIFY(convertToStaticHeader(archivePath(), &recorder));
    QVERIFY(isStaticHeaderArchive(archivePath()));
    QVERIFY(!QFile::exists(staticHeaderTempPath(archivePath())));
    QCOMPARE(staticHeaderTempPath(archivePath()), dir.filePath("gta3.img.tmp"));
    QCOMPARE(staticHeaderTempPath(dir.filePath("gta3.dat.img")), dir.filePath("gta3.img.tmp"));

    const QByteArray bytes = readFile(archivePath());
    // Directory order, not sorted; space-named and nameless elements dropped; data packed.
    QCOMPARE(bytes.left(8), QByteArray("V2SH\x05\0\0\0", 8));
    QCOMPARE(bytes.mid(8, 32), entryBytes(0, 0, 0, "v2staticHeader.v2sh"));
    QCOMPARE(bytes.mid(40, 32), entryBytes(200, 3, 0, "zeta.dff"));
    QCOMPARE(bytes.mid(72, 32), entryBytes(203, 1, 0, "alpha.txd"));
    QCOMPARE(bytes.mid(104, 32), entryBytes(204, 1, 2, "packed.col"));
    QCOMPARE(bytes.mid(136, 32), entryBytes(206, 0, 0, "empty.ifp"));
    QCOMPARE(bytes.size(), 206 * 2048);
    QCOMPARE(bytes.mid(200 * 2048, 5000), elements[0].data);
    QCOMPARE(bytes.mid(203 * 2048, 2048), elements[1].data);
    QCOMPARE(bytes.mid(204 * 2048, 4096), elements[4].data);

    QCOMPARE(recorder.files, QStringList({ "gta3.img|" }));
    const QVector<QPair<quint64, quint64>> expected
        = { { 0, 0 }, { 4, 1 }, { 4, 2 }, { 4, 3 }, { 4, 4 } };
    QCOMPARE(recorder.progress, expected);
}

void TestStaticHeader::rebuildingIsIdempotent()
{
    QVERIFY(writeFile(archivePath(),
        buildArchive("VER2", { { "b", pattern(3000, 6) }, { "a", pattern(10, 7) } })));
    QVERIFY(convertToStaticHeader(archivePath()));
    const QByteArray once = readFile(archivePath());
    QVERIFY(convertToStaticHeader(archivePath()));
    const QByteArray twice = readFile(archivePath());
    QCOMPARE(le32(twice, 4), 3u);
    QCOMPARE(twice.left(136), once.left(136));
    QCOMPARE(twice.mid(409600), once.mid(409600));
    QCOMPARE(twice.size(), once.size());
}

void TestStaticHeader::gapsAndRemovedElementsVanish()
{
    QVERIFY(createEmptyArchive(archivePath()));
    ArchiveEditor editor(archivePath());
    QVERIFY(editor.open());
    QVERIFY(editor.appendEntry("grow", pattern(2048, 8)));
    QVERIFY(editor.appendEntry("keep", pattern(4096, 9)));
    QVERIFY(editor.appendEntry("last", pattern(2048 * 5, 10)));
    const QByteArray grown = pattern(3 * 2048, 11);
    QVERIFY(editor.replaceEntry(0, grown)); // moves behind "last", leaving a gap at 200
    editor.close();
    QCOMPARE(QFileInfo(archivePath()).size(), qint64(211 * 2048));

    QVERIFY(editor.open());
    editor.removeEntry(editor.findEntry("grow")); // now the element with the highest offset
    editor.close();
    QCOMPARE(QFileInfo(archivePath()).size(), qint64(208 * 2048));

    QVERIFY(convertToStaticHeader(archivePath()));
    QCOMPARE(QFileInfo(archivePath()).size(), qint64((200 + 2 + 5) * 2048));
    QVERIFY(editor.open());
    QCOMPARE(editor.entries().size(), 2);
    QCOMPARE(editor.entries().at(0).offset, 200u);
    QCOMPARE(editor.readEntry(editor.findEntry("keep")), pattern(4096, 9));
    QCOMPARE(editor.readEntry(editor.findEntry("last")), pattern(2048 * 5, 10));
    editor.close();
}

void TestStaticHeader::emptyFileBecomesBareArchive()
{
    QVERIFY(writeFile(archivePath(), QByteArray()));
    QVERIFY(convertToStaticHeader(archivePath()));
    const QByteArray bytes = readFile(archivePath());
    QCOMPARE(bytes.size(), 409600);
    QCOMPARE(bytes.left(8), QByteArray("V2SH\x01\0\0\0", 8));
    QVERIFY(isStaticHeaderArchive(archivePath()));
}

void TestStaticHeader::largeArchiveGetsLargerDirectoryArea_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<quint32>("firstSector");
    QTest::newRow("12798 fill one area") << 12798 << 200u;
    // One more and the directory would reach byte 409600: it gets a second area, so no entry
    // is cut off by the length of the directory area and the data starts at sector 400.
    QTest::newRow("12799 need two areas") << 12799 << 400u;
    QTest::newRow("13000") << 13000 << 400u;
}

void TestStaticHeader::largeArchiveGetsLargerDirectoryArea()
{
    QFETCH(int, count);
    QFETCH(quint32, firstSector);
    // Every thousandth element has a sector of data, the others are empty, to keep it small.
    QVector<Element> elements;
    for (int i = 0; i < count; ++i)
        elements.append({ QByteArray("e") + QByteArray::number(i),
            i % 1000 ? QByteArray() : pattern(2048, i) });
    const quint32 dataSectors = quint32((count + 999) / 1000);
    QVERIFY(writeFile(archivePath(), buildArchive("VER2", elements)));
    QVERIFY(convertToStaticHeader(archivePath()));
    QVERIFY(isStaticHeaderArchive(archivePath()));
    const QByteArray bytes = readFile(archivePath());
    QCOMPARE(le32(bytes, 4), quint32(count + 1));
    QCOMPARE(le32(bytes, 40), firstSector);
    const QByteArray lastName = QByteArray("e") + QByteArray::number(count - 1);
    QCOMPARE(bytes.mid(40 + 32 * (count - 1), 32),
        entryBytes(firstSector + dataSectors, 0, 0, lastName));
    QCOMPARE(bytes.size(), int(firstSector + dataSectors) * 2048);

    ArchiveEditor editor(archivePath());
    QVERIFY(editor.open());
    QCOMPARE(editor.entries().size(), count);
    QCOMPARE(editor.readEntry(editor.findEntry("e12000")), pattern(2048, 12000));
    // A full single area takes no more entries; a second area has room to grow.
    QCOMPARE(editor.appendEntry("added", pattern(100, 1)), firstSector > 200);
    editor.close();
    QVERIFY(editor.open());
    QCOMPARE(editor.entries().size(), count + (firstSector > 200 ? 1 : 0));
    QCOMPARE(editor.readEntry(editor.findEntry("e0")), pattern(2048, 0));
    editor.close();
}

void TestStaticHeader::damagedArchives_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("kept");
    QTest::addColumn<qint64>("size");

    QByteArray huge(100, '\0');
    std::memcpy(huge.data(), "VER2\xff\xff\xff\x7f", 8);
    QTest::newRow("count 0x7fffffff in 100 bytes") << huge << QStringList() << qint64(409600);

    QByteArray negative = buildArchive("VER2", { { "a", pattern(10, 1) } });
    qToLittleEndian<qint32>(-1, negative.data() + 4);
    QTest::newRow("negative count") << negative << QStringList() << qint64(409600);

    QByteArray truncated
        = buildArchive("VER2", { { "one", pattern(10, 2) }, { "two", pattern(10, 3) } });
    truncated.resize(8 + 32 + 20);
    QTest::newRow("cut off mid-directory") << truncated << QStringList() << qint64(409600);

    // The second element starts inside the file but its end is cut off: what is there is
    // carried, the rest reads as zeros. The third starts past the end: it has no data at all.
    QByteArray cut = buildArchive("VER2",
        { { "whole", pattern(2048, 4) }, { "cut", pattern(4096, 5) },
            { "gone", pattern(2048, 6) } });
    cut.resize(2048 * 3 + 100);
    QTest::newRow("data cut short") << cut << QStringList({ "whole", "cut" }) << qint64(203 * 2048);

    QByteArray far = buildArchive("VER2", { { "ok", pattern(2048, 7) } });
    far.replace(4, 4, QByteArray("\x02\0\0\0", 4));
    far.replace(40, 32, entryBytes(0x7fffffff, 0xffff, 0, "far.dff"));
    QTest::newRow("offset past the end") << far << QStringList({ "ok" }) << qint64(201 * 2048);
}

void TestStaticHeader::damagedArchives()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, kept);
    QFETCH(qint64, size);
    QVERIFY(writeFile(archivePath(), bytes));
    QVERIFY(convertToStaticHeader(archivePath()));
    QVERIFY(isStaticHeaderArchive(archivePath()));
    QCOMPARE(QFileInfo(archivePath()).size(), size);
    ArchiveEditor editor(archivePath());
    QVERIFY(editor.open());
    QStringList names;
    for (const DirectoryEntry &entry : editor.entries())
        names << entry.name;
    QCOMPARE(names, kept);
    if (kept.contains("cut")) {
        const QByteArray data = editor.readEntry(editor.findEntry("cut"));
        QCOMPARE(data.left(2048 + 100), pattern(4096, 5).left(2048 + 100));
        QCOMPARE(data.mid(2048 + 100), QByteArray(4096 - 2048 - 100, '\0'));
    }
    editor.close();
}

void TestStaticHeader::failureLeavesArchiveAlone()
{
    QVector<Element> elements;
    for (int i = 0; i < 6; ++i)
        elements.append({ QByteArray("el") + QByteArray::number(i), pattern(3000, i) });
    const QByteArray original = buildArchive("VER2", elements);

    // Missing archive: nothing is created.
    QVERIFY(!convertToStaticHeader(archivePath()));
    QVERIFY(!QFile::exists(archivePath()));
    QVERIFY(!QFile::exists(staticHeaderTempPath(archivePath())));

    // The temporary name is taken by a directory, so no temporary file can be written.
    QVERIFY(writeFile(archivePath(), original));
    QVERIFY(QDir(dir.path()).mkdir("gta3.img.tmp"));
    QVERIFY(!convertToStaticHeader(archivePath()));
    QCOMPARE(readFile(archivePath()), original);
    QVERIFY(QDir(dir.filePath("gta3.img.tmp")).removeRecursively());

    // A stop request halfway through keeps the original and removes the half-written copy.
    ProgressRecorder recorder;
    recorder.stopAfter = 3;
    QVERIFY(!convertToStaticHeader(archivePath(), &recorder));
    QCOMPARE(recorder.progress.last(), qMakePair(quint64(6), quint64(3)));
    QCOMPARE(readFile(archivePath()), original);
    QVERIFY(!QFile::exists(staticHeaderTempPath(archivePath())));
    quitRequested = false;

    // Entries that all claim the same data with the largest size would multiply a small file
    // into gigabytes of zeros; such a directory is refused.
    QByteArray overlapping = buildArchive("VER2", { { "x", pattern(2048, 1) } }, 200);
    QByteArray directory;
    for (int i = 0; i < 8; ++i)
        directory += entryBytes(200, 0xffff, 0, QByteArray("x") + QByteArray::number(i));
    overlapping.replace(4, 4, QByteArray("\x08\0\0\0", 4));
    overlapping.replace(8, directory.size(), directory);
    QVERIFY(writeFile(archivePath(), overlapping));
    QVERIFY(!convertToStaticHeader(archivePath()));
    QCOMPARE(readFile(archivePath()), overlapping);

    // The archive is replaced in one step: a file of the final name never goes missing, and the
    // converted one still opens under the old name after a failure-free run.
    QVERIFY(writeFile(archivePath(), original));
    QVERIFY(convertToStaticHeader(archivePath()));
    QVERIFY(isStaticHeaderArchive(archivePath()));
}

QTEST_GUILESS_MAIN(TestStaticHeader)
#include "tst_staticheader.moc"
