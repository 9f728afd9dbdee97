#include "img/archiveeditor.h"
#include "img/imgformat.h"
#include "img/staticheader.h"
#include "imgtestarchive.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace ImgArchive;
using namespace ImgTest;

class TestArchiveEditor : public QObject
{
    Q_OBJECT

private slots:
    void emptyArchiveBytes();
    void newFileGetsFirstElementAtSector200();
    void replaceKeepsOrMovesData_data();
    void replaceKeepsOrMovesData();
    void removingLastElementShortensFile();
    void lookupIgnoresCaseAndSortIsOrdinal();
    void standardArchiveOpensAndLists();
    void elementNames_data();
    void elementNames();
    void foreignNamesSurviveRewrite_data();
    void foreignNamesSurviveRewrite();
    void directoryNeverReachesData();
    void standardDirectoryWithoutRoomIsLeftAlone();
    void hostileDirectories_data();
    void hostileDirectories();
    void closedEditorDoesNothing();

private:
    QTemporaryDir dir;
};

void TestArchiveEditor::emptyArchiveBytes()
{
    const QString path = dir.filePath("empty.img");
    QVERIFY(writeFile(path, pattern(500000, 1)));
    QVERIFY(createEmptyArchive(path));
    const QByteArray bytes = readFile(path);
    QCOMPARE(bytes.size(), 409600);
    QCOMPARE(bytes.left(8), QByteArray("V2SH\x01\0\0\0", 8));
    QCOMPARE(bytes.mid(8, 32), entryBytes(0, 0, 0, "v2staticHeader.v2sh"));
    QVERIFY(isStaticHeaderArchive(path));

    ArchiveEditor editor(path);
    QVERIFY(editor.open());
    QCOMPARE(editor.entries().size(), 0);
    QCOMPARE(editor.nextFreeSector(), 200u);
    editor.close();
    QCOMPARE(readFile(path).left(40), bytes.left(40));
}

void TestArchiveEditor::newFileGetsFirstElementAtSector200()
{
    const QString path = dir.filePath("new.img");
    ArchiveEditor editor(path);
    QVERIFY(editor.open());
    QCOMPARE(editor.entries().size(), 0);
    const QByteArray data = pattern(3000, 2);
    QVERIFY(editor.appendEntry("a.dff", data));
    QCOMPARE(editor.entries().at(0).offset, 200u);
    QCOMPARE(editor.entrySectors(0), 2u);
    QCOMPARE(editor.nextFreeSector(), 202u);
    QVERIFY(editor.writeDirectory());

    const QByteArray bytes = readFile(path);
    QCOMPARE(bytes.size(), 409600 + 4096);
    QCOMPARE(bytes.left(8), QByteArray("V2SH\x02\0\0\0", 8));
    QCOMPARE(bytes.mid(40, 32), entryBytes(200, 2, 0, "a.dff"));
    QCOMPARE(bytes.mid(409600, 3000), data);
    QCOMPARE(editor.readEntry(0).left(3000), data);
    QCOMPARE(editor.readEntry(0).size(), 4096);
    editor.close();
    QVERIFY(isStaticHeaderArchive(path));
}

void TestArchiveEditor::replaceKeepsOrMovesData_data()
{
    QTest::addColumn<int>("newSize");
    QTest::addColumn<quint32>("expectedOffset");
    QTest::addColumn<qint64>("expectedFileSize");
    // Elements a (3 sectors at 200) and b (1 sector at 203); a is replaced.
    QTest::newRow("same sectors") << 3 * 2048 << 200u << qint64(204 * 2048);
    QTest::newRow("fewer sectors") << 100 << 200u << qint64(204 * 2048);
    QTest::newRow("empty data") << 0 << 200u << qint64(204 * 2048);
    QTest::newRow("one sector more") << 3 * 2048 + 1 << 204u << qint64(208 * 2048);
}

