#include "app/gamestarter.h"
#include "platform/platform.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// A stand-in that records its arguments, one per line, and its working directory.
const char recorder[] = "#!/bin/sh\n"
                        "out=\"$RECORD_FILE\"\n"
                        "pwd > \"$out.tmp\"\n"
                        "for a in \"$@\"; do printf '%s\\n' \"$a\" >> \"$out.tmp\"; done\n"
                        "mv \"$out.tmp\" \"$out\"\n";

bool writeRecorder(const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(recorder);
    file.close();
    return file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

} // namespace

class TestGameStarter : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir home;
    QString gameDir;
    QString wineDir;
    QString recordFile;
    QByteArray originalPath;

    QStringList recorded()
    {
        if (!QTest::qWaitFor([this] { return QFile::exists(recordFile); }, 10000))
            return {};
        QFile file(recordFile);
        file.open(QIODevice::ReadOnly);
        return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    GameStarter *makeStarter(const QString &host, const QString &port, const QString &nickname)
    {
        auto *starter = new GameStarter(this);
        starter->gameDir = gameDir;
        starter->host = host;
        starter->port = port;
        starter->nickname = nickname;
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
        originalPath = qgetenv("PATH");
    }

    void init()
    {
        QFile::remove(recordFile);
        Platform::writePlayerName(QString());
        // Without wine on PATH the stand-in "exe" is started directly.
        qputenv("PATH", "/usr/bin:/bin");
    }

    void commandLines()
    {
        GameStarter *starter = makeStarter(QStringLiteral("play.example.org"), QStringLiteral("7777"),
                                           QStringLiteral("  John   Smith "));
        starter->gameDir = QStringLiteral("C:/Games/gtacr");
        QCOMPARE(starter->launchFor(false).commandLine,
                 QStringLiteral("\"C:\\Games\\gtacr\\gta_sa.exe\" -korvina -c -n John Smith -h play.example.org -p 7777"));
        QCOMPARE(starter->launchFor(true).commandLine,
                 QStringLiteral("\"C:\\Games\\gtacr\\bin\\release\\korvina.exe\" -rebQ2950417 -c -n John Smith -h play.example.org -p 7777"));
    }

    void standardStart()
    {
        GameStarter *starter = makeStarter(QStringLiteral("127.0.0.1"), QStringLiteral("7771"),
                                           QStringLiteral("John_Smith"));
        QSignalSpy finished(starter, &GameStarter::startFinished);
        starter->start(false);
        QCOMPARE(finished.count(), 1);
        const QStringList lines = recorded();
        QCOMPARE(lines, QStringList({ QDir(gameDir).canonicalPath(), QStringLiteral("-korvina"),
                                      QStringLiteral("-c"), QStringLiteral("-n"),
                                      QStringLiteral("John_Smith"), QStringLiteral("-h"),
                                      QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                                      QStringLiteral("7771") }));
        QCOMPARE(Platform::readPlayerName(), QStringLiteral("John_Smith"));
    }

    void rebornStartThroughWine()
    {
        qputenv("PATH", QFile::encodeName(wineDir) + ":/usr/bin:/bin");
        GameStarter *starter = makeStarter(QStringLiteral("::1"), QStringLiteral("7772"),
                                           QStringLiteral("Anna_Petrova"));
        QSignalSpy finished(starter, &GameStarter::startFinished);
        starter->start(true);
        QCOMPARE(finished.count(), 1);
        const QStringList lines = recorded();
        QCOMPARE(lines.value(0), QDir(gameDir + QStringLiteral("/bin/release")).canonicalPath());
        QCOMPARE(lines.mid(1), QStringList({ gameDir + QStringLiteral("/bin/release/korvina.exe"),
                                             QStringLiteral("-rebQ2950417"), QStringLiteral("-c"),
                                             QStringLiteral("-n"), QStringLiteral("Anna_Petrova"),
                                             QStringLiteral("-h"), QStringLiteral("::1"),
                                             QStringLiteral("-p"), QStringLiteral("7772") }));
    }

    void noServerChosen()
    {
        GameStarter *starter = makeStarter(QString(), QStringLiteral("0"), QStringLiteral("John_Smith"));
        starter->start(false);
        QCOMPARE(recorded().mid(1), QStringList({ QStringLiteral("-korvina"), QStringLiteral("-c"),
                                                  QStringLiteral("-n"), QStringLiteral("John_Smith"),
                                                  QStringLiteral("-h"), QStringLiteral("-p"),
                                                  QStringLiteral("0") }));
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
        GameStarter *starter = makeStarter(host, port, QStringLiteral("John_Smith"));
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

    void cleanupTestCase()
    {
        qputenv("PATH", originalPath);
    }
};

QTEST_GUILESS_MAIN(TestGameStarter)
#include "tst_gamestarter.moc"
