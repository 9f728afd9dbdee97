// The real MainWindow of a launcher built against the development service, in process, for
// what only the window shows: its texts, the server cards and the news. e2e.py copies this
// program into a fresh launcher directory (the launcher's directory is the program's), starts
// or stops the service and runs one row of window() at a time:
//   readyWithService        service up, empty game directory: loading to "Готово к игре!"
//   cachedServersOffline    service down, after readyWithService in the same directory
//   builtInServersOffline   service down, a launcher directory that never saw the service,
//                           with a game copied into it by hand
// RECORD_FILE names where the wine stand-in on PATH records a game start. stateFile() serves
// e2e.py's runs of the real launcher: this build has the launcher's store key.

#include "app/mainwindow.h"
#include "files/filesystem.h"
#include "service/extraca.h"
#include "ui/animcontrols.h"
#include "ui/newslist.h"
#include "ui/resources.h"
#include "ui/serverlist.h"

#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include <algorithm>

// Everything waits for a condition; the time-outs only bound a hung launcher on a loaded
// machine, they are no expectation of speed.
const int syncTimeout = 150000;
const int stepTimeout = 60000;

const char fileListError[] = "Ошибка: не удалось получить список файлов";

class TestE2eWindow : public QObject
{
    Q_OBJECT

private:
    static bool online(ServerWidget *card)
    {
        const auto labels = card->findChildren<QLabel *>();
        return std::any_of(labels.cbegin(), labels.cend(),
            [](const QLabel *label) { return label->text() == QLatin1String("Online"); });
    }

    // "name:port" of each card that holds a server.
    static QStringList filled(ServerList *servers)
    {
        QStringList names;
        for (int i = 0; i < ServerList::cardCount; ++i) {
            if (servers->card(i)->isFilled())
                names << servers->card(i)->serverName() + ':'
                        + QString::number(servers->card(i)->port());
        }
        return names;
    }

private slots:
    void initTestCase()
    {
        initLauncherResources();
        QVERIFY2(installExtraCaCertificates() > 0, "this build trusts no development CA");
        QVERIFY(!qEnvironmentVariableIsEmpty("RECORD_FILE"));
    }

    void window_data()
    {
        QTest::addColumn<bool>("serviceUp");
        QTest::addColumn<QStringList>("servers");
        const QStringList service
            = { "Korvina #1:7001", "Korvina #2:7002", "Korvina #3:7003", "Korvina Test:7004" };
        QTest::newRow("readyWithService") << true << service;
        // The answer of the earlier run, from korvina_servers.bin.
        QTest::newRow("cachedServersOffline") << false << service;
        QTest::newRow("builtInServersOffline")
            << false << QStringList { "Korvina RP #1:7771", "Korvina RP #2:7772" };
    }

    void window()
    {
        QFETCH(bool, serviceUp);
        QFETCH(QStringList, servers);
        MainWindow window;
        window.findChild<QLineEdit *>("nicknameField")->setText("Ivan_Petrov");
        window.show();
        window.startLoader();
        auto *progress
            = window.findChild<QLabel *>("progressBarState1")->findChild<CustomLabel *>();
        QTRY_COMPARE_WITH_TIMEOUT(progress->labelText(),
            QString::fromUtf8(serviceUp ? "Готово к игре!" : fileListError), syncTimeout);
        auto *list = window.findChild<ServerList *>();
        QTRY_COMPARE_WITH_TIMEOUT(filled(list), servers, stepTimeout);
        QCOMPARE(QString::number(list->currentPort()), servers.first().section(':', 1));

        if (serviceUp) {
            // Each card's own status query has asked the service for its players.
            for (int i = 0; i < servers.size(); ++i)
                QTRY_VERIFY_WITH_TIMEOUT(online(list->card(i)), stepTimeout);
            auto *news = window.findChild<NewsList *>();
            QCOMPARE(news->count(), 4);
            QCOMPARE(news->title(0), QString::fromUtf8("Открытие зимнего сезона"));
            for (int i = 0; i < news->count(); ++i) {
                QTRY_VERIFY_WITH_TIMEOUT(
                    !news->pictureLabel(i)->pixmap(Qt::ReturnByValue).isNull(), stepTimeout);
            }
        }

        // The join button starts the game: the wine stand-in records it.
        const QString record = QString::fromLocal8Bit(qgetenv("RECORD_FILE"));
        QFile::remove(record);
        window.findChild<QPushButton *>(QStringLiteral("btnJoinGame"))->click();
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(record), stepTimeout);
    }

    // The state a real launcher left in LAUNCHER_DIR describes the published list SYNC_LST (the
    // same fingerprint without times) and records for every file the modification time it has
    // in the game directory, which is what lets the next start skip hashing.
    void stateFile()
    {
        const QString launcherDir = qEnvironmentVariable("LAUNCHER_DIR");
        FileSystem state;
        state.readText(
            FileSystem::readSealedFile(QStringLiteral("/korvina_launcher.bin"), launcherDir), true);
        QVERIFY(!state.entries.isEmpty() && !state.directories.isEmpty());
        QFile list(qEnvironmentVariable("SYNC_LST"));
        QVERIFY(list.open(QIODevice::ReadOnly));
        FileSystem published;
        published.readText(list.readAll(), false);
        state.normalize();
        published.normalize();
        QCOMPARE(state.fingerprint(false), published.fingerprint(false));
        for (const FileEntry &entry : qAsConst(state.entries)) {
            if (entry.name.isEmpty() || entry.kind == FileEntry::img_archive)
                continue;
            const QFileInfo file(launcherDir + QStringLiteral("/gtacr/") + entry.path);
            QVERIFY2(file.isFile(), qPrintable(entry.path));
            QCOMPARE(entry.mtime, quint32(file.lastModified().toSecsSinceEpoch()));
        }
    }
};

QTEST_MAIN(TestE2eWindow)
#include "tst_e2ewindow.moc"