void TestArchiveEditor::replaceKeepsOrMovesData()
{
    QFETCH(int, newSize);
    QFETCH(quint32, expectedOffset);
    QFETCH(qint64, expectedFileSize);
    const QString path = dir.filePath("replace.img");
    QVERIFY(createEmptyArchive(path));
    ArchiveEditor editor(path);
    QVERIFY(editor.open());
    QVERIFY(editor.appendEntry("a", pattern(3 * 2048, 3)));
    QVERIFY(editor.appendEntry("b", pattern(10, 4)));
    const QByteArray data = pattern(newSize, 5);
    QVERIFY(editor.replaceEntry(0, data));
    QCOMPARE(editor.entries().at(0).offset, expectedOffset);
    QCOMPARE(editor.entrySectors(0), quint32((newSize + 2047) / 2048));
    QCOMPARE(editor.entries().at(0).sizeInArchive, quint16(0));
    editor.close();

    QCOMPARE(QFileInfo(path).size(), expectedFileSize);
    QVERIFY(editor.open());
    QCOMPARE(editor.readEntry(editor.findEntry("a")).left(newSize), data);
    QCOMPARE(editor.readEntry(editor.findEntry("b")).left(10), pattern(10, 4));
    editor.close();
}

void TestArchiveEditor::removingLastElementShortensFile()
{
    const QString path = dir.filePath("remove.img");
    QVERIFY(createEmptyArchive(path));
    ArchiveEditor editor(path);
    QVERIFY(editor.open());
    QVERIFY(editor.appendEntry("first", pattern(2048, 6)));
    QVERIFY(editor.appendEntry("last", pattern(5000, 7)));
    QVERIFY(editor.writeDirectory());
    QCOMPARE(QFileInfo(path).size(), qint64(204 * 2048));

    editor.removeEntry(editor.findEntry("last"));
    QCOMPARE(editor.findEntry("last"), -1);
    QCOMPARE(editor.readEntry(1), QByteArray());
    QCOMPARE(editor.entrySectors(1), 0u);
    QCOMPARE(editor.entries().size(), 2); // kept in place until written
    QVERIFY(editor.writeDirectory());
    QCOMPARE(editor.entries().size(), 1);
    QCOMPARE(QFileInfo(path).size(), qint64(201 * 2048));
    const QByteArray bytes = readFile(path);
    QCOMPARE(le32(bytes, 4), 2u);
    editor.close();
}

void TestArchiveEditor::lookupIgnoresCaseAndSortIsOrdinal()
{
    const QString path = dir.filePath("names.img");
    QVERIFY(createEmptyArchive(path));
    ArchiveEditor editor(path);
    QVERIFY(editor.open());
    for (const char *name : { "b.txd", "a.dff", "B.col", "_x", "Z.ifp" })
        QVERIFY(editor.appendEntry(name, pattern(10, 8)));
    QVERIFY(editor.appendEntry("A.DFF", pattern(10, 9))); // same name in other case
    QCOMPARE(editor.findEntry("A.DFF"), 1); // the first of equal names
    QCOMPARE(editor.findEntry("b.COL"), 2);
    QCOMPARE(editor.findEntry(""), -1);
    QCOMPARE(editor.findEntry("missing"), -1);
    editor.removeEntry(1);
    QCOMPARE(editor.findEntry("a.dff"), 5);
    editor.close();

    const QByteArray bytes = readFile(path);
    QCOMPARE(le32(bytes, 4), 6u);
    QStringList written;
    for (int i = 0; i < 5; ++i)
        written << QString::fromLatin1(bytes.mid(40 + 32 * i + 8, 24).constData());
    QCOMPARE(written, QStringList({ "A.DFF", "B.col", "Z.ifp", "_x", "b.txd" }));
}

