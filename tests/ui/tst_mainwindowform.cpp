#include "app/mainwindow.h"
#include "buildconfig.h"
#include "ui/animcontrols.h"
#include "ui/newslist.h"
#include "ui/serverlist.h"
#include "uitest.h"

#include <QDesktopServices>
#include <QFrame>
#include <QGraphicsDropShadowEffect>
#include <QGraphicsOpacityEffect>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

class LinkRecorder : public QObject
{
    Q_OBJECT

public:
    QStringList opened;

public slots:
    void open(const QUrl &url) { opened.append(url.toString()); }
};

class TestMainWindowForm : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir home;
    LinkRecorder links;

    template<typename T = QWidget> static T *find(MainWindow &window, const char *name)
    {
        return window.findChild<T *>(QLatin1String(name));
    }

    static CustomLabel *renderer(MainWindow &window, const char *placeholder)
    {
        return find<QLabel>(window, placeholder)->findChild<CustomLabel *>();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(home.isValid());
        qputenv("HOME", QFile::encodeName(home.path()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path() + QStringLiteral("/config")));
        qputenv("XDG_DOCUMENTS_DIR", QFile::encodeName(home.path() + QStringLiteral("/docs")));
        UiTest::loadResources();
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &links, "open");
    }

    void objectsAndGeometry_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("parent");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("text");
        const struct
        {
            const char *name, *parent;
            QRect geometry;
            const char *text;
        } rows[] = {
            { "headerWidget", "centralWidget", { 0, 0, 900, 50 }, nullptr },
            { "btnExitTrigger", "headerWidget", { 869, 16, 18, 18 }, "" },
            { "btnHideTrigger", "headerWidget", { 840, 16, 20, 18 }, "" },
            { "headerLogo", "headerWidget", { 19, 12, 20, 26 }, "" },
            { "korvinaLabel", "headerWidget", { 53, 17, 71, 17 }, "Korvina" },
            { "launcherLabel", "headerWidget", { 130, 17, 91, 17 }, "Launcher" },
            { "headerBtnsFrame", "headerWidget", { 250, 0, 392, 50 }, nullptr },
            { "siteBtn", "headerBtnsFrame", { 0, 0, 130, 50 }, "Сайт" },
            { "forumBtn", "headerBtnsFrame", { 130, 0, 130, 50 }, "Форум" },
            { "donateBtn", "headerBtnsFrame", { 260, 0, 130, 50 }, "Пополнить счет" },
            { "settingsBtnTrigger", "headerWidget", { 710, 10, 111, 31 }, "Настройки" },
            { "serversLabel", "centralWidget", { 70, 80, 111, 31 }, "" },
            { "btnRefresh", "centralWidget", { 200, 83, 101, 31 }, "Обновить" },
            { "serverListWidget", "centralWidget", { 70, 119, 470, 200 }, nullptr },
            { "hrLine1", "centralWidget", { 70, 342, 470, 1 }, nullptr },
            { "nicknameLabel", "centralWidget", { 70, 353, 101, 21 }, "" },
            { "nicknameField", "centralWidget", { 70, 380, 230, 40 }, nullptr },
            { "btnJoinGame", "centralWidget", { 309, 370, 230, 50 }, "Зайти на сервер" },
            { "hrLine2", "centralWidget", { 70, 432, 470, 1 }, nullptr },
            { "buildLabel", "centralWidget", { 70, 440, 281, 21 }, "" },
            { "progressBarWidget", "centralWidget", { 70, 469, 470, 27 }, nullptr },
            { "progressBarLayer", "progressBarWidget", { 0, 0, 0, 27 }, "" },
            { "progressBarState1", "centralWidget", { 70, 469, 470, 27 }, "" },
            { "progressBarState2", "centralWidget", { 90, 500, 427, 16 }, "" },
            { "newsLabel", "centralWidget", { 554, 80, 191, 31 }, "" },
            { "newsListWidget", "centralWidget", { 554, 119, 293, 390 }, nullptr },
            { "overlayWidget", "centralWidget", { 0, 50, 900, 500 }, nullptr },
        };
        for (const auto &row : rows)
            QTest::newRow(row.name)
                << row.name << row.parent << row.geometry
                << (row.text ? QString::fromUtf8(row.text) : QString(QLatin1String("-")));
    }

    void objectsAndGeometry()
    {
        QFETCH(QString, name);
        QFETCH(QString, parent);
        QFETCH(QRect, geometry);
        QFETCH(QString, text);
        MainWindow window;
        auto *widget = window.findChild<QWidget *>(name);
        QVERIFY(widget);
        QCOMPARE(widget->parentWidget()->objectName(), parent);
        QCOMPARE(widget->geometry(), geometry);
        if (auto *label = qobject_cast<QLabel *>(widget))
            QCOMPARE(label->text(), text);
        if (auto *button = qobject_cast<QPushButton *>(widget))
            QCOMPARE(button->text(), text);
    }

    void windowAndExactStyles()
    {
        MainWindow window;
        QCOMPARE(window.size(), QSize(900, 550));
        QCOMPARE(window.windowTitle(), QStringLiteral("Korvina Launcher"));
        QVERIFY(!window.windowIcon().isNull());
        QCOMPARE(window.centralWidget()->objectName(), QStringLiteral("centralWidget"));
        QCOMPARE(find(window, "centralWidget")->styleSheet(),
            QStringLiteral("#centralWidget {\n\tbackground-image: url(:/images/body.png);\n\t"
                           "background-color: qlineargradient(spread:pad, x1:0, y1:0, x2:1, "
                           "y2:0, stop:0 rgba(12, 56, 146, 255), stop:1 rgba(32, 45, 94, 255));"
                           "\n}\n\n#centralWidget * {\n   color: #fff;\n}"));
        QCOMPARE(find(window, "headerWidget")->styleSheet(),
            QStringLiteral("#headerWidget {\n\tbackground-color:\trgba(14, 39, 78, 178);\n}"));
        QCOMPARE(find(window, "nicknameField")->styleSheet(),
            QStringLiteral("#nicknameField {\n\tborder: none;\n\tbackground-color: rgba(0, 0, 0, "
                           "50);\n\tborder-radius: 4px;\n\tpadding-left: 10px;\n}"));
        QCOMPARE(find<QLineEdit>(window, "nicknameField")->placeholderText(),
            QStringLiteral("Имя_Фамилия"));
        // The join button keeps its base style, five f included, ahead of the animated colours.
        QVERIFY(find(window, "btnJoinGame")
                    ->styleSheet()
                    .startsWith(QLatin1String(
                        "border-radius: 4px;\npadding: 0;\ncolor: #fffff;background-color: "
                        "rgba(38, 239, 94, 0);border: 1px solid rgba(255, 255, 255, 255);")));
        QCOMPARE(find(window, "hrLine1")->styleSheet(),
            QStringLiteral("background: rgba(255, 255, 255, 25);"));
        QCOMPARE(find(window, "hrLine2")->styleSheet(),
            QStringLiteral("background: rgba(255, 255, 255, 25);"));
        QCOMPARE(find(window, "progressBarWidget")->styleSheet(),
            QStringLiteral("background: rgba(0, 0, 0, 75);\nborder-radius: 4px;"));
        QCOMPARE(find(window, "progressBarLayer")->styleSheet(),
            QStringLiteral(
                "#progressBarLayer {\n\tbackground: #26EF5E;\n\tborder-radius: 4px;\n}"));
        QCOMPARE(find(window, "overlayWidget")->styleSheet(),
            QStringLiteral("background: rgba(11, 34, 85, 0.9);"));
        QCOMPARE(find(window, "launcherLabel")->styleSheet(),
            QStringLiteral("color: rgba(255, 255, 255, 128);"));
        for (const char *image : { "body", "logo", "favicon", "close_h", "minimize_h", "settings_h",
                 "refresh", "headerBtnHover", "pcount_0", "pcount_2", "repair" })
            QVERIFY2(!QPixmap(QStringLiteral(":/images/%1.png").arg(QLatin1String(image))).isNull(),
                image);
    }

    void fonts_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("pointSize");
        QTest::addColumn<int>("weight");
        QTest::newRow("btnJoinGame") << "btnJoinGame" << 10 << 75;
        QTest::newRow("siteBtn") << "siteBtn" << 9 << 57;
        QTest::newRow("forumBtn") << "forumBtn" << 9 << 57;
        QTest::newRow("donateBtn") << "donateBtn" << 9 << 57;
        QTest::newRow("korvinaLabel") << "korvinaLabel" << 11 << 75;
        QTest::newRow("launcherLabel") << "launcherLabel" << 11 << 35;
        QTest::newRow("settingsBtnTrigger") << "settingsBtnTrigger" << 10 << 45;
        QTest::newRow("btnRefresh") << "btnRefresh" << 10 << 45;
        QTest::newRow("nicknameField") << "nicknameField" << 10 << 50;
    }

    void fonts()
    {
        QFETCH(QString, name);
        QFETCH(int, pointSize);
        QFETCH(int, weight);
        MainWindow window;
        const QFont font = window.findChild<QWidget *>(name)->font();
        QCOMPARE(font.family(), QStringLiteral("Montserrat"));
        QCOMPARE(font.pointSize(), pointSize);
        QCOMPARE(font.weight(), weight);
        QVERIFY(QFontInfo(font).family().startsWith(QLatin1String("Montserrat")));
    }

    void textRenderers_data()
    {
        QTest::addColumn<QString>("placeholder");
        QTest::addColumn<int>("pointSize");
        QTest::addColumn<int>("weight");
        QTest::addColumn<QColor>("color");
        QTest::addColumn<int>("alignment");
        QTest::addColumn<QString>("text");
        const int leftBottom = Qt::AlignLeft | Qt::AlignBottom;
        QTest::newRow("servers") << "serversLabel" << 80 << 75 << QColor(Qt::white) << leftBottom
                                 << "Сервера";
        QTest::newRow("news") << "newsLabel" << 80 << 75 << QColor(Qt::white) << leftBottom
                              << "Новости";
        QTest::newRow("nickname") << "nicknameLabel" << 50 << 75 << QColor(Qt::white) << leftBottom
                                  << "Ваш никнейм";
        QTest::newRow("progress left")
            << "progressBarState1" << 40 << 75 << QColor(Qt::white) << int(Qt::AlignCenter)
            << "Загрузка списка серверов и новостей...";
        QTest::newRow("progress right")
            << "progressBarState2" << 30 << 50 << QColor(Qt::white) << int(Qt::AlignCenter) << "";
        QTest::newRow("build") << "buildLabel" << 40 << 50 << QColor(255, 255, 255, 75)
                               << leftBottom << "Версия 2.0.4.2 от ";
    }

    void textRenderers()
    {
        QFETCH(QString, placeholder);
        QFETCH(int, pointSize);
        QFETCH(int, weight);
        QFETCH(QColor, color);
        QFETCH(int, alignment);
        QFETCH(QString, text);
        MainWindow window;
        auto *host = window.findChild<QLabel *>(placeholder);
        CustomLabel *label = host->findChild<CustomLabel *>();
        QVERIFY(label);
        QCOMPARE(label->supersampling(), 5.0);
        QCOMPARE(label->size(), host->size());
        QCOMPARE(label->labelFont().family(), QStringLiteral("Montserrat"));
        QCOMPARE(label->labelFont().pointSize(), pointSize);
        QCOMPARE(label->labelFont().weight(), weight);
        QCOMPARE(label->labelColor(), color);
        QCOMPARE(label->labelAlignment(), alignment);
        if (text.isEmpty())
            QVERIFY(label->labelText().isEmpty());
        else
            QVERIFY(label->labelText().startsWith(text));
        QCOMPARE(host->text(), QString());
    }

    void progressTextCarriesAShadow()
    {
        MainWindow window;
        auto *shadow = qobject_cast<QGraphicsDropShadowEffect *>(
            renderer(window, "progressBarState1")->graphicsEffect());
        QVERIFY(shadow);
        QCOMPARE(shadow->blurRadius(), 2.0);
        QCOMPARE(shadow->color(), QColor(0, 0, 0));
        QCOMPARE(shadow->offset(), QPointF(1, 1));
    }

    void hoverDecorations()
    {
        MainWindow window;
        window.show();
        for (const char *name :
            { "btnExitTrigger", "btnHideTrigger", "settingsBtnTrigger", "btnRefresh" }) {
            auto *button = find<QPushButton>(window, name);
            auto *effect = qobject_cast<QGraphicsOpacityEffect *>(button->graphicsEffect());
            QVERIFY2(effect, name);
            QCOMPARE(effect->opacity(), 0.5);
            QVERIFY(button->findChild<AnimButton *>());
            UiTest::enter(button);
            QTRY_COMPARE(effect->opacity(), 1.0);
            UiTest::leave(button);
            QTRY_COMPARE(effect->opacity(), 0.5);
        }
        QCOMPARE(find(window, "btnRefresh")->cursor().shape(), Qt::PointingHandCursor);
        QCOMPARE(find(window, "settingsBtnTrigger")->cursor().shape(), Qt::PointingHandCursor);

        const QList<HeaderButton *> frames
            = find(window, "headerBtnsFrame")->findChildren<HeaderButton *>();
        QCOMPARE(frames.size(), 3);
        for (const char *name : { "siteBtn", "forumBtn", "donateBtn" }) {
            auto *button = find<QPushButton>(window, name);
            QCOMPARE(button->cursor().shape(), Qt::PointingHandCursor);
            HeaderButton *frame = nullptr;
            for (HeaderButton *candidate : frames) {
                if (candidate->geometry() == button->geometry())
                    frame = candidate;
            }
            QVERIFY2(frame, name);
            QCOMPARE(frame->styleSheet(),
                QStringLiteral("background: rgba(11, 34, 85, 250);                           "
                               "background-image: url(:/images/headerBtnHover.png);          "
                               "                 background-position: bottom center;         "
                               "                  background-repeat: no-repeat;"));
            UiTest::enter(button);
            QTRY_COMPARE(frame->opacity(), 1.0);
            UiTest::leave(button);
            QTRY_COMPARE(frame->opacity(), 0.0);
        }
    }

    void joinButtonIsDimmedUntilReady()
    {
        MainWindow window;
        window.show();
        auto *join = find<QPushButton>(window, "btnJoinGame");
        QCOMPARE(join->cursor().shape(), Qt::PointingHandCursor);
        auto *dim = qobject_cast<QGraphicsOpacityEffect *>(join->graphicsEffect());
        QVERIFY(dim);
        QCOMPARE(dim->opacity(), 0.5);
        const QString resting = join->styleSheet();
        UiTest::enter(join);
        QTest::qWait(300);
        QCOMPARE(join->styleSheet(), resting);

        window.syncerFinish(true);
        auto *full = qobject_cast<QGraphicsOpacityEffect *>(join->graphicsEffect());
        QVERIFY(full);
        QCOMPARE(full->opacity(), 1.0);
        UiTest::enter(join);
        QTRY_VERIFY(join->styleSheet().endsWith(QLatin1String(
            "background-color: rgba(38, 239, 94, 255);border: 1px solid rgba(38, 239, 94, 255);")));
    }

    void listsLiveInTheirHosts()
    {
        MainWindow window;
        QCOMPARE(window.serverList()->parentWidget(), find(window, "serverListWidget"));
        QCOMPARE(window.newsList()->parentWidget(), find(window, "newsListWidget"));
        QCOMPARE(window.serverList()->card(5)->geometry(), QRect(240, 140, 230, 60));
        QVERIFY(find(window, "serverListWidget")->hasMouseTracking());
        QVERIFY(find(window, "newsListWidget")->hasMouseTracking());
        QVERIFY(window.hasMouseTracking());
    }

    void overlayCoversAllButTheHeader()
    {
        MainWindow window;
        window.show();
        window.setOverlay(true);
        QWidget *overlay = find(window, "overlayWidget");
        QVERIFY(overlay->isVisible());
        QCOMPARE(overlay->geometry(), QRect(0, 50, 900, 500));
        // Stacked above everything of the body, so nothing under it can be clicked.
        QCOMPARE(window.centralWidget()->childAt(300, 400), overlay);
        QVERIFY(window.centralWidget()->childAt(880, 25) != overlay);
        window.setOverlay(false);
    }

    void webLinksOpenThroughThePlatform()
    {
        MainWindow window;
        window.show();
        links.opened.clear();
        for (const char *name : { "siteBtn", "forumBtn", "donateBtn" })
            QTest::mouseClick(find<QPushButton>(window, name), Qt::LeftButton);
        const QString site = QStringLiteral("https://") + QLatin1String(BuildConfig::siteHost);
        QCOMPARE(links.opened,
            (QStringList { site + QLatin1Char('/'),
                QStringLiteral("https://") + QLatin1String(BuildConfig::forumHost)
                    + QLatin1Char('/'),
                site + QStringLiteral("/donate") }));
    }
};

QTEST_MAIN(TestMainWindowForm)
#include "tst_mainwindowform.moc"
