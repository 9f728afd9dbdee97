#include "app/gamestarter.h"
#include "platform/platform.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

// Stands in for the game and for wine: records its working directory and arguments, one per
// line. Absolute paths and built-ins only, so that it runs with no wine on PATH.
const char recorder[] = "#!/bin/sh\n"
                        "pwd > \"$RECORD_FILE.tmp\"\n"
                        "for a in \"$@\"; do printf '%s\\n' \"$a\" >> \"$RECORD_FILE.tmp\"; done\n"
                        "/bin/mv \"$RECORD_FILE.tmp\" \"$RECORD_FILE\"\n";

static bool writeRecorder(const QString &path)
{
    return TestFiles::writeFile(path, recorder)
        && QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

class TestGameStarter : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir home;
    QString gameDir;
    QString wineDir;
    QString recordFile;

    GameStarter *makeStarter(const QString &host, const QString &port)
    {
        auto *starter = new GameStarter(this);
        starter->gameDir = gameDir;
        starter->host = host;
        starter->port = port;
        starter->nickname = QStringLiteral("John_Smith");
        return starter;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(home.isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path() + QStringLiteral("/config")));
        gameDir = home.path() + QStringLiteral("/game dir/gtacr");
        wineDir = home.path() + QStringLiteral("/wine-bin");
        recordFile = home.path() + QStringLiteral("/record.txt");
        qputenv("RECORD_FILE", QFile::encodeName(recordFile));
        QVERIFY(writeRecorder(gameDir + QStringLiteral("/gta_sa.exe")));
        QVERIFY(writeRecorder(gameDir + QStringLiteral("/bin/release/korvina.exe")));
        QVERIFY(writeRecorder(wineDir + QStringLiteral("/wine")));
    }

    void init()
    {
        QFile::remove(recordFile);
        Platform::writePlayerName(QString());
        // Without wine on PATH the stand-in "exe" is started directly.
        qputenv("PATH", QFile::encodeName(home.path() + QStringLiteral("/no-wine")));
    }

    void starts_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("reborn");
        QTest::addColumn<bool>("wine");
        QTest::addColumn<QString>("expected"); // working directory, then each argument
        const QString game = QDir(gameDir).canonicalPath();
        const QString release = gameDir + QStringLiteral("/bin/release");
        QTest::newRow("standard") << "127.0.0.1" << false << false
                                  << game + "|-korvina|-c|-n|John_Smith|-h|127.0.0.1|-p|7777";
        // Wine takes the game as its first argument.
        const QString wine = release + "/korvina.exe|-rebQ2950417|-c|-n|John_Smith|-h|::1|-p|7777";
        QTest::newRow("reborn through wine")
            << "::1" << true << true << QDir(release).canonicalPath() + '|' + wine;
        // As Windows would split the command line: no empty argument for a missing host.
        QTest::newRow("no server chosen")
            << "" << false << false << game + "|-korvina|-c|-n|John_Smith|-h|-p|7777";
    }

    void starts()
    {
        QFETCH(QString, host);
        QFETCH(bool, reborn);
        QFETCH(bool, wine);
        QFETCH(QString, expected);
        if (wine)
            qputenv("PATH", QFile::encodeName(wineDir));
        GameStarter *starter = makeStarter(host, QStringLiteral("7777"));
        QSignalSpy finished(starter, &GameStarter::startFinished);
        starter->start(reborn);
        QCOMPARE(finished.count(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(recordFile), 10000);
        QCOMPARE(
            QString::fromUtf8(TestFiles::readFile(recordFile)), expected.replace('|', '\n') + '\n');
        QCOMPARE(Platform::readPlayerName(), QStringLiteral("John_Smith"));
    }

    void unsafeValuesAreRefused_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("port");
        QTest::newRow("switch in host") << QStringLiteral("1.2.3.4 -x") << QStringLiteral("7777");
        QTest::newRow("quote in host") << QStringLiteral("evil\"host") << QStringLiteral("7777");
        QTest::newRow("leading dash") << QStringLiteral("-evil") << QStringLiteral("7777");
        QTest::newRow("ipv6 scope") << QStringLiteral("fe80::1%eth0") << QStringLiteral("7777");
        QTest::newRow("port with text") << QStringLiteral("127.0.0.1") << QStringLiteral("77 -z");
        QTest::newRow("empty port") << QStringLiteral("127.0.0.1") << QString();
    }

    void unsafeValuesAreRefused()
    {
        QFETCH(QString, host);
        QFETCH(QString, port);
        GameStarter *starter = makeStarter(host, port);
        QSignalSpy finished(starter, &GameStarter::startFinished);
        QSignalSpy refused(starter, &GameStarter::startRefused);
        starter->start(false);
        QCOMPARE(finished.count(), 0);
        QCOMPARE(refused.count(), 1);
        QVERIFY(!refused.at(0).at(0).toString().isEmpty());
        // Nothing was touched: no game process, no nickname written.
        QTest::qWait(200);
        QVERIFY(!QFile::exists(recordFile));
        QVERIFY(Platform::readPlayerName().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestGameStarter)
#include "tst_gamestarter.moc"
