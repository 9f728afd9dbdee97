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

QByteArray pattern(int size, int seed)
{
    QByteArray bytes(size, '\0');
    quint32 state = 2166136261u ^ quint32(seed);
    for (int i = 0; i < size; ++i) {
        state = state * 16777619u + 0x9e3779b9u;
        bytes[i] = char(state >> 24);
    }
    return bytes;
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

quint32 le32(const QByteArray &bytes, int at)
{
    return qFromLittleEndian<quint32>(bytes.constData() + at);
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

class TestImgArchive : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString path() const { return dir.filePath("gta3.img"); }
    // A bare static-header archive at path(), open in editor.
    bool openEmpty(ArchiveEditor &editor) { return createEmptyArchive(path()) && editor.open(); }

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
        QVERIFY(writeFile(path(), pattern(500000, 1)));
        QVERIFY(createEmptyArchive(path()));
        const QByteArray bare = readFile(path());
        QCOMPARE(bare.size(), 409600);
        QCOMPARE(bare.left(40), QByteArray("V2SH\x01\0\0\0", 8) + placeholder);
        QVERIFY(writeFile(path(), QByteArray()));
        QVERIFY(convertToStaticHeader(path()));
        QCOMPARE(readFile(path()), bare);

        QVERIFY(QFile::remove(path()));
        ArchiveEditor editor(path());
        QVERIFY(editor.open());
        QCOMPARE(editor.entries().size(), 0);
        QCOMPARE(editor.nextFreeSector(), 200u);
        const QByteArray data = pattern(3000, 2);
        QVERIFY(editor.appendEntry("a.dff", data));
        QVERIFY(editor.writeDirectory());
        const QByteArray bytes = readFile(path());
        QCOMPARE(bytes.left(72),
            QByteArray("V2SH\x02\0\0\0", 8) + placeholder + entryBytes(200, 2, 0, "a.dff"));
        QCOMPARE(bytes.mid(409600), data + QByteArray(4096 - 3000, '\0'));
        QCOMPARE(editor.readEntry(0), bytes.mid(409600));
        editor.close();
        QCOMPARE(readFile(path()), bytes);
    }

    void replaceKeepsOrMovesData_data()
    {
        QTest::addColumn<int>("newSize");
        QTest::addColumn<quint32>("expectedOffset");
        QTest::addColumn<int>("fileSectors");
        // Elements a (3 sectors at 200) and b (1 sector at 203); a is replaced.
        QTest::newRow("same sectors") << 3 * 2048 << 200u << 204;
        QTest::newRow("empty data") << 0 << 200u << 204;
        QTest::newRow("one sector more") << 3 * 2048 + 1 << 204u << 208;
    }

    void replaceKeepsOrMovesData()
    {
        QFETCH(int, newSize);
        QFETCH(quint32, expectedOffset);
        QFETCH(int, fileSectors);
        ArchiveEditor editor(path());
        QVERIFY(openEmpty(editor));
        QVERIFY(editor.appendEntry("a", pattern(3 * 2048, 3)));
        QVERIFY(editor.appendEntry("b", pattern(10, 4)));
        const QByteArray data = pattern(newSize, 5);
        QVERIFY(editor.replaceEntry(0, data));
        QCOMPARE(editor.entries().at(0).offset, expectedOffset);
        QCOMPARE(editor.entrySectors(0), quint32((newSize + 2047) / 2048));
        QCOMPARE(editor.entries().at(0).sizeInArchive, quint16(0));
        editor.close();
        QCOMPARE(QFileInfo(path()).size(), qint64(fileSectors) * 2048);
        QVERIFY(editor.open());
        QCOMPARE(editor.readEntry(editor.findEntry("a")).left(newSize), data);
        QCOMPARE(editor.readEntry(editor.findEntry("b")).left(10), pattern(10, 4));
    }

    void lookupRemovalAndOrdinalSort()
    {
        ArchiveEditor editor(path());
        QVERIFY(openEmpty(editor));
        for (const char *name : { "b.txd", "a.dff", "B.col", "_x", "Z.ifp" })
            QVERIFY(editor.appendEntry(name, pattern(10, 8)));
        QVERIFY(editor.appendEntry("A.DFF", pattern(5000, 9))); // same name in other case
        QCOMPARE(editor.findEntry("A.DFF"), 1); // the first of equal names
        QCOMPARE(editor.findEntry("b.COL"), 2);
        QCOMPARE(editor.findEntry("missing"), -1);
        editor.removeEntry(1);
        QCOMPARE(editor.findEntry("a.dff"), 5);
        QCOMPARE(editor.readEntry(1), QByteArray());
        QCOMPARE(editor.entrySectors(1), 0u);
        QCOMPARE(editor.entries().size(), 6); // kept in place until written
        QCOMPARE(editor.liveEntryCount(), 5);
        QVERIFY(editor.writeDirectory());
        QCOMPARE(editor.entries().size(), 5);
        QCOMPARE(QFileInfo(path()).size(), qint64(208 * 2048));

        // Removing the element at the end shortens the file.
        editor.removeEntry(editor.findEntry("A.DFF"));
        editor.close();
        QCOMPARE(QFileInfo(path()).size(), qint64(205 * 2048));
        QVERIFY(editor.open());
        QCOMPARE(names(editor), QStringLiteral("B.col,Z.ifp,_x,b.txd"));
    }

    void elementNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("24 bytes fill the field") << QString(24, 'n') << true;
        QTest::newRow("25 bytes") << QString(25, 'n') << false;
        QTest::newRow("12 Cyrillic letters, 24 bytes") << QString::fromUtf8("модельмодель") << true;
        QTest::newRow("23 ASCII + one two-byte letter") << QString(23, 'n') + QChar(0x439) << false;
        QTest::newRow("empty") << QString() << false;
        QTest::newRow("with NUL") << QString("a") + QChar(0) + "b" << false;
    }

    void elementNames()
    {
        QFETCH(QString, name);
        QFETCH(bool, accepted);
        ArchiveEditor editor(path());
        QVERIFY(openEmpty(editor));
        QCOMPARE(editor.appendEntry(name, pattern(100, 13)), accepted);
        editor.close();
        const QByteArray bytes = readFile(path());
        QCOMPARE(bytes.size(), accepted ? 409600 + 2048 : 409600);
        if (!accepted)
            return;
        QCOMPARE(bytes.mid(48, 24), name.toUtf8().leftJustified(24, '\0'));
        QVERIFY(editor.open());
        QCOMPARE(editor.entries().at(0).name, name);
        QCOMPARE(editor.findEntry(name.toUpper()), 0);
    }

    void foreignNamesSurviveRewrite_data()
    {
        QTest::addColumn<QByteArray>("name");
        // A name in an 8-bit code page is not UTF-8; decoding and re-encoding would alter it.
        QTest::newRow("code page 1251") << QByteArray("\xcf\xf0\xe8\xe2\xe5\xf2.dff");
        // A field without NUL, as other tools write it, reads as all 24 bytes.
        QTest::newRow("invalid UTF-8, full field, no NUL") << QByteArray(24, '\xff');
    }

    void foreignNamesSurviveRewrite()
    {
        QFETCH(QByteArray, name);
        QVERIFY(writeFile(path(), buildArchive("VER2", { { name, pattern(2048, 14) } }, 200)));
        QVERIFY(convertToStaticHeader(path()));
        QCOMPARE(readFile(path()).mid(40 + 8, 24), name.leftJustified(24, '\0'));
        ArchiveEditor editor(path());
        QVERIFY(editor.open());
        QCOMPARE(editor.entries().at(0).name, QString::fromUtf8(name));
        QVERIFY(editor.appendEntry("\x01 sorted first", pattern(1, 15)));
        editor.close();
        const QByteArray bytes = readFile(path());
        QCOMPARE(le32(bytes, 4), 3u);
        QCOMPARE(bytes.mid(72 + 8, 24), name.leftJustified(24, '\0'));
        QCOMPARE(bytes.mid(200 * 2048, 2048), pattern(2048, 14));
    }

    void directoryNeverReachesData()
    {
        ArchiveEditor editor(path());
        QVERIFY(openEmpty(editor));
        const QByteArray data = pattern(2048, 16);
        QVERIFY(editor.appendEntry("data", data));
        // Empty elements occupy no sectors, so the directory area is what runs out.
        for (int i = 1; i < maxStaticElements; ++i)
            QVERIFY(editor.appendEntry(QString("e%1").arg(i), QByteArray()));
        QVERIFY(!editor.appendEntry("one.more", QByteArray()));
        QVERIFY(!editor.appendEntry("one.more", data));
        QVERIFY(editor.writeDirectory());
        QCOMPARE(QFileInfo(path()).size(), qint64(201 * 2048));
        QVERIFY(editor.open());
        QCOMPARE(editor.entries().size(), 12798);
        editor.removeEntry(editor.findEntry("e5"));
        QVERIFY(editor.appendEntry("one.more", data));
        QVERIFY(!editor.appendEntry("two.more", data));
        editor.close();
        const QByteArray bytes = readFile(path());
        QCOMPARE(le32(bytes, 4), 12799u);
        QCOMPARE(bytes.mid(409600, 2048), data);

        // 63 entries fill a standard archive's first sector: a static directory would reach
        // into the first element, so the directory is not rewritten at all.
        QVector<Element> elements;
        for (int i = 0; i < 63; ++i)
            elements.append({ QByteArray("el") + QByteArray::number(i), pattern(100, i) });
        const QByteArray tight = buildArchive("VER2", elements);
        QCOMPARE(le32(tight, 8), 1u);
        QVERIFY(writeFile(path(), tight));
        QVERIFY(editor.open());
        QCOMPARE(editor.entries().size(), 63);
        QVERIFY(!editor.writeDirectory());
        editor.close();
        QCOMPARE(readFile(path()), tight);
    }

    void hostileArchives_data()
    {
        QTest::addColumn<QByteArray>("bytes");
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
        QByteArray count = buildArchive("V2SH", { { "real", pattern(4096, 5) } }, 200);
        qToLittleEndian<qint32>(0x7fffffff, count.data() + 4);
        QTest::newRow("count reaching into the data") << count << 202 << "real";

        // The second element's end is cut off: what is there is carried, the rest reads as
        // zeros. The third starts past the end: it has no data at all.
        QByteArray cut = buildArchive("VER2",
            { { "whole", pattern(2048, 4) }, { "cut", pattern(4096, 5) },
                { "gone", pattern(2048, 6) } });
        cut.resize(2048 * 3 + 100);
        QTest::newRow("data cut short") << cut << 203 << "whole,cut";
    }

    void hostileArchives()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, convertedSectors);
        QFETCH(QString, kept);
        QVERIFY(!bytes.isEmpty());
        QVERIFY(writeFile(path(), bytes));
        QVERIFY(convertToStaticHeader(path()));
        QCOMPARE(QFileInfo(path()).size(), qint64(convertedSectors) * 2048);
        ArchiveEditor editor(path());
        QVERIFY(editor.open());
        QCOMPARE(names(editor), kept);
        if (kept.contains("cut")) {
            const QByteArray cutData = editor.readEntry(editor.findEntry("cut"));
            QCOMPARE(cutData, pattern(4096, 5).left(2148) + QByteArray(4096 - 2148, '\0'));
        }
    }

    void refusesWhatItCannotWrite()
    {
        // Not open: nothing is written or created.
        ArchiveEditor editor(path());
        QVERIFY(!editor.appendEntry("a", "x"));
        QVERIFY(!editor.replaceEntry(0, "x"));
        QVERIFY(!editor.writeDirectory());
        editor.close();
        QVERIFY(!QFile::exists(path()));
        // Invalid indices, and data beyond the 16-bit sector count.
        QVERIFY(openEmpty(editor));
        QVERIFY(editor.appendEntry("a", "x"));
        QVERIFY(!editor.replaceEntry(1, "x"));
        QVERIFY(!editor.replaceEntry(-1, "x"));
        QCOMPARE(editor.readEntry(7), QByteArray());
        QVERIFY(!editor.appendEntry("big", QByteArray(65535 * 2048 + 1, '\0')));
        editor.close();
        QCOMPARE(QFileInfo(path()).size(), qint64(201 * 2048));
    }

    void recognition_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("expected");
        const QByteArray header("V2SH\x01\0\0\0", 8);
        QTest::newRow("bare static header") << header + placeholder << true;
        QTest::newRow("standard magic") << QByteArray("VER2\x01\0\0\0", 8) + placeholder << false;
        QTest::newRow("count 0") << QByteArray("V2SH\0\0\0\0", 8) + placeholder << false;
        QTest::newRow("negative count")
            << QByteArray("V2SH\xff\xff\xff\xff", 8) + placeholder << false;
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
            { "zeta.dff", pattern(5000, 1) },
            { "alpha.txd", pattern(2048, 2) },
            { "with space.dff", pattern(100, 3) },
            { "", pattern(100, 4) },
            { "packed.col", pattern(4096, 5), 1, 2 },
            { "empty.ifp", QByteArray() },
        };
        const QByteArray original = buildArchive("VER2", elements);
        QVERIFY(writeFile(path(), original));
        ArchiveEditor editor(path());
        QVERIFY(editor.open());
        // A nameless element is no entry.
        QCOMPARE(names(editor),
            QStringLiteral("zeta.dff,alpha.txd,with space.dff,packed.col,empty.ifp"));
        QCOMPARE(editor.entries().at(0).offset, 1u);
        QCOMPARE(editor.entrySectors(3), 2u); // size in archive wins over streaming size
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
        QCOMPARE(staticHeaderTempPath(path()), dir.filePath("gta3.img.tmp"));
        QCOMPARE(staticHeaderTempPath(dir.filePath("gta3.dat.img")), dir.filePath("gta3.img.tmp"));
        QVERIFY(!QFile::exists(staticHeaderTempPath(path())));

        const QByteArray bytes = readFile(path());
        // Directory order, not sorted; space-named and nameless elements dropped; data packed.
        QCOMPARE(bytes.left(168),
            QByteArray("V2SH\x05\0\0\0", 8) + placeholder + entryBytes(200, 3, 0, "zeta.dff")
                + entryBytes(203, 1, 0, "alpha.txd") + entryBytes(204, 1, 2, "packed.col")
                + entryBytes(206, 0, 0, "empty.ifp"));
        QCOMPARE(bytes.mid(200 * 2048),
            elements[0].data.leftJustified(3 * 2048, '\0') + elements[1].data + elements[4].data);
        QCOMPARE(recorder.files, QStringList({ "gta3.img|" }));
        QCOMPARE(recorder.progress,
            (QVector<QPair<quint64, quint64>> {
                { 0, 0 }, { 4, 1 }, { 4, 2 }, { 4, 3 }, { 4, 4 } }));

        // A second rebuild compacts without a second placeholder; the editor never lists it.
        QVERIFY(convertToStaticHeader(path()));
        QCOMPARE(readFile(path()), bytes);
        QVERIFY(editor.open());
        QCOMPARE(names(editor), QStringLiteral("zeta.dff,alpha.txd,packed.col,empty.ifp"));

        // Data moved behind the rest and a removed element leave gaps that a rebuild closes.
        QVERIFY(editor.replaceEntry(0, pattern(5 * 2048, 11)));
        editor.removeEntry(1);
        editor.close();
        QCOMPARE(QFileInfo(path()).size(), qint64(211 * 2048));
        QVERIFY(convertToStaticHeader(path()));
        QCOMPARE(QFileInfo(path()).size(), qint64(207 * 2048));
        QVERIFY(editor.open());
        QCOMPARE(names(editor), QStringLiteral("empty.ifp,packed.col,zeta.dff"));
        QCOMPARE(editor.entries().at(1).offset, 200u);
        QCOMPARE(editor.readEntry(1), elements[4].data);
        QCOMPARE(editor.readEntry(2), pattern(5 * 2048, 11));
    }

    void largeArchiveGetsLargerDirectoryArea_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<quint32>("firstSector");
        QTest::newRow("12798 fill one area") << 12798 << 200u;
        // One more and the directory would reach byte 409600: it gets a second area, so no entry
        // is cut off by the length of the directory area and the data starts at sector 400.
        QTest::newRow("12799 need two areas") << 12799 << 400u;
    }

    void largeArchiveGetsLargerDirectoryArea()
    {
        QFETCH(int, count);
        QFETCH(quint32, firstSector);
        // Every thousandth element has a sector of data, the others are empty, to keep it small.
        QVector<Element> elements;
        for (int i = 0; i < count; ++i)
            elements.append({ QByteArray("e") + QByteArray::number(i),
                i % 1000 ? QByteArray() : pattern(2048, i) });
        const quint32 dataSectors = quint32((count + 999) / 1000);
        QVERIFY(writeFile(path(), buildArchive("VER2", elements)));
        QVERIFY(convertToStaticHeader(path()));
        QVERIFY(isStaticHeaderArchive(path()));
        const QByteArray bytes = readFile(path());
        QCOMPARE(le32(bytes, 4), quint32(count + 1));
        QCOMPARE(le32(bytes, 40), firstSector);
        QCOMPARE(bytes.mid(40 + 32 * (count - 1), 32),
            entryBytes(
                firstSector + dataSectors, 0, 0, QByteArray("e") + QByteArray::number(count - 1)));
        QCOMPARE(bytes.size(), int(firstSector + dataSectors) * 2048);

        ArchiveEditor editor(path());
        QVERIFY(editor.open());
        QCOMPARE(editor.entries().size(), count);
        QCOMPARE(editor.readEntry(editor.findEntry("e12000")), pattern(2048, 12000));
        // A full single area takes no more entries; a second area has room to grow.
        QCOMPARE(editor.appendEntry("added", pattern(100, 1)), firstSector > 200);
        editor.close();
        QVERIFY(editor.open());
        QCOMPARE(editor.readEntry(editor.findEntry("e0")), pattern(2048, 0));
    }

    void failureLeavesArchiveAlone()
    {
        QVector<Element> elements;
        for (int i = 0; i < 6; ++i)
            elements.append({ QByteArray("el") + QByteArray::number(i), pattern(3000, i) });
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
        QCOMPARE(recorder.progress.last(), qMakePair(quint64(6), quint64(3)));
        QCOMPARE(readFile(path()), original);
        QVERIFY(!QFile::exists(staticHeaderTempPath(path())));
    }
};

QTEST_GUILESS_MAIN(TestImgArchive)
#include "tst_imgarchive.moc"
