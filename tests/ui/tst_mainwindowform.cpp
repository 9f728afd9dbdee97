#include "app/mainwindow.h"
#include "buildconfig.h"
#include "ui/animcontrols.h"
#include "ui/newslist.h"
#include "ui/serverlist.h"
#include "uitest.h"

#include <QFrame>
#include <QGraphicsDropShadowEffect>
#include <QGraphicsOpacityEffect>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

class TestMainWindowForm : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir home;
    UiTest::LinkRecorder links;

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
    }

    void objectsGeometryAndTexts()
    {
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
        MainWindow window;
        for (const auto &row : rows) {
            auto *widget = find(window, row.name);
            QVERIFY2(widget, row.name);
            QCOMPARE(widget->parentWidget()->objectName(), QLatin1String(row.parent));
            QCOMPARE(widget->geometry(), row.geometry);
            if (auto *label = qobject_cast<QLabel *>(widget))
                QCOMPARE(label->text(), QString::fromUtf8(row.text));
            if (auto *button = qobject_cast<QPushButton *>(widget))
                QCOMPARE(button->text(), QString::fromUtf8(row.text));
        }
        QCOMPARE(window.size(), QSize(900, 550));
        QCOMPARE(window.windowTitle(), QStringLiteral("Korvina Launcher"));
        QVERIFY(!window.windowIcon().isNull());
        QCOMPARE(window.centralWidget()->objectName(), QStringLiteral("centralWidget"));
        QCOMPARE(find<QLineEdit>(window, "nicknameField")->placeholderText(),
            QStringLiteral("Имя_Фамилия"));
        QCOMPARE(window.serverList()->parentWidget(), find(window, "serverListWidget"));
        QCOMPARE(window.newsList()->parentWidget(), find(window, "newsListWidget"));
        QCOMPARE(window.serverList()->card(5)->geometry(), QRect(240, 140, 230, 60));
        for (const char *tracking : { "serverListWidget", "newsListWidget" })
            QVERIFY(find(window, tracking)->hasMouseTracking());
        QVERIFY(window.hasMouseTracking());
        for (const char *image : { "body", "logo", "favicon", "close_h", "minimize_h", "settings_h",
                 "refresh", "headerBtnHover", "pcount_0", "pcount_2", "repair" })
            QVERIFY2(!QPixmap(QStringLiteral(":/images/%1.png").arg(QLatin1String(image))).isNull(),
                image);
    }

    void exactStyles()
    {
        const struct
        {
            const char *name, *style;
        } rows[] = {
            { "centralWidget",
                "#centralWidget {\n\tbackground-image: url(:/images/body.png);\n\t"
                "background-color: qlineargradient(spread:pad, x1:0, y1:0, x2:1, y2:0, stop:0 "
                "rgba(12, 56, 146, 255), stop:1 rgba(32, 45, 94, 255));\n}\n\n#centralWidget * "
                "{\n   color: #fff;\n}" },
            { "headerWidget", "#headerWidget {\n\tbackground-color:\trgba(14, 39, 78, 178);\n}" },
            { "nicknameField",
                "#nicknameField {\n\tborder: none;\n\tbackground-color: rgba(0, 0, 0, 50);\n\t"
                "border-radius: 4px;\n\tpadding-left: 10px;\n}" },
            { "hrLine1", "background: rgba(255, 255, 255, 25);" },
            { "hrLine2", "background: rgba(255, 255, 255, 25);" },
            { "progressBarWidget", "background: rgba(0, 0, 0, 75);\nborder-radius: 4px;" },
            { "progressBarLayer",
                "#progressBarLayer {\n\tbackground: #26EF5E;\n\tborder-radius: 4px;\n}" },
            { "overlayWidget", "background: rgba(11, 34, 85, 0.9);" },
            { "launcherLabel", "color: rgba(255, 255, 255, 128);" },
        };
        MainWindow window;
        for (const auto &row : rows)
            QCOMPARE(find(window, row.name)->styleSheet(), QString::fromUtf8(row.style));
        // The join button keeps its base style, five f included, ahead of the animated colours.
        QVERIFY(find(window, "btnJoinGame")
                    ->styleSheet()
                    .startsWith(QLatin1String(
                        "border-radius: 4px;\npadding: 0;\ncolor: #ffffff;background-color: "
                        "rgba(38, 239, 94, 0);border: 1px solid rgba(255, 255, 255, 255);")));
    }

    void fontsAndTextRenderers()
    {
        const struct
        {
            const char *name;
            int pointSize, weight;
        } fonts[] = {
            { "btnJoinGame", 10, 75 },
            { "siteBtn", 9, 57 },
            { "forumBtn", 9, 57 },
            { "donateBtn", 9, 57 },
            { "korvinaLabel", 11, 75 },
            { "launcherLabel", 11, 35 },
            { "settingsBtnTrigger", 10, 45 },
            { "btnRefresh", 10, 45 },
            { "nicknameField", 10, 50 },
        };
        MainWindow window;
        for (const auto &row : fonts) {
            const QFont font = find(window, row.name)->font();
            QCOMPARE(font.family(), QStringLiteral("Montserrat"));
            QCOMPARE(font.pointSize(), row.pointSize);
            QCOMPARE(font.weight(), row.weight);
            QVERIFY(QFontInfo(font).family().startsWith(QLatin1String("Montserrat")));
        }

        const int leftBottom = Qt::AlignLeft | Qt::AlignBottom;
        const struct
        {
            const char *placeholder;
            int pointSize, weight;
            QColor color;
            int alignment;
            const char *text; // the start of it
        } renderers[] = {
            { "serversLabel", 80, 75, Qt::white, leftBottom, "Сервера" },
            { "newsLabel", 80, 75, Qt::white, leftBottom, "Новости" },
            { "nicknameLabel", 50, 75, Qt::white, leftBottom, "Ваш никнейм" },
            { "progressBarState1", 40, 75, Qt::white, Qt::AlignCenter,
                "Загрузка списка серверов и новостей..." },
            { "progressBarState2", 30, 50, Qt::white, Qt::AlignCenter, "" },
            { "buildLabel", 40, 50, QColor(255, 255, 255, 75), leftBottom, "Версия 2.0.4.2 от " },
        };
        for (const auto &row : renderers) {
            auto *host = find<QLabel>(window, row.placeholder);
            CustomLabel *label = host->findChild<CustomLabel *>();
            QVERIFY2(label, row.placeholder);
            QCOMPARE(label->supersampling(), 5.0);
            QCOMPARE(label->size(), host->size());
            QCOMPARE(label->labelFont().family(), QStringLiteral("Montserrat"));
            QCOMPARE(label->labelFont().pointSize(), row.pointSize);
            QCOMPARE(label->labelFont().weight(), row.weight);
            QCOMPARE(label->labelColor(), row.color);
            QCOMPARE(label->labelAlignment(), row.alignment);
            const QString text = QString::fromUtf8(row.text);
            QVERIFY(text.isEmpty() ? label->labelText().isEmpty()
                                   : label->labelText().startsWith(text));
            QCOMPARE(host->text(), QString());
        }
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
        QList<QPair<QPushButton *, QGraphicsOpacityEffect *>> faders;
        for (const char *name :
            { "btnExitTrigger", "btnHideTrigger", "settingsBtnTrigger", "btnRefresh" }) {
            auto *button = find<QPushButton>(window, name);
            QVERIFY2(button->findChild<AnimButton *>(), name);
            faders.append(
                { button, qobject_cast<QGraphicsOpacityEffect *>(button->graphicsEffect()) });
            QCOMPARE(faders.last().second->opacity(), 0.5);
        }
        QCOMPARE(find(window, "btnRefresh")->cursor().shape(), Qt::PointingHandCursor);
        QCOMPARE(find(window, "settingsBtnTrigger")->cursor().shape(), Qt::PointingHandCursor);

        // Each web link has a highlight frame of its own geometry.
        QList<QPair<QPushButton *, HeaderButton *>> frames;
        for (const char *name : { "siteBtn", "forumBtn", "donateBtn" }) {
            auto *button = find<QPushButton>(window, name);
            QCOMPARE(button->cursor().shape(), Qt::PointingHandCursor);
            const int before = frames.size();
            for (HeaderButton *frame :
                find(window, "headerBtnsFrame")->findChildren<HeaderButton *>()) {
                if (frame->geometry() == button->geometry())
                    frames.append({ button, frame });
            }
            QVERIFY2(frames.size() == before + 1, name);
            QCOMPARE(frames.last().second->styleSheet(),
                QStringLiteral("background: rgba(11, 34, 85, 250);                           "
                               "background-image: url(:/images/headerBtnHover.png);          "
                               "                 background-position: bottom center;         "
                               "                  background-repeat: no-repeat;"));
        }
        QCOMPARE(frames.size(), 3);

        for (const auto &fader : faders)
            UiTest::enter(fader.first);
        for (const auto &frame : frames)
            UiTest::enter(frame.first);
        for (const auto &fader : faders)
            QTRY_COMPARE(fader.second->opacity(), 1.0);
        for (const auto &frame : frames)
            QTRY_COMPARE(frame.second->opacity(), 1.0);
        for (const auto &fader : faders)
            UiTest::leave(fader.first);
        for (const auto &frame : frames)
            UiTest::leave(frame.first);
        for (const auto &fader : faders)
            QTRY_COMPARE(fader.second->opacity(), 0.5);
        for (const auto &frame : frames)
            QTRY_COMPARE(frame.second->opacity(), 0.0);
    }

    void joinButtonIsDimmedUntilReady()
    {
        MainWindow window;
        window.show();
        auto *join = find<QPushButton>(window, "btnJoinGame");
        QCOMPARE(join->cursor().shape(), Qt::PointingHandCursor);
        QCOMPARE(qobject_cast<QGraphicsOpacityEffect *>(join->graphicsEffect())->opacity(), 0.5);
        window.syncerFinish(true);
        QCOMPARE(qobject_cast<QGraphicsOpacityEffect *>(join->graphicsEffect())->opacity(), 1.0);
        UiTest::enter(join);
        QTRY_VERIFY(join->styleSheet().endsWith(QLatin1String(
            "background-color: rgba(38, 239, 94, 255);border: 1px solid rgba(38, 239, 94, 255);")));
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
