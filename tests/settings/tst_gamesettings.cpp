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

    void values_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected"); // "-" when the key keeps its default
        QTest::newRow("one") << QByteArray("modpack=1\n") << "modpack"
                             << "1";
        QTest::newRow("yes") << QByteArray("modpack=yes\n") << "modpack"
                             << "1";
        QTest::newRow("value trimmed") << QByteArray("modpack=  1 \n") << "modpack"
                                       << "1";
        // Only the first character counts.
        QTest::newRow("double zero") << QByteArray("modpack=00\n") << "modpack"
                                     << "0";
        QTest::newRow("empty value") << QByteArray("modpack=\n") << "modpack"
                                     << "0";
        QTest::newRow("last line wins") << QByteArray("modpack=1\nmodpack=0\n") << "modpack"
                                        << "0";
        QTest::newRow("crlf") << QByteArray("modpack=1\r\n") << "modpack"
                              << "1";
        QTest::newRow("no newline at end") << QByteArray("modpack=1") << "modpack"
                                           << "1";
        // The blank before "=" stays in the key, so it names another switch.
        QTest::newRow("blank before =") << QByteArray("modpack = 1\n") << "modpack"
                                        << "-";
        QTest::newRow("blank kept in key") << QByteArray("modpack = 1\n") << "modpack "
                                           << "1";
        QTest::newRow("two =") << QByteArray("grass=1=1\n") << "grass"
                               << "-";
        QTest::newRow("no =") << QByteArray("\n   \nwinter\n") << "winter"
                              << "-";
        // 31 characters make one piece; the rest of the line is a piece of its own.
        const QByteArray longLine = QByteArray(26, 'x') + "=1234" + "grass=1\nlist=0\n";
        QTest::newRow("long line") << longLine << QString(26, 'x') << "1";
        QTest::newRow("rest of a long line") << longLine << "grass"
                                             << "1";
        QTest::newRow("after a long line") << longLine << "list"
                                           << "0";
    }

    void values()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, key);
        QFETCH(QString, expected);
        writeSwitches(file);
        const GameSettings settings(documents.path());
        // Asked with either default, so that a line that was not read shows up.
        const QString read = QString::number(settings.value(key, false))
            + QString::number(settings.value(key, true));
        QCOMPARE(read, expected == "-" ? QStringLiteral("01") : expected + expected);
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
