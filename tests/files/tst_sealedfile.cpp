#include "files/filesystem.h"
#include "service/storecipher.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using TestFiles::readFile;
using TestFiles::writeFile;

static const QByteArray magic = QByteArrayLiteral("KORVINABNRYLST01");

class TestSealedFile : public QObject
{
    Q_OBJECT

private slots:
    void roundTripAndLayout()
    {
        QTemporaryDir dir;
        const QByteArray payload = "[directories]\ndata\n\n[entries]\n";
        QVERIFY(FileSystem::writeSealedFile("/korvina_launcher.bin", payload, dir.path()));
        QCOMPARE(FileSystem::readSealedFile("/korvina_launcher.bin", dir.path()), payload);

        const QByteArray bytes = readFile(dir.path() + "/korvina_launcher.bin");
        QCOMPARE(bytes.left(18), magic + "\x1c\x05");
        QCOMPARE(bytes.size(), 16 + qCompress(payload, 9).size() + 23);
        QCOMPARE(StoreCipher::forStore().decrypt(bytes.mid(16)), payload);
    }

    void writeReplacesOrFailsWhole()
    {
        QTemporaryDir dir;
        const QString path = dir.path() + "/korvina_launcher.bin";
        QVERIFY(writeFile(path, QByteArray(100000, 'o')));
        QVERIFY(FileSystem::writeSealedFile("/korvina_launcher.bin", "new", dir.path()));
        QCOMPARE(
            FileSystem::readSealedFile("/korvina_launcher.bin", dir.path()), QByteArray("new"));
        // No temporary stays behind.
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System),
            QStringList { "korvina_launcher.bin" });

        QVERIFY(!FileSystem::writeSealedFile("/missing/korvina_launcher.bin", "x", dir.path()));
        QVERIFY(!QFile::exists(dir.path() + "/missing"));

        // A link planted in its place is replaced, never written through (the launcher runs
        // with administrator rights).
        const QString outside = dir.path() + "/outside.txt";
        QVERIFY(writeFile(outside, "system file"));
        QVERIFY(QFile::remove(path) && QFile::link(outside, path));
        QVERIFY(FileSystem::writeSealedFile("/korvina_launcher.bin", "state", dir.path()));
        QCOMPARE(readFile(outside), QByteArray("system file"));
        QVERIFY(!QFileInfo(path).isSymLink());
        QCOMPARE(
            FileSystem::readSealedFile("/korvina_launcher.bin", dir.path()), QByteArray("state"));
    }

    void damagedFilesReadEmpty_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray good = FileSystem::sealPayload("[directories]\ndata\n");
        QTest::newRow("shorter than the magic") << magic.left(15);
        QTest::newRow("magic alone") << magic;
        for (int i = 0; i < 16; ++i) {
            QByteArray altered = good;
            altered[i] = char(altered[i] ^ 0x20);
            QTest::newRow(qPrintable(QString("magic byte %1 changed").arg(i))) << altered;
        }
    }

    void damagedFilesReadEmpty()
    {
        QFETCH(QByteArray, bytes);
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.path() + "/korvina_launcher.bin", bytes));
        QVERIFY(FileSystem::readSealedFile("/korvina_launcher.bin", dir.path()).isEmpty());
        QVERIFY(FileSystem::unsealPayload(bytes).isEmpty());
    }

    void oversizedFileIsNotRead()
    {
        QTemporaryDir dir;
        const QString path = dir.path() + "/korvina_launcher.bin";
        QVERIFY(writeFile(path, FileSystem::sealPayload("x")));
        QFile file(path);
        // Sparse: costs no disk space, yet is larger than any state the launcher writes.
        QVERIFY(file.resize(StoreCipher::defaultPlainSizeLimit + 1));
        QVERIFY(FileSystem::readSealedFile("/korvina_launcher.bin", dir.path()).isEmpty());
        // Nor is a pipe or a device in its place: opening a pipe would wait for a writer forever.
        QVERIFY(QFile::remove(path));
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        QVERIFY(FileSystem::readSealedFile("/korvina_launcher.bin", dir.path()).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestSealedFile)
#include "tst_sealedfile.moc"