void TestArchiveEditor::standardArchiveOpensAndLists()
{
    const QString path = dir.filePath("standard.img");
    QVector<Element> elements = {
        { "infernus.dff", pattern(5000, 10) }, { "infernus.txd", pattern(2048, 11) },
        { "packed.col", pattern(4096, 12), 0, 1, 2 }, // size in archive wins over streaming size
    };
    QVERIFY(writeFile(path, buildArchive("VER2", elements)));
    QVERIFY(!isStaticHeaderArchive(path));

    ArchiveEditor editor(path);
    QVERIFY(editor.open());
    QCOMPARE(editor.entries().size(), 3);
    QCOMPARE(editor.entries().at(0).name, QString("infernus.dff"));
    QCOMPARE(editor.entries().at(0).offset, 1u);
    QCOMPARE(editor.entrySectors(2), 2u);
    for (int i = 0; i < elements.size(); ++i)
        QCOMPARE(editor.readEntry(i).left(elements[i].data.size()), elements[i].data);
    // New data stays out of the area a static-header directory may grow into.
    QCOMPARE(editor.nextFreeSector(), 200u);
    const QByteArray original = readFile(path);
    editor.close();
    QCOMPARE(readFile(path), original); // only read, so not rewritten

    // A rebuilt archive lists the same elements, never its placeholder.
    QVERIFY(convertToStaticHeader(path));
    QVERIFY(editor.open());
    QCOMPARE(editor.entries().size(), 3);
    QCOMPARE(editor.findEntry("v2staticHeader.v2sh"), -1);
    QCOMPARE(editor.readEntry(editor.findEntry("packed.col")), elements[2].data);
}

void TestArchiveEditor::elementNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("23 bytes") << QString(23, 'n') << true;
    QTest::newRow("24 bytes fill the field") << QString(24, 'n') << true;
    QTest::newRow("25 bytes") << QString(25, 'n') << false;
    QTest::newRow("12 Cyrillic letters, 24 bytes") << QString::fromUtf8("модельмодель") << true;
    QTest::newRow("23 ASCII + one two-byte letter") << QString(23, 'n') + QChar(0x439) << false;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("with NUL") << QString("a") + QChar(0) + "b" << false;
}

void TestArchiveEditor::elementNames()
{
    QFETCH(QString, name);
    QFETCH(bool, accepted);
    const QString path = dir.filePath("name.img");
    QVERIFY(createEmptyArchive(path));
    ArchiveEditor editor(path);
    QVERIFY(editor.open());
    QCOMPARE(editor.appendEntry(name, pattern(100, 13)), accepted);
    QCOMPARE(editor.entries().size(), accepted ? 1 : 0);
    QCOMPARE(editor.nextFreeSector(), accepted ? 201u : 200u);
    editor.close();

    const QByteArray bytes = readFile(path);
    QCOMPARE(bytes.size(), accepted ? 409600 + 2048 : 409600);
    if (!accepted)
        return;
    const QByteArray utf8 = name.toUtf8();
    QCOMPARE(bytes.mid(48, 24), utf8 + QByteArray(24 - utf8.size(), '\0'));
    QVERIFY(editor.open());
    QCOMPARE(editor.entries().at(0).name, name);
    QCOMPARE(editor.findEntry(name.toUpper()), 0);
    editor.close();
}

void TestArchiveEditor::foreignNamesSurviveRewrite_data()
{
    QTest::addColumn<QByteArray>("name");
    // A field without NUL, as other tools write it, reads as all 24 bytes.
    QTest::newRow("24 bytes, no NUL") << QByteArray(24, 'q');
    // A name in an 8-bit code page is not UTF-8; decoding and re-encoding would alter it.
    QTest::newRow("code page 1251") << QByteArray("\xcf\xf0\xe8\xe2\xe5\xf2.dff");
    QTest::newRow("invalid UTF-8, full field") << QByteArray(24, '\xff');
}

