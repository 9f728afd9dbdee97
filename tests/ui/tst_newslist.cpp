#include "ui/animcontrols.h"
#include "ui/newslist.h"
#include "uitest.h"

#include <QLabel>
#include <QPropertyAnimation>
#include <QThread>
#include <QWheelEvent>
#include <QtTest>

#include <memory>

class TestNewsList : public QObject
{
    Q_OBJECT

private:
    UiTest::LinkRecorder links;

    static bool scrolling(NewsList &list)
    {
        for (auto *animation : list.container()->findChildren<QPropertyAnimation *>()) {
            if (animation->state() == QAbstractAnimation::Running)
                return true;
        }
        return false;
    }

    static void fill(NewsList &list, int entries)
    {
        for (int i = 0; i < entries; ++i)
            list.addNews(QStringLiteral("Title %1").arg(i), QStringLiteral("Text"),
                QStringLiteral("01.12"), QStringLiteral("https://site.example/news/%1").arg(i));
    }

private slots:
    void initTestCase() { UiTest::loadResources(); }

    void init() { links.opened.clear(); }

    void entriesFromAnotherThreadAreShortened()
    {
        QWidget host;
        NewsList list(&host);
        // The loader knows the list only as its news sink, and fills it from its own thread.
        NewsSink *sink = &list;
        std::unique_ptr<QThread> loader(QThread::create([sink] {
            for (int i = 0; i < 40; ++i)
                sink->addNews(QString(30 + i % 2, 't'), QString(160 + i % 2, 'x'), "d", QString());
        }));
        loader->start();
        QVERIFY(loader->wait(10000));
        QCOMPARE(list.count(), 40);
        // Titles keep 30 characters, texts 160; what is cut ends in "...".
        QCOMPARE(list.title(0) + list.text(0), QString(30, 't') + QString(160, 'x'));
        QCOMPARE(list.title(39), QString(30, 't') + QStringLiteral("..."));
        QCOMPARE(list.text(39), QString(160, 'x') + QStringLiteral("..."));
        QVERIFY(!list.card(0));
    }

    void pictureBeforeTheCards()
    {
        QWidget host;
        NewsList list(&host);
        fill(list, 3);
        // A picture may arrive before the cards exist; it is shown, stretched, once they do.
        QPixmap wide(300, 50);
        wide.fill(Qt::red);
        list.setPicture(1, wide);
        list.setPicture(3, wide);
        list.build();
        QCOMPARE(list.pictureLabel(1)->pixmap(Qt::ReturnByValue).size(), QSize(90, 90));
        QVERIFY(list.pictureLabel(0)->pixmap(Qt::ReturnByValue).isNull());
    }

    void wheelScrollsWithinTheContent()
    {
        QWidget host;
        NewsList list(&host);
        fill(list, 8);
        list.build();
        // The content's top and the handle's at rest after each turn of the wheel.
        const struct
        {
            int angle, top, handle;
        } turns[] = { { -120, -120, 60 }, { -720, -410, 200 }, { 1200, 0, 1 } };
        for (const auto &turn : turns) {
            QWheelEvent event(QPointF(100, 100), QPointF(list.mapToGlobal(QPoint(100, 100))),
                QPoint(), QPoint(0, turn.angle), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase,
                false);
            QApplication::sendEvent(&list, &event);
            QTRY_VERIFY(!scrolling(list));
            QCOMPARE(
                QPoint(list.container()->y(), list.handle()->y()), QPoint(turn.top, turn.handle));
        }
    }

    void clickOnACardOpensOnlyAWebLink()
    {
        QWidget host;
        host.resize(293, 390);
        NewsList list(&host);
        fill(list, 2);
        list.addNews(QStringLiteral("No web page"), QString(), QString(), "file:///etc/passwd");
        list.build();
        host.show();
        QTest::mouseClick(list.card(1), Qt::LeftButton, Qt::NoModifier, QPoint(100, 40));
        // A click on the card's picture reaches the card too; a link to no web page opens nothing.
        QTest::mouseClick(list.pictureLabel(0), Qt::LeftButton, Qt::NoModifier, QPoint(45, 45));
        QTest::mouseRelease(list.card(2), Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
        QCOMPARE(links.opened,
            QStringList({ "https://site.example/news/1", "https://site.example/news/0" }));
    }
};

QTEST_MAIN(TestNewsList)
#include "tst_newslist.moc"
