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

    void picturesAndReveal()
    {
        QWidget host;
        host.resize(293, 390);
        NewsList list(&host);
        host.show();
        fill(list, 3);
        // A picture may arrive before the cards exist; it is shown, stretched, once they do.
        QPixmap wide(300, 50);
        wide.fill(Qt::red);
        list.setPicture(1, wide);
        list.setPicture(3, wide);
        list.build();
        QCOMPARE(list.pictureLabel(1)->pixmap(Qt::ReturnByValue).size(), QSize(90, 90));
        QVERIFY(list.pictureLabel(0)->pixmap(Qt::ReturnByValue).isNull());
        QPixmap tall(10, 400);
        tall.fill(Qt::blue);
        list.setPicture(0, tall);
        const QImage shown = list.pictureLabel(0)->pixmap(Qt::ReturnByValue).toImage();
        QCOMPARE(shown.size(), QSize(90, 90));
        QCOMPARE(shown.pixelColor(0, 0), QColor(Qt::blue));
        QCOMPARE(list.card(1)->findChild<CustomLabel *>()->labelText(), QStringLiteral("Title 1"));

        // One after another, each on a timer: nothing shows at once.
        list.reveal();
        QVERIFY(!list.pictureLabel(0)->isVisible());
        QTRY_VERIFY(list.pictureLabel(2)->isVisible());
        QVERIFY(list.pictureLabel(0)->isVisible());
        QTRY_COMPARE(list.card(2)->pos(), QPoint(0, 200));
    }

    void wheelScrolls_data()
    {
        QTest::addColumn<int>("entries");
        QTest::addColumn<QList<QPoint>>("wheels");
        QTest::addColumn<int>("top"); // of the content, at rest
        QTest::addColumn<QPoint>("handle"); // its top and height
        const QPoint down(0, -120);
        QTest::newRow("three entries fit") << 3 << QList<QPoint> { down } << 0 << QPoint(1, 390);
        // ceil(120 / 410 * 199) = 59, below the track's 1 px top.
        QTest::newRow("one notch") << 8 << QList<QPoint> { down } << -120 << QPoint(60, 191);
        QTest::newRow("clamped at the end")
            << 8 << QVector<QPoint>(6, down).toList() << -410 << QPoint(200, 191);
        QTest::newRow("sideways does not scroll")
            << 8 << QList<QPoint> { down, QPoint(-120, 0) } << -120 << QPoint(60, 191);
        QTest::newRow("back to the top")
            << 8 << QList<QPoint> { down, down, QPoint(0, 1200) } << 0 << QPoint(1, 191);
    }

    void wheelScrolls()
    {
        QFETCH(int, entries);
        QFETCH(QList<QPoint>, wheels);
        QFETCH(int, top);
        QFETCH(QPoint, handle);
        QWidget host;
        NewsList list(&host);
        fill(list, entries);
        list.build();
        for (const QPoint &angle : wheels) {
            QWheelEvent event(QPointF(100, 100), QPointF(list.mapToGlobal(QPoint(100, 100))),
                QPoint(), angle, Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
            QApplication::sendEvent(&list, &event);
            QTRY_VERIFY(!scrolling(list));
        }
        QCOMPARE(list.container()->y(), top);
        QCOMPARE(QPoint(list.handle()->y(), list.handle()->height()), handle);
    }

    void releaseInsideACardOpensItsLink()
    {
        QWidget host;
        host.resize(293, 390);
        NewsList list(&host);
        fill(list, 2);
        list.addNews(QStringLiteral("No web page"), QString(), QString(), "file:///etc/passwd");
        list.build();
        host.show();
        QWidget *card = list.card(1);

        UiTest::mouse(card, QEvent::MouseButtonPress, QPoint(20, 20));
        UiTest::mouse(card, QEvent::MouseButtonRelease, QPoint(20, 95));
        QVERIFY(links.opened.isEmpty());

        QTest::mouseClick(card, Qt::LeftButton, Qt::NoModifier, QPoint(100, 40));
        // A click on the card's picture reaches the card too; a link to no web page opens nothing.
        QTest::mouseClick(list.pictureLabel(0), Qt::LeftButton, Qt::NoModifier, QPoint(45, 45));
        UiTest::mouse(list.card(2), QEvent::MouseButtonRelease, QPoint(5, 5));
        QCOMPARE(links.opened,
            QStringList({ "https://site.example/news/1", "https://site.example/news/0" }));
    }
};

QTEST_MAIN(TestNewsList)
#include "tst_newslist.moc"
