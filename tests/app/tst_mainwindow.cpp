#include "../ui/uitest.h"
#include "app/mainwindow.h"
#include "app/runstate.h"
#include "buildconfig.h"
#include "platform/platform.h"
#include "ui/animcontrols.h"
#include "ui/newslist.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QStringList logged;

void record(QtMsgType, const QMessageLogContext &context, const QString &message)
{
    // The launcher's own log lines are wanted; anything Qt complains about is not.
    if (!QByteArray(context.category).startsWith("korvina."))
        logged.append(message);
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir home;
    UiTest::LinkRecorder links;

    template<typename T = QWidget> static T *find(MainWindow &window, const char *name)
    {
        return window.findChild<T *>(QLatin1String(name));
    }

    static int layerWidth(MainWindow &window) { return find(window, "progressBarLayer")->width(); }

private slots:
    void initTestCase()
    {
        QVERIFY(home.isValid());
        qputenv("HOME", QFile::encodeName(home.path()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path() + QStringLiteral("/config")));
        qputenv("XDG_DOCUMENTS_DIR", QFile::encodeName(home.path() + QStringLiteral("/docs")));
        UiTest::loadResources();
    }

    void nickname_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<bool>("typed"); // else stored by the last start
        QTest::addColumn<QString>("shown");
        QTest::addColumn<bool>("acceptable");
        QTest::newRow("underscores around") << "__John_Smith__" << false << "John_Smith" << true;
        QTest::newRow("non-ascii and blank") << "Jöhn Smith" << false << "JhnSmith" << true;
        QTest::newRow("digits dropped") << "Ivan_2000" << false << "Ivan" << true;
        QTest::newRow("underscores only") << "___" << false << "" << false;
        QTest::newRow("too short") << "ab" << true << "ab" << false;
        QTest::newRow("too long") << QString(21, 'a') << true << QString(20, 'a') << true;
        QTest::newRow("blank, digit and dash") << "John Smith-2" << true << "JohnSmith" << true;
    }

    void nickname()
    {
        QFETCH(QString, input);
        QFETCH(bool, typed);
        QFETCH(QString, shown);
        QFETCH(bool, acceptable);
        QVERIFY(Platform::writePlayerName(typed ? QString() : input));
        MainWindow window;
        auto *field = find<QLineEdit>(window, "nicknameField");
        if (typed)
            QTest::keyClicks(field, input);
        QCOMPARE(field->text(), shown);
        QCOMPARE(field->hasAcceptableInput(), acceptable);
    }

    void progressWidth()
    {
        MainWindow window;
        QCOMPARE(layerWidth(window), 0);
        const struct
        {
            quint64 current, maximum;
            int columns;
        } cases[] = { { 0, 0, 1 }, { 1, 0, 1 }, { 50, 100, 236 }, { 150, 100, 471 },
            { 100, 100, 471 }, { 1, 3, 157 }, { 0, 100, 1 } };
        for (const auto &c : cases) {
            window.syncerSetProgressState(c.current, c.maximum);
            QCOMPARE(layerWidth(window), c.columns);
        }
        QCOMPARE(MainWindow::progressFillWidth(~quint64(0), 1), 470);
    }

    void headerButtons_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("effect");
        const QString site = QStringLiteral("https://") + QLatin1String(BuildConfig::siteHost);
        const QString forum = QStringLiteral("https://") + QLatin1String(BuildConfig::forumHost);
        QTest::newRow("site") << "siteBtn" << site + '/';
        QTest::newRow("forum") << "forumBtn" << forum + '/';
        QTest::newRow("donate") << "donateBtn" << site + "/donate";
        QTest::newRow("settings") << "settingsBtnTrigger" << QStringLiteral("Настройки dimmed 1");
        QTest::newRow("close") << "btnExitTrigger" << QStringLiteral("closed");
    }

    void headerButtons()
    {
        QFETCH(QString, button);
        QFETCH(QString, effect);
        MainWindow window;
        window.show();
        UiTest::DialogCloser dialogs([&window] { return window.overlayCount(); });
        links.opened.clear();
        QTest::mouseClick(window.findChild<QPushButton *>(button), Qt::LeftButton);
        QStringList seen = links.opened;
        for (int i = 0; i < dialogs.texts.size(); ++i)
            seen << QStringLiteral("%1 dimmed %2")
                        .arg(dialogs.texts.at(i))
                        .arg(dialogs.overlays.at(i));
        if (window.isHidden() && quitRequested.exchange(false)) {
            seen << QStringLiteral("closed");
            // A loop of our own takes the request to quit, which would end every later dialog.
            QTimer::singleShot(0, qApp, &QCoreApplication::quit);
            QCoreApplication::exec();
        }
        QCOMPARE(seen.join(' '), effect);
        QCOMPARE(window.overlayCount(), 0);
    }

    void joinButtonFadeLogsNothing()
    {
        logged.clear();
        const QtMessageHandler previous = qInstallMessageHandler(record);
        const auto restore = qScopeGuard([previous] { qInstallMessageHandler(previous); });
        MainWindow window;
        window.show();
        window.syncerFinish(true);
        auto *join = find<QPushButton>(window, "btnJoinGame");
        UiTest::enter(join);
        QTRY_COMPARE(join->findChild<AnimBgButton *>()->color().alpha(), 255);
        // Each step of the fade restyles the button; a style the parser rejects, or an image
        // missing from the resources, would be logged every time.
        QCOMPARE(logged, QStringList());
    }

    void joinChecks()
    {
        MainWindow window;
        window.show();
        UiTest::DialogCloser messages([&window] { return window.overlayCount(); });
        auto *field = find<QLineEdit>(window, "nicknameField");
        window.btnJoinGameClick(false);

        // Without the file list the player may still play, but is not told the game was
        // checked: the bar shows an error and offers to try again.
        const QString error = QStringLiteral("Ошибка: не удалось получить список файлов");
        window.syncerSetProgressText(error, QString());
        window.syncerFinish(true);
        QVERIFY(window.readyToPlay);
        auto *shown = find<QLabel>(window, "progressBarError")->findChild<CustomLabel *>();
        QCOMPARE(shown->labelText(), error);
        QVERIFY(find(window, "progressBarError")->isVisible());
        QVERIFY(!find(window, "progressBarState1")->isVisible());
        QVERIFY(find(window, "btnRetry")->isVisible());
        // Typing what the rule refuses says so instead of swallowing it.
        field->setFocus();
        QTest::keyClicks(field, QStringLiteral("ab"));
        QKeyEvent cyrillic(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier,
            QStringLiteral("Ж"));
        QApplication::sendEvent(field, &cyrillic);
        QCOMPARE(field->text(), QStringLiteral("ab"));
        QCOMPARE(find<QLabel>(window, "nicknameHint")->text(),
            QStringLiteral("Только латиница и «_»"));
        // Return in the field joins, and a short name names the rule.
        QTest::keyClick(field, Qt::Key_Return);

        // The service listed no server: the stored choice selects none, and a join asks for one.
        window.serverListLoaded();
        field->setText(QStringLiteral("John_Smith"));
        window.btnJoinGameClick(false);
        QCOMPARE(messages.texts,
            QStringList({ "Игра ещё не готова. Пожалуйста, подождите.",
                "Укажите никнейм от 3 до 20 символов: латинские буквы и «_», например "
                "Ivan_Ivanov",
                "Выберите сервер из списка" }));
        QCOMPARE(messages.overlays, QList<int>({ 1, 1, 1 }));
        QVERIFY(window.isVisible());

        // "Повторить" starts a new run at once.
        QTest::mouseClick(find<QPushButton>(window, "btnRetry"), Qt::LeftButton);
        QVERIFY(!window.readyToPlay);
        QVERIFY(!find(window, "btnRetry")->isVisible());
        QTRY_VERIFY(window.findChildren<QThread *>().isEmpty());
    }

    void newsColumnSaysWhyItIsEmpty_data()
    {
        QTest::addColumn<int>("entries"); // in the service's answer; -1 when none came
        QTest::addColumn<QString>("note");
        QTest::newRow("news") << 1 << QString();
        QTest::newRow("no news") << 0 << QStringLiteral("Новостей пока нет");
        QTest::newRow("news failed") << -1
                                     << QStringLiteral("Не удалось загрузить новости. Проверьте "
                                                       "подключение к интернету.");
    }

    void newsColumnSaysWhyItIsEmpty()
    {
        QFETCH(int, entries);
        QFETCH(QString, note);
        MainWindow window;
        window.show();
        for (int i = 0; i < entries; ++i)
            window.newsList()->addNews(QStringLiteral("Title"), QStringLiteral("Text"),
                QStringLiteral("01.12"), QStringLiteral("https://site.example/news"));
        if (entries >= 0)
            window.newsListLoaded();
        window.loadFinish();
        QCOMPARE(window.newsList()->note(), note);
        QTRY_VERIFY(window.findChildren<QThread *>().isEmpty());
    }

    void synchronisationRunsReplaceEachOther()
    {
        MainWindow window;
        // Two runs back to back: the first run's late end must not take the second with it.
        window.startSync();
        window.startSync();
        QTRY_VERIFY(window.readyToPlay);
        QTRY_VERIFY(window.findChildren<QThread *>().isEmpty());
        window.startSync();
        QTRY_VERIFY(window.readyToPlay);
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
