#include "app/runstate.h"
#include "img/archiveeditor.h"
#include "img/imgformat.h"
#include "img/staticheader.h"
#include "testfiles.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <cstring>

using namespace ImgArchive;
using TestFiles::bytes;
using TestFiles::readFile;
using TestFiles::writeFile;

namespace {

// Version-2 archives are built here byte by byte, independently of the code under test, so that
// the tests check the format rather than the editor's own idea of it.
struct Element
{
    QByteArray name;
    QByteArray data;
    // Size fields; when both are 0 the streaming size is taken from the data.
    quint16 streamingSize = 0;
    quint16 sizeInArchive = 0;
};

QByteArray entryBytes(
    quint32 offset, quint16 streamingSize, quint16 sizeInArchive, const QByteArray &name)
{
    QByteArray record(32, '\0');
    qToLittleEndian<quint32>(offset, record.data());
    qToLittleEndian<quint16>(streamingSize, record.data() + 4);
    qToLittleEndian<quint16>(sizeInArchive, record.data() + 6);
    std::memcpy(record.data() + 8, name.constData(), size_t(qMin(name.size(), 24)));
    return record;
}

// Header, directory and every element's data in whole sectors, zero padded, one element behind
// the other from firstSector on (0: right behind the directory).
QByteArray buildArchive(
    const QByteArray &magic, const QVector<Element> &elements, quint32 firstSector = 0)
{
    QByteArray head = magic + QByteArray(4, '\0');
    qToLittleEndian<qint32>(elements.size(), head.data() + 4);
    if (!firstSector)
        firstSector = quint32((8 + 32 * elements.size() + 2047) / 2048);
    quint32 next = firstSector;
    QByteArray data;
    for (const Element &element : elements) {
        const quint16 streaming = element.streamingSize || element.sizeInArchive
            ? element.streamingSize
            : quint16((element.data.size() + 2047) / 2048);
        const quint32 sectors = element.sizeInArchive ? element.sizeInArchive : streaming;
        head += entryBytes(next, streaming, element.sizeInArchive, element.name);
        data += element.data.leftJustified(int(sectors) * 2048, '\0');
        next += sectors;
    }
    return head.leftJustified(int(firstSector) * 2048, '\0') + data;
}

QString names(const ArchiveEditor &editor)
{
    QStringList listed;
    for (const DirectoryEntry &entry : editor.entries())
        listed << entry.name;
    return listed.join(QLatin1Char(','));
}

const QByteArray placeholder = entryBytes(0, 0, 0, "v2staticHeader.v2sh");

} // namespace

// Records what the conversion reports, the way the synchronisation worker receives it.
class ProgressRecorder : public QObject
{
    Q_OBJECT

public:
    QStringList files;
    QVector<QPair<quint64, quint64>> progress;
    quint64 stopAfter = 0; // sets the stop flag once this many elements are copied

public slots:
    void updateCurrentFile(const QString &currentFile, const QString &) { files << currentFile; }
    void updateProgressBar(quint64 maxValue, quint64 currentValue)
    {
        progress.append({ maxValue, currentValue });
        if (stopAfter && currentValue == stopAfter)
            quitRequested = true;
    }
};

class TestImgArchive : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString path() const { return dir.filePath("gta3.img"); }