void TestArchiveEditor::foreignNamesSurviveRewrite()
{
    QFETCH(QByteArray, name);
    const QString path = dir.filePath("foreign.img");
    QVERIFY(writeFile(path, buildArchive("VER2", { { name, pattern(2048, 14) } }, 200)));
    QVERIFY(convertToStaticHeader(path));
    QCOMPARE(readFile(path).mid(40 + 8, 24), name.leftJustified(24, '\0'));
    ArchiveEditor editor(path);
    QVERIFY(editor.open());
    QCOMPARE(editor.entries().at(0).name, QString::fromUtf8(name));
    QVERIFY(editor.appendEntry("\x01 sorted first", pattern(1, 15)));
    editor.close();
    const QByteArray bytes = readFile(path);
    QCOMPARE(le32(bytes, 4), 3u);
    QCOMPARE(bytes.mid(72 + 8, 24), name.leftJustified(24, '\0'));
    QCOMPARE(bytes.mid(200 * 2048, 2048), pattern(2048, 14));
}

void TestArchiveEditor::directoryNeverReachesData()
{
    const QString path = dir.filePath("full.img");
    QVERIFY(createEmptyArchive(path));
    ArchiveEditor editor(path);
    QVERIFY(editor.open());
    const QByteArray data = pattern(2048, 16);
    QVERIFY(editor.appendEntry("data", data));
    // Empty elements occupy no sectors, so the directory area is what runs out.
    for (int i = 1; i < maxStaticElements; ++i)
        QVERIFY(editor.appendEntry(QString("e%1").arg(i), QByteArray()));
    QCOMPARE(editor.liveEntryCount(), 12798);
    QVERIFY(!editor.appendEntry("one.more", QByteArray()));
    QVERIFY(!editor.appendEntry("one.more", data));
    QCOMPARE(editor.nextFreeSector(), 201u);
    QVERIFY(editor.writeDirectory());
    QCOMPARE(QFileInfo(path).size(), qint64(201 * 2048));

    QVERIFY(editor.open());
    QCOMPARE(editor.entries().size(), 12798);
    QCOMPARE(editor.readEntry(editor.findEntry("data")), data);
    editor.removeEntry(editor.findEntry("e5"));
    QVERIFY(editor.appendEntry("one.more", data));
    QVERIFY(!editor.appendEntry("two.more", data));
    editor.close();
    const QByteArray bytes = readFile(path);
    QCOMPARE(le32(bytes, 4), 12799u);
    QCOMPARE(bytes.mid(409600, 2048), data);
}

void TestArchiveEditor::standardDirectoryWithoutRoomIsLeftAlone()
{
    // 63 entries fill the first sector; the placeholder would reach into the first element.
    const QString path = dir.filePath("tight.img");
    QVector<Element> elements;
    for (int i = 0; i < 63; ++i)
        elements.append({ QByteArray("el") + QByteArray::number(i), pattern(100, i) });
    const QByteArray original = buildArchive("VER2", elements);
    QCOMPARE(le32(original, 8), 1u);
    QVERIFY(writeFile(path, original));

    ArchiveEditor editor(path);
    QVERIFY(editor.open());
    QCOMPARE(editor.entries().size(), 63);
    QVERIFY(!editor.writeDirectory());
    editor.close();
    QCOMPARE(readFile(path), original);
}

