#include "ui/animcontrols.h"
#include "uitest.h"

#include <QGraphicsDropShadowEffect>
#include <QGraphicsOpacityEffect>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

class TestAnimControls : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { UiTest::loadResources(); }

    void joinButtonKeepsItsBaseStyleAndIsDimmedWhileDisabled()
    {
        QPushButton button;
        button.setStyleSheet(QStringLiteral("border-radius: 4px;\npadding: 0;\ncolor: #ffffff;"));
        button.show();
        auto *join = new AnimBgButton(&button);
        join->setBackgroundColors(QColor(38, 239, 94, 0), QColor(38, 239, 94, 255));
        join->setOutlineColors(QColor(255, 255, 255, 255), QColor(38, 239, 94, 255));
        const QString resting = QStringLiteral("border-radius: 4px;\npadding: 0;\ncolor: #ffffff;"
                                               "background-color: rgba(38, 239, 94, 0);"
                                               "border: 1px solid rgba(255, 255, 255, 255);");
        QCOMPARE(button.styleSheet(), resting);

        join->setEnabled(false);
        auto *dim = qobject_cast<QGraphicsOpacityEffect *>(button.graphicsEffect());
        QVERIFY(dim);
        QCOMPARE(dim->opacity(), 0.5);
        QVERIFY(!button.isEnabled());
        UiTest::enter(&button);
        QTest::qWait(AnimBgButton::fadeMs);
        QCOMPARE(button.styleSheet(), resting);

        join->setEnabled(true);
        auto *full = qobject_cast<QGraphicsOpacityEffect *>(button.graphicsEffect());
        QVERIFY(full);
        QCOMPARE(full->opacity(), 1.0);
        // Without a glow the hover keeps the opacity effect and fades the colours.
        UiTest::enter(&button);
        QCOMPARE(button.graphicsEffect(), full);
        QTRY_COMPARE(button.styleSheet(),
            QStringLiteral("border-radius: 4px;\npadding: 0;\ncolor: #ffffff;"
                           "background-color: rgba(38, 239, 94, 255);"
                           "border: 1px solid rgba(38, 239, 94, 255);"));
    }

    void hoverFadesWithAGlowAndBack()
    {
        const QColor rest(15, 41, 98, 255), hover(0, 163, 255, 255);
        QPushButton button;
        button.show();
        auto *controller = new AnimBgButton(&button);
        controller->setBackgroundColors(rest, hover);
        controller->setGlowColors(QColor(0, 163, 255, 0), QColor(0, 163, 255, 255));
        QVERIFY(!button.graphicsEffect());

        // Leaving at once starts the fade back from the hover colour, not from where it was.
        UiTest::enter(&button);
        QCOMPARE(controller->color(), rest);
        UiTest::leave(&button);
        QCOMPARE(controller->color(), hover);
        QTRY_COMPARE(controller->color(), rest);

        UiTest::enter(&button);
        // The glow is installed on the first hover.
        auto *glow = qobject_cast<QGraphicsDropShadowEffect *>(button.graphicsEffect());
        QVERIFY(glow);
        QCOMPARE(glow->blurRadius(), 20.0);
        QCOMPARE(glow->offset(), QPointF(0, 0));
        QTRY_COMPARE(glow->color(), QColor(0, 163, 255, 255));
        QTRY_VERIFY(button.styleSheet().endsWith(
            QLatin1String("background-color: rgba(0, 163, 255, 255);")));
        UiTest::leave(&button);
        QTRY_COMPARE(controller->color(), rest);
        QTRY_COMPARE(glow->color(), QColor(0, 163, 255, 0));
        QCOMPARE(button.graphicsEffect(), glow);
    }

    void switchTogglesOnlyOnAReleaseInsideTheTrack()
    {
        QLabel row;
        row.resize(200, 20);
        auto *box = new CustomCheckbox(&row);
        row.show();
        QWidget *track = box->track();
        QCOMPARE(track->geometry(), QRect(150, 0, 50, 20));
        QCOMPARE(box->knob()->geometry(), QRect(3, 3, 23, 14));
        const QString off = QStringLiteral("background: rgba(79, 91, 115, 255);");
        const QString on = QStringLiteral("background: rgba(0, 163, 255, 255);");
        QCOMPARE(box->knob()->styleSheet(), off);
        QSignalSpy spy(box, &CustomCheckbox::checked);

        UiTest::mouse(track, QEvent::MouseButtonPress, QPoint(10, 10));
        UiTest::mouse(track, QEvent::MouseButtonRelease, QPoint(60, 10));
        UiTest::mouse(track, QEvent::MouseButtonRelease, QPoint(10, -1));
        QCOMPARE(spy.count(), 0);
        UiTest::mouse(track, QEvent::MouseButtonRelease, QPoint(49, 19));
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toBool(), true);
        QVERIFY(box->isChecked());
        QTRY_COMPARE(box->knob()->pos(), QPoint(24, 3));
        QTRY_COMPARE(box->knob()->styleSheet(), on);
        UiTest::mouse(track, QEvent::MouseButtonRelease, QPoint(5, 5));
        QCOMPARE(spy.at(1).at(0).toBool(), false);
        QTRY_COMPARE(box->knob()->pos(), QPoint(3, 3));

        // Set from code: moves at once and says nothing.
        box->setChecked(true);
        QCOMPARE(box->knob()->pos(), QPoint(24, 3));
        QCOMPARE(box->knob()->styleSheet(), on);
        box->setChecked(false);
        QCOMPARE(box->knob()->pos(), QPoint(3, 3));
        QCOMPARE(spy.count(), 2);
    }

    void headerFramesAndButtonsFadeOnHover()
    {
        QWidget header;
        auto *link = new QPushButton(&header);
        link->setGeometry(130, 0, 130, 50);
        auto *close = new QPushButton(&header);
        close->setGeometry(869, 16, 18, 18);
        auto *frame = new HeaderButton(link);
        auto *fader = new AnimButton(close);
        header.show();
        QCOMPARE(frame->geometry(), link->geometry());
        // Stacked directly under its button: the button stays clickable and on top.
        const QObjectList order = header.children();
        QCOMPARE(order.indexOf(frame) + 1, order.indexOf(link));
        QCOMPARE(frame->opacity(), 0.0);
        QCOMPARE(fader->opacity(), 0.5);

        UiTest::enter(link);
        UiTest::enter(close);
        QTRY_COMPARE(frame->opacity(), 1.0);
        QTRY_COMPARE(fader->opacity(), 1.0);
        UiTest::leave(link);
        UiTest::leave(close);
        QTRY_COMPARE(frame->opacity(), 0.0);
        QTRY_COMPARE(fader->opacity(), 0.5);
        // The hover helper must not swallow the button's clicks.
        QSignalSpy clicks(close, &QPushButton::clicked);
        QTest::mouseClick(close, Qt::LeftButton, Qt::NoModifier, QPoint(9, 9));
        QCOMPARE(clicks.count(), 1);
    }

    void labelDrawsAtItsCreationSizeWhenAsked()
    {
        QLabel placeholder;
        placeholder.resize(111, 31);
        auto *label = new CustomLabel(&placeholder, 5);
        label->setAutoRedraw(false);
        const qint64 before = label->pixmap(Qt::ReturnByValue).cacheKey();
        label->setLabelColor(Qt::white);
        label->setLabelFont(QFont(QStringLiteral("Montserrat"), 80, 75));
        label->setLabelText(QStringLiteral("Сервера"));
        QCOMPARE(label->pixmap(Qt::ReturnByValue).cacheKey(), before);
        placeholder.resize(300, 100);
        label->draw();
        const QImage shown = label->pixmap(Qt::ReturnByValue).toImage();
        QCOMPARE(shown.size(), QSize(111, 31));
        // The text was drawn: some pixels are opaque white, the corners stay clear.
        int opaque = 0;
        for (int y = 0; y < shown.height(); ++y) {
            for (int x = 0; x < shown.width(); ++x)
                opaque += qAlpha(shown.pixel(x, y)) > 200;
        }
        QVERIFY(opaque > 50);
        QCOMPARE(qAlpha(shown.pixel(110, 0)), 0);
    }

    void textThatDoesNotFitEndsInAnEllipsisAfterAWord_data()
    {
        QTest::addColumn<QSize>("box");
        QTest::addColumn<double>("factor");
        QTest::addColumn<int>("alignment");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("elided");
        const QString words = QStringLiteral(
            "Две новые фракции и переработанная система работ ждут вас на всех серверах проекта");
        QTest::newRow("one line") << QSize(170, 20) << 4.0 << int(Qt::AlignLeft | Qt::AlignVCenter)
                                  << words << true;
        QTest::newRow("wrapped") << QSize(175, 40) << 5.5
                                 << int(Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap)
                                 << words + QLatin1Char(' ') + words << true;
        QTest::newRow("fits") << QSize(175, 40) << 5.5
                              << int(Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap)
                              << QStringLiteral("Две новые фракции") << false;
    }

    void textThatDoesNotFitEndsInAnEllipsisAfterAWord()
    {
        QFETCH(QSize, box);
        QFETCH(double, factor);
        QFETCH(int, alignment);
        QFETCH(QString, text);
        QFETCH(bool, elided);
        QLabel placeholder;
        placeholder.resize(box);
        const QFont font(QStringLiteral("Montserrat"), 38, 60);
        const auto drawn = [&](const QString &shown, bool elide) {
            auto *label = new CustomLabel(&placeholder, factor);
            label->setElided(elide);
            label->setLook(font, Qt::white, alignment, shown);
            label->draw();
            return label->pixmap(Qt::ReturnByValue).toImage();
        };
        const QImage shown = drawn(text, true);
        // Drawn as it is, the text would be cut off at the edge.
        QCOMPARE(shown == drawn(text, false), !elided);
        // The same picture as some leading words plus "…" drawn as they are (or the whole text).
        const QStringList words = text.split(QLatin1Char(' '));
        QString match;
        for (int n = 1; n <= words.size() && match.isEmpty(); ++n) {
            const QString candidate = words.mid(0, n).join(QLatin1Char(' '))
                + (n < words.size() ? QStringLiteral("\u2026") : QString());
            if (drawn(candidate, false) == shown)
                match = candidate;
        }
        QVERIFY(!match.isEmpty());
        QCOMPARE(match.endsWith(QChar(0x2026)), elided);
    }

    void hiddenLabelDrawsItsLatestLookWhenShown()
    {
        QLabel placeholder;
        placeholder.resize(111, 31);
        auto *label = new CustomLabel(&placeholder, 5);
        label->setLook(QFont(QStringLiteral("Montserrat"), 80, 75), Qt::white, Qt::AlignCenter,
            QStringLiteral("Сервера"));
        label->setLabelColor(QColor(0, 0, 255));
        QVERIFY(label->pixmap(Qt::ReturnByValue).isNull());
        placeholder.show();
        const QImage shown = label->pixmap(Qt::ReturnByValue).toImage();
        QCOMPARE(shown.size(), QSize(111, 31));
        int blue = 0;
        for (int y = 0; y < shown.height(); ++y) {
            for (int x = 0; x < shown.width(); ++x)
                blue += qAlpha(shown.pixel(x, y)) > 200 && qBlue(shown.pixel(x, y)) > 200;
        }
        QVERIFY(blue > 50);
        // Once visible, a change is drawn at once.
        const qint64 before = label->pixmap(Qt::ReturnByValue).cacheKey();
        label->setLabelText(QStringLiteral("Новости"));
        QVERIFY(label->pixmap(Qt::ReturnByValue).cacheKey() != before);
    }
};

QTEST_MAIN(TestAnimControls)
#include "tst_animcontrols.moc"
