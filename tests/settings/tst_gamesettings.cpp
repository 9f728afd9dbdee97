#include "settings/gamesettings.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestGameSettings : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir documents;

    QString switchesFile() const
    {
        return documents.path() + QStringLiteral("/GTA San Andreas User Files/listva.cfg");
    }

    void writeSwitches(const QByteArray &content)
    {
        QDir().mkpath(documents.path() + QStringLiteral("/GTA San Andreas User Files"));
        QFile file(switchesFile());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
    }

    QByteArray readSwitches() const
    {
        QFile file(switchesFile());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

private slots:
    void init() { QFile::remove(switchesFile()); }

    void paths()
    {
        const GameSettings settings(documents.path());
        QCOMPARE(QDir::fromNativeSeparators(settings.settingsFilePath()),
            documents.path() + QStringLiteral("/GTA San Andreas User Files/gta_sa.set"));
        QCOMPARE(QDir::fromNativeSeparators(settings.switchesFilePath()), switchesFile());
    }

    void values_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("expected");
        QTest::newRow("one") << QByteArray("modpack=1\n") << true;
        QTest::newRow("yes") << QByteArray("modpack=yes\n") << true;
        QTest::newRow("value trimmed") << QByteArray("modpack=  1 \n") << true;
        // Only the first character counts.
        QTest::newRow("double zero") << QByteArray("modpack=00\n") << false;
        QTest::newRow("empty value") << QByteArray("modpack=\n") << false;
        QTest::newRow("last line wins") << QByteArray("modpack=1\nmodpack=0\n") << false;
        QTest::newRow("crlf") << QByteArray("modpack=1\r\n") << true;
        QTest::newRow("no newline at end") << QByteArray("modpack=1") << true;
    }

    void values()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, expected);
        writeSwitches(line);
        const GameSettings settings(documents.path());
        // The default is the opposite, so a line that was not read shows up.
        QCOMPARE(settings.value(QStringLiteral("modpack"), !expected), expected);
    }

    void malformedLinesKeepDefaults()
    {
        writeSwitches("modpack = 1\ngrass=1=1\n\n   \nwinter\n");
        const GameSettings settings(documents.path());
        // The blank before "=" stays in the key, so it names another switch.
        QCOMPARE(settings.value(QStringLiteral("modpack"), false), false);
        QCOMPARE(settings.value(QStringLiteral("modpack "), false), true);
        QCOMPARE(settings.value(QStringLiteral("grass"), true), true);
        QCOMPARE(settings.value(QStringLiteral("winter"), true), true);
    }

    void longLinesAreReadInPieces()
    {
        // 31 characters make one piece; the rest of the line is a piece of its own.
        writeSwitches(QByteArray(26, 'x') + "=1234" + "grass=1\nlist=0\n");
        const GameSettings settings(documents.path());
        QCOMPARE(settings.value(QString(26, QLatin1Char('x')), false), true);
        QCOMPARE(settings.value(QStringLiteral("grass"), false), true);
        QCOMPARE(settings.value(QStringLiteral("list"), true), false);
    }

    void saveWritesSortedKeysAndDropsTheRest()
    {
        writeSwitches("# comment\nzeta=yes\nbroken\nalpha=0\n");
        GameSettings settings(documents.path());
        settings.setValue(QStringLiteral("modpack"), true);
        settings.save();
        QCOMPARE(readSwitches(), QByteArray("alpha=0\nmodpack=1\nzeta=1\n"));
    }

    void firstSaveWithoutFile()
    {
        QDir(documents.path() + QStringLiteral("/GTA San Andreas User Files")).removeRecursively();
        GameSettings settings(documents.path());
        settings.setValue(QStringLiteral("list"), false);
        settings.setValue(QStringLiteral("modpack"), true);
        settings.setValue(QStringLiteral("grass"), false);
        settings.save();
        // The user files folder belongs to the game; the launcher does not create it.
        QCOMPARE(readSwitches(), QByteArray("<missing>"));
        QDir().mkpath(documents.path() + QStringLiteral("/GTA San Andreas User Files"));
        settings.save();
        QCOMPARE(readSwitches(), QByteArray("grass=0\nlist=0\nmodpack=1\n"));
    }

    void noDocumentsFolder()
    {
        GameSettings settings { QString() };
        QVERIFY(settings.settingsFilePath().isEmpty());
        QCOMPARE(settings.value(QStringLiteral("reborn"), true), true);
        settings.setValue(QStringLiteral("reborn"), false);
        settings.save(); // silently nothing
        QCOMPARE(settings.value(QStringLiteral("reborn"), true), false);
    }

    void overlongFolderCountsAsUnknown()
    {
        const QString deep = documents.path() + QLatin1Char('/') + QString(500, QLatin1Char('d'));
        GameSettings settings(deep);
        QVERIFY(settings.settingsFilePath().isEmpty());
        settings.save();
        QVERIFY(!QFile::exists(deep));
    }
};

QTEST_GUILESS_MAIN(TestGameSettings)
#include "tst_gamesettings.moc"