void TestArchiveEditor::hostileDirectories_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("listed");

    QByteArray negative = buildArchive("V2SH", { { "a", pattern(100, 1) } }, 200);
    qToLittleEndian<qint32>(-5, negative.data() + 4);
    QTest::newRow("negative count") << negative << QStringList();

    QByteArray huge(100, '\0');
    std::memcpy(huge.data(), "VER2\xff\xff\xff\x7f", 8);
    huge.replace(8, 32, entryBytes(0, 0, 0, "zero.dff"));
    QTest::newRow("count 0x7fffffff in 100 bytes") << huge << QStringList({ "zero.dff" });

    QByteArray all(4096, '\xff');
    std::memcpy(all.data(), "VER2", 4);
    QTest::newRow("every byte 0xff") << all << QStringList();

    QByteArray pastEnd = buildArchive("VER2", { { "ok", pattern(2048, 2) } });
    QByteArray directory = entryBytes(1, 1, 0, "ok") + entryBytes(0xfffffff0u, 1, 0, "far")
        + entryBytes(0xffffffffu, 0, 0, "empty.far") + entryBytes(0, 1, 0, "header");
    pastEnd.replace(4, 4, QByteArray("\x04\0\0\0", 4));
    pastEnd.replace(8, directory.size(), directory);
    QTest::newRow("offsets past the end or into the directory") << pastEnd << QStringList({ "ok" });

    QByteArray truncated
        = buildArchive("VER2", { { "one", pattern(10, 3) }, { "two", pattern(10, 4) } });
    truncated.resize(8 + 32 + 20);
    QTest::newRow("cut off mid-directory") << truncated << QStringList();

    QByteArray count = buildArchive("V2SH", { { "real", pattern(4096, 5) } }, 200);
    qToLittleEndian<qint32>(0x7fffffff, count.data() + 4);
    QTest::newRow("count reaching into the data") << count << QStringList({ "real" });
}

void TestArchiveEditor::hostileDirectories()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, listed);
    const QString path = dir.filePath("hostile.img");
    QVERIFY(writeFile(path, bytes));
    ArchiveEditor editor(path);
    QVERIFY(editor.open());
    QStringList names;
    for (const DirectoryEntry &entry : editor.entries())
        names << entry.name;
    QCOMPARE(names, listed);
    for (int i = 0; i < editor.entries().size(); ++i)
        QVERIFY(editor.readEntry(i).size() <= bytes.size());

    // Whatever was there, an append lands near the end of the file and the result reopens.
    const QByteArray data = pattern(1000, 6);
    QVERIFY(editor.appendEntry("new.dff", data));
    QVERIFY(qint64(editor.entries().last().offset) * 2048 <= qMax(bytes.size(), 409600));
    editor.close();
    QVERIFY(QFileInfo(path).size() < 1024 * 1024);
    QVERIFY(editor.open());
    QCOMPARE(editor.readEntry(editor.findEntry("new.dff")).left(1000), data);
    QCOMPARE(editor.entries().size(), listed.size() + 1);
    editor.close();
}

void TestArchiveEditor::closedEditorDoesNothing()
{
    const QString path = dir.filePath("closed.img");
    ArchiveEditor editor(path);
    QVERIFY(!editor.appendEntry("a", "x"));
    QVERIFY(!editor.replaceEntry(0, "x"));
    QVERIFY(!editor.writeDirectory());
    QCOMPARE(editor.findEntry("a"), -1);
    QCOMPARE(editor.readEntry(0), QByteArray());
    QCOMPARE(editor.entrySectors(0), 0u);
    QCOMPARE(editor.nextFreeSector(), 0u);
    editor.removeEntry(0);
    editor.close();
    QVERIFY(!QFile::exists(path));

    // Invalid indices and oversized data are refused on an open archive as well.
    QVERIFY(createEmptyArchive(path));
    QVERIFY(editor.open());
    QVERIFY(editor.appendEntry("a", "x"));
    QVERIFY(!editor.replaceEntry(1, "x"));
    QVERIFY(!editor.replaceEntry(-1, "x"));
    QCOMPARE(editor.readEntry(7), QByteArray());
    QVERIFY(!editor.appendEntry("big", QByteArray(65535 * 2048 + 1, '\0')));
    QCOMPARE(editor.nextFreeSector(), 201u);
    editor.close();
    QCOMPARE(QFileInfo(path).size(), qint64(201 * 2048));
}

QTEST_GUILESS_MAIN(TestArchiveEditor)
#include "tst_archiveeditor.moc"
