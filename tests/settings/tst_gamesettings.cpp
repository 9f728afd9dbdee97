#include "settings/gamesettings.h"
#include "testfiles.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

using TestFiles::readFile;
using TestFiles::writeFile;

class TestGameSettings : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir documents;
    QString userFiles() const { return documents.filePath("GTA San Andreas User Files"); }
    QString switchesFile() const { return userFiles() + "/listva.cfg"; }

private slots:
    void init() { QDir(userFiles()).removeRecursively(); }

    void values_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("key");
        QTest::addColumn<int>("expected"); // -1 when the key keeps its default
        QTest::newRow("yes, no newline at the end") << QByteArray("modpack=yes") << "modpack" << 1;
        QTest::newRow("value trimmed, CRLF") << QByteArray("modpack=  1 \r\n") << "modpack" << 1;
        // Only the first character counts.
        QTest::newRow("double zero") << QByteArray("modpack=00\n") << "modpack" << 0;
        QTest::newRow("empty value") << QByteArray("modpack=\n") << "modpack" << 0;
        QTest::newRow("last line wins") << QByteArray("modpack=1\nmodpack=0\n") << "modpack" << 0;
        // The blank before "=" stays in the key, so it names another switch.
        QTest::newRow("blank before =") << QByteArray("modpack = 1\n") << "modpack" << -1;
        QTest::newRow("blank kept in key") << QByteArray("modpack = 1\n") << "modpack " << 1;
        QTest::newRow("no = or two =")
            << QByteArray("\n   \nwinter\nwinter=1=1\n") << "winter" << -1;
        // 31 characters make one piece; the rest of the line is a piece of its own.
        const QByteArray longLine = QByteArray(26, 'x') + "=1234" + "grass=1\n";
        QTest::newRow("long line") << longLine << QString(26, 'x') << 1;
        QTest::newRow("rest of a long line") << longLine << "grass" << 1;
    }

    void values()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, key);
        QFETCH(int, expected);
        QVERIFY(writeFile(switchesFile(), file));
        const GameSettings settings(documents.path());
        // Asked with either default, so that a line that was not read shows up.
        const bool read = settings.value(key, false);
        QCOMPARE(read == settings.value(key, true) ? int(read) : -1, expected);
    }

    void saveWritesSortedKeysAndDropsTheRest()
    {
        QVERIFY(writeFile(switchesFile(), "# comment\nzeta=yes\nbroken\nalpha=0\n"));
        GameSettings settings(documents.path());
        settings.setValue("modpack", true);
        settings.save();
        QCOMPARE(readFile(switchesFile()), QByteArray("alpha=0\nmodpack=1\nzeta=1\n"));
    }

    void valuesStayInMemoryWithoutTheGameFolder_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::newRow("none") << QString();
        // The user files folder belongs to the game; the launcher does not create it.
        QTest::newRow("no user files folder") << documents.path();
        // The game reads paths into 512-byte buffers; a longer one would name another file.
        QTest::newRow("path too long for the game") << documents.filePath(QString(500, 'd'));
    }

    void valuesStayInMemoryWithoutTheGameFolder()
    {
        QFETCH(QString, folder);
        GameSettings settings(folder);
        settings.setValue("reborn", false);
        settings.save(); // silently nothing
        QCOMPARE(settings.value("reborn", true), false);
        QVERIFY(QDir(documents.path()).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestGameSettings)
#include "tst_gamesettings.moc"