private slots:
    void init()
    {
        quitRequested = false;
        QDir(dir.path()).removeRecursively();
        QDir().mkpath(dir.path());
    }

    void emptyAndNewArchives()
    {
        // An existing file, an empty one and a missing one all become a bare archive.
        QVERIFY(writeFile(path(), bytes(500000, 1)));
        QVERIFY(createEmptyArchive(path()));
        const QByteArray bare = readFile(path());
        QCOMPARE(bare, (QByteArray("V2SH\x01\0\0\0", 8) + placeholder).leftJustified(409600, '\0'));
        QVERIFY(writeFile(path(), QByteArray()));
        QVERIFY(convertToStaticHeader(path()));
        QCOMPARE(readFile(path()), bare);

        QVERIFY(QFile::remove(path()));
        ArchiveEditor editor(path());
        QVERIFY(editor.open());
        const QByteArray data = bytes(3000, 2);
        // 24 bytes of UTF-8 fill the name field, without a NUL.
        const QString name = QString::fromUtf8("модельмодель");
        QVERIFY(editor.appendEntry(name, data));
        editor.close();
        const QByteArray bytes = readFile(path());
        QCOMPARE(bytes.left(72),
            QByteArray("V2SH\x02\0\0\0", 8) + placeholder + entryBytes(200, 2, 0, name.toUtf8()));
        QCOMPARE(bytes.mid(409600), data + QByteArray(4096 - 3000, '\0'));
        QVERIFY(editor.open());
        QCOMPARE(editor.findEntry(name.toUpper()), 0);
    }

    void lookupRemovalAndOrdinalSort()
    {
        QVERIFY(createEmptyArchive(path()));
        ArchiveEditor editor(path());
        QVERIFY(editor.open());
        for (const char *name : { "b.txd", "a.dff", "B.col", "_x", "Z.ifp" })
            QVERIFY(editor.appendEntry(name, bytes(10, 8)));
        QVERIFY(editor.appendEntry("A.DFF", bytes(5000, 9))); // same name in other case
        QCOMPARE(editor.findEntry("A.DFF"), 1); // the first of equal names
        QCOMPARE(editor.findEntry("b.COL"), 2);
        QCOMPARE(editor.findEntry("missing"), -1);
        editor.removeEntry(1);
        QCOMPARE(editor.findEntry("a.dff"), 5);
        QCOMPARE(editor.entries().size(), 6); // kept in place until written
        QCOMPARE(editor.liveEntryCount(), 5);
        // Refused, writing nothing: names that do not fit the 24-byte field, a removed entry, and
        // data beyond the 16-bit sector count.
        for (const QString &name :
            QStringList { QString(23, 'n') + QChar(0x439), QString(), QString("a") + QChar(0) })
            QVERIFY(!editor.appendEntry(name, "x"));
        QVERIFY(!editor.replaceEntry(1, "x"));
        QVERIFY(!editor.appendEntry("big", QByteArray(65535 * 2048 + 1, '\0')));
        QVERIFY(editor.writeDirectory());
        QCOMPARE(QFileInfo(path()).size(), qint64(208 * 2048));

        // Removing the element at the end shortens the file.
        editor.removeEntry(editor.findEntry("A.DFF"));
        editor.close();
        QCOMPARE(QFileInfo(path()).size(), qint64(205 * 2048));
        QVERIFY(editor.open());
        QCOMPARE(names(editor), QStringLiteral("B.col,Z.ifp,_x,b.txd"));
    }

    void foreignNamesSurviveRewrite()
    {
        // A name in an 8-bit code page is not UTF-8, and a field without NUL, as other tools
        // write it, reads as all 24 bytes: decoding and re-encoding either would alter it.
        const QByteArray full(24, 'n'), codePage("\xcf\xf0\xe8.dff");
        const QByteArray records = entryBytes(200, 1, 1, full) + entryBytes(201, 2, 0, codePage);
        QVERIFY(writeFile(path(), readFile(QStringLiteral(IMG_SEEDS "/full_name_field.img"))));
        QVERIFY(convertToStaticHeader(path()));
        QCOMPARE(readFile(path()).mid(40, 64), records);
        ArchiveEditor editor(path());
        QVERIFY(editor.open());
        QVERIFY(editor.appendEntry("\x01 sorted first", bytes(1, 15)));
        editor.close();
        const QByteArray bytes = readFile(path());
        QCOMPARE(bytes.mid(72, 64), records);
        QCOMPARE(bytes.mid(200 * 2048, 11), QByteArray(10, 'N') + '\0');
    }

    void hostileArchives_data()
    {
        QTest::addColumn<QByteArray>("archive");
        QTest::addColumn<int>("convertedSectors");
        QTest::addColumn<QString>("kept");
        // The fuzz target's seeds, and what the rebuild keeps of them beyond its properties.
        const QString seeds = QStringLiteral(IMG_SEEDS "/");
        QTest::newRow("negative count") << readFile(seeds + "count_negative.img") << 200 << "";
        QTest::newRow("count 0x7fffffff in 100 bytes")
            << readFile(seeds + "count_huge.img") << 200 << "zero";
        QTest::newRow("cut off mid-directory") << readFile(seeds + "truncated.img") << 200 << "";
        // An empty element needs no data of its own: the rebuild keeps it.
        QTest::newRow("offsets past the end or into the directory")
            << readFile(seeds + "offsets_past_end.img") << 200 << "empty.far";
        QByteArray count = buildArchive("V2SH", { { "real", bytes(4096, 5) } }, 200);
        qToLittleEndian<qint32>(0x7fffffff, count.data() + 4);
        QTest::newRow("count reaching into the data") << count << 202 << "real";

        // The second element's end is cut off: what is there is carried, the rest reads as
        // zeros. The third starts past the end: it has no data at all.
        QByteArray cut = buildArchive("VER2",
            { { "whole", bytes(2048, 4) }, { "cut", bytes(4096, 5) }, { "gone", bytes(2048, 6) } });
        cut.resize(2048 * 3 + 100);
        QTest::newRow("data cut short") << cut << 203 << "whole,cut";
    }

    void hostileArchives()
    {
        QFETCH(QByteArray, archive);
        QFETCH(int, convertedSectors);
        QFETCH(QString, kept);
        QVERIFY(!archive.isEmpty());
        QVERIFY(writeFile(path(), archive));
        QVERIFY(convertToStaticHeader(path()));
        QCOMPARE(QFileInfo(path()).size(), qint64(convertedSectors) * 2048);
        ArchiveEditor editor(path());
        QVERIFY(editor.open());
        QCOMPARE(names(editor), kept);
        if (kept.contains("cut")) {
            const QByteArray cutData = editor.readEntry(editor.findEntry("cut"));
            QCOMPARE(cutData, bytes(4096, 5).left(2148) + QByteArray(4096 - 2148, '\0'));
        }
    }

    void recognition_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("expected");
        const QByteArray header("V2SH\x01\0\0\0", 8);
        QTest::newRow("bare static header") << header + placeholder << true;
        QTest::newRow("standard magic") << QByteArray("VER2\x01\0\0\0", 8) + placeholder << false;
        QTest::newRow("count 0") << QByteArray("V2SH\0\0\0\0", 8) + placeholder << false;
        QTest::newRow("other first name")
            << header + entryBytes(0, 0, 0, "v2staticHeader.v2s") << false;
        QTest::newRow("placeholder name prefix only counts")
            << header + entryBytes(0, 0, 0, "v2staticHeader.v2shXY") << true;
        QTest::newRow("cut before the name ends") << (header + placeholder).left(34) << false;
    }

    void recognition()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, expected);
        QVERIFY(writeFile(path(), bytes));
        QCOMPARE(isStaticHeaderArchive(path()), expected);
        QVERIFY(!isStaticHeaderArchive(dir.filePath("missing.img")));
    }

    void standardArchiveIsRebuilt()
    {
        const QVector<Element> elements = {
            { "zeta.dff", bytes(5000, 1) },
            { "alpha.txd", bytes(2048, 2) },
            { "with space.dff", bytes(100, 3) },
            { "", bytes(100, 4) },
            { "packed.col", bytes(4096, 5), 1, 2 },
            { "empty.ifp", QByteArray() },
        };
        const QByteArray original = buildArchive("VER2", elements);
        QVERIFY(writeFile(path(), original));
        ArchiveEditor editor(path());
        QVERIFY(editor.open());
        // A nameless element is no entry.
        QCOMPARE(names(editor),
            QStringLiteral("zeta.dff,alpha.txd,with space.dff,packed.col,empty.ifp"));
        for (const Element &element : elements) {
            if (!element.name.isEmpty())
                QCOMPARE(editor.readEntry(editor.findEntry(element.name)).left(element.data.size()),
                    element.data);
        }
        // New data stays out of the area a static-header directory may grow into.
        QCOMPARE(editor.nextFreeSector(), 200u);
        editor.close();
        QCOMPARE(readFile(path()), original); // only read, so not rewritten

        ProgressRecorder recorder;
        QVERIFY(convertToStaticHeader(path(), &recorder));
        const QByteArray rebuilt = readFile(path());
        // Directory order, not sorted; space-named and nameless elements dropped; data packed.
        QCOMPARE(rebuilt.left(168),
            QByteArray("V2SH\x05\0\0\0", 8) + placeholder + entryBytes(200, 3, 0, "zeta.dff")
                + entryBytes(203, 1, 0, "alpha.txd") + entryBytes(204, 1, 2, "packed.col")
                + entryBytes(206, 0, 0, "empty.ifp"));
        QCOMPARE(rebuilt.mid(200 * 2048),
            elements[0].data.leftJustified(3 * 2048, '\0') + elements[1].data + elements[4].data);
        QCOMPARE(recorder.files, QStringList({ "gta3.img" }));
        QCOMPARE(recorder.progress,
            (QVector<QPair<quint64, quint64>> {
                { 0, 0 }, { 4, 1 }, { 4, 2 }, { 4, 3 }, { 4, 4 } }));

        // A second rebuild compacts without a second placeholder; the editor never lists it.
        QVERIFY(convertToStaticHeader(path()));
        QCOMPARE(readFile(path()), rebuilt);
        QVERIFY(editor.open());
        QCOMPARE(names(editor), QStringLiteral("zeta.dff,alpha.txd,packed.col,empty.ifp"));

        // Data that fits the element's sectors stays in place; more moves behind the rest. That
        // and a removed element leave gaps that a rebuild closes.
        QVERIFY(editor.replaceEntry(2, bytes(4096, 12)));
        QVERIFY(editor.replaceEntry(0, bytes(5 * 2048, 11)));
        editor.removeEntry(1);
        editor.close();
        QCOMPARE(QFileInfo(path()).size(), qint64(211 * 2048));
        QVERIFY(convertToStaticHeader(path()));
        QCOMPARE(QFileInfo(path()).size(), qint64(207 * 2048));
        QVERIFY(editor.open());
        QCOMPARE(names(editor), QStringLiteral("empty.ifp,packed.col,zeta.dff"));
        QCOMPARE(editor.entries().at(1).offset, 200u);
        QCOMPARE(editor.readEntry(1), bytes(4096, 12));
        QCOMPARE(editor.readEntry(2), bytes(5 * 2048, 11));
    }

    void directoryAreas_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<quint32>("firstSector");
        QTest::newRow("12798 fill one area") << 12798 << 200u;
        // One more and the directory would reach byte 409600: it gets a second area, so no entry
        // is cut off by the length of the directory area and the data starts at sector 400.
        QTest::newRow("12799 need two areas") << 12799 << 400u;
    }

    void directoryAreas()
    {
        QFETCH(int, count);
        QFETCH(quint32, firstSector);
        // Every thousandth element has a sector of data, the others are empty, to keep it small.
        QVector<Element> elements;
        for (int i = 0; i < count; ++i)
            elements.append({ QByteArray("e") + QByteArray::number(i),
                i % 1000 ? QByteArray() : bytes(2048, i) });
        const quint32 dataSectors = quint32((count + 999) / 1000);
        QVERIFY(writeFile(path(), buildArchive("VER2", elements)));
        QVERIFY(convertToStaticHeader(path()));
        const QByteArray rebuilt = readFile(path());
        QCOMPARE(qFromLittleEndian<qint32>(rebuilt.constData() + 4), count + 1);
        QCOMPARE(rebuilt.mid(40, 32), entryBytes(firstSector, 1, 0, "e0"));
        QCOMPARE(rebuilt.mid(40 + 32 * (count - 1), 32),
            entryBytes(
                firstSector + dataSectors, 0, 0, QByteArray("e") + QByteArray::number(count - 1)));
        QCOMPARE(rebuilt.size(), int(firstSector + dataSectors) * 2048);

        // Empty elements occupy no sectors, so the directory area is what runs out: a full one
        // takes an element only in place of a removed one, a second one has room to grow.
        ArchiveEditor editor(path());
        QVERIFY(editor.open());
        const QByteArray data = bytes(100, 1);
        QCOMPARE(editor.appendEntry("added", QByteArray()), firstSector > 200);
        editor.removeEntry(editor.findEntry("e5"));
        QVERIFY(editor.appendEntry("one.more", data));
        QCOMPARE(editor.appendEntry("two.more", data), firstSector > 200);
        editor.close();
        QVERIFY(editor.open());
        QCOMPARE(editor.entries().size(), firstSector > 200 ? count + 2 : count);
        QCOMPARE(editor.readEntry(editor.findEntry("e12000")), bytes(2048, 12000));
        QCOMPARE(editor.readEntry(editor.findEntry("one.more")).left(100), data);
    }

    void failureLeavesArchiveAlone()
    {
        // 63 entries fill a standard archive's first sector.
        QVector<Element> elements;
        for (int i = 0; i < 63; ++i)
            elements.append({ QByteArray("el") + QByteArray::number(i), bytes(100, i) });
        const QByteArray original = buildArchive("VER2", elements);
        // Missing archive: nothing is created.
        QVERIFY(!convertToStaticHeader(path()));
        QVERIFY(!QFile::exists(path()));
        QVERIFY(!QFile::exists(staticHeaderTempPath(path())));

        // The temporary name is taken by a directory, so no temporary file can be written.
        QVERIFY(writeFile(path(), original));
        QVERIFY(QDir(dir.path()).mkdir("gta3.img.tmp"));
        QVERIFY(!convertToStaticHeader(path()));
        QCOMPARE(readFile(path()), original);
        QVERIFY(QDir(dir.filePath("gta3.img.tmp")).removeRecursively());

        // A stop request halfway through keeps the original and removes the half-written copy.
        ProgressRecorder recorder;
        recorder.stopAfter = 3;
        QVERIFY(!convertToStaticHeader(path(), &recorder));
        QCOMPARE(recorder.progress.last(), qMakePair(quint64(63), quint64(3)));
        QCOMPARE(readFile(path()), original);
        QVERIFY(!QFile::exists(staticHeaderTempPath(path())));

        // A static directory would reach into the first element: the editor does not rewrite it.
        ArchiveEditor editor(path());
        QVERIFY(editor.open());
        QVERIFY(!editor.writeDirectory());
        editor.close();
        QCOMPARE(readFile(path()), original);
    }
};

QTEST_GUILESS_MAIN(TestImgArchive)
#include "tst_imgarchive.moc"
