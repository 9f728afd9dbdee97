// The real MainWindow of a launcher built against the development service, in process, for
// what only the window shows: its texts, the server cards and the news. e2e.py copies this
// program into a fresh launcher directory (the launcher's directory is the program's), starts
// or stops the service and runs one case at a time:
//   readyWithService        service up, empty game directory: loading to "Готово к игре!"
//   cachedServersOffline    service down, after readyWithService in the same directory
//   builtInServersOffline   service down, a launcher directory that never saw the service,
//                           with a game copied into it by hand
// RECORD_FILE names where the wine stand-in on PATH records a game start.

#include "app/mainwindow.h"
#include "service/extraca.h"
#include "ui/animcontrols.h"
#include "ui/messagedialog.h"
#include "ui/newslist.h"
#include "ui/resources.h"
#include "ui/serverlist.h"

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QtTest>

namespace {

// Everything waits for a condition; the time-outs only bound a hung launcher on a loaded
// machine, they are no expectation of speed.
const int syncTimeout = 150000;
const int stepTimeout = 60000;

const char fileListError[] = "Ошибка: не удалось получить список файлов";
const char *const serviceNames[] = { "Korvina #1", "Korvina #2", "Korvina #3", "Korvina Test" };

} // namespace

class TestE2eWindow : public QObject
{
    Q_OBJECT

private:
    static QString progressText(MainWindow &window)
    {
        auto *host = window.findChild<QLabel *>(QStringLiteral("progressBarState1"));
        auto *label = host ? host->findChild<CustomLabel *>() : nullptr;
        return label ? label->labelText() : QString();
    }

    static QString cardCount(ServerWidget *card)
    {
        static const QRegularExpression count(QStringLiteral("^(\\d+|-)/(\\d+|-)$"));
        for (QLabel *label : card->findChildren<QLabel *>()) {
            if (count.match(label->text()).hasMatch())
                return label->text();
        }
        return QString();
    }

    static QStringList filledNames(ServerList *servers)
    {
        QStringList names;
        for (int i = 0; i < ServerList::cardCount; ++i) {
            if (servers->card(i) && servers->card(i)->isFilled())
                names.append(servers->card(i)->serverName());
        }
        return names;
    }

    // Clicks the join button and waits for the wine stand-in's record of the game's start.
    static bool joinStartsGame(MainWindow &window)
    {
        const QString record = QString::fromLocal8Bit(qgetenv("RECORD_FILE"));
        QFile::remove(record);
        auto *join = window.findChild<QPushButton *>(QStringLiteral("btnJoinGame"));
        if (!join || record.isEmpty())
            return false;
        join->click();
        return QTest::qWaitFor([&] { return QFile::exists(record); }, stepTimeout);
    }

    static void prepareWindow(MainWindow &window)
    {
        window.findChild<QLineEdit *>(QStringLiteral("nicknameField"))
            ->setText(QStringLiteral("Ivan_Petrov"));
        window.show();
        window.startLoader();
    }

private slots:
    void initTestCase()
    {
        initLauncherResources();
        QVERIFY2(installExtraCaCertificates() > 0, "this build trusts no development CA");
        QVERIFY(!qEnvironmentVariableIsEmpty("RECORD_FILE"));
    }

    void readyWithService()
    {
        const QString gameDir = QCoreApplication::applicationDirPath() + QStringLiteral("/gtacr");
        MainWindow window;
        prepareWindow(window);
        QTRY_COMPARE_WITH_TIMEOUT(
            progressText(window), QString::fromUtf8("Готово к игре!"), syncTimeout);

        auto *servers = window.findChild<ServerList *>();
        QVERIFY(servers);
        QStringList expected;
        for (const char *name : serviceNames)
            expected.append(QString::fromUtf8(name));
        QCOMPARE(filledNames(servers), expected);
        // Each card's own status query has asked the service for its players.
        for (int i = 0; i < expected.size(); ++i) {
            QTRY_VERIFY_WITH_TIMEOUT(
                !cardCount(servers->card(i)).startsWith(QLatin1Char('-')), stepTimeout);
        }

        auto *news = window.findChild<NewsList *>();
        QVERIFY(news);
        QCOMPARE(news->count(), 4);
        QCOMPARE(news->title(0), QString::fromUtf8("Открытие зимнего сезона"));
        for (int i = 0; i < news->count(); ++i) {
            QTRY_VERIFY_WITH_TIMEOUT(
                news->pictureLabel(i) && !news->pictureLabel(i)->pixmap(Qt::ReturnByValue).isNull(),
                stepTimeout);
        }

        QVERIFY(QFileInfo(gameDir + QStringLiteral("/gta_sa.exe")).isFile());
        QVERIFY(QFileInfo(gameDir + QStringLiteral("/models/gta3.img")).isFile());
        QVERIFY(joinStartsGame(window));
    }

    void cachedServersOffline()
    {
        MainWindow window;
        prepareWindow(window);
        QTRY_COMPARE_WITH_TIMEOUT(
            progressText(window), QString::fromUtf8(fileListError), syncTimeout);
        auto *servers = window.findChild<ServerList *>();
        QVERIFY(servers);
        // The answer of the earlier run, from korvina_servers.bin.
        QTRY_COMPARE_WITH_TIMEOUT(
            filledNames(servers).value(0), QString::fromUtf8(serviceNames[0]), stepTimeout);
        QCOMPARE(filledNames(servers).size(), 4);
        QCOMPARE(servers->currentPort(), ushort(7001));
        QVERIFY(joinStartsGame(window));
    }

    void builtInServersOffline()
    {
        MainWindow window;
        prepareWindow(window);
        QTRY_COMPARE_WITH_TIMEOUT(
            progressText(window), QString::fromUtf8(fileListError), syncTimeout);
        auto *servers = window.findChild<ServerList *>();
        QVERIFY(servers);
        QTRY_COMPARE_WITH_TIMEOUT(filledNames(servers).size(), 2, stepTimeout);
        QCOMPARE(servers->card(0)->port(), ushort(7771));
        QCOMPARE(servers->card(1)->port(), ushort(7772));
        QVERIFY(joinStartsGame(window));
    }
};

QTEST_MAIN(TestE2eWindow)
#include "tst_e2ewindow.moc"
