#include "service/serverquery.h"
#include "testhttpserver.h"
#include "ui/serverlist.h"
#include "uitest.h"

#include <QLabel>
#include <QScopeGuard>
#include <QScreen>
#include <QSettings>
#include <QSignalSpy>
#include <QStyle>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <memory>

namespace {

// The part of a card at geometry (the last one, when a style mark is given, whose style has it).
QWidget *part(QWidget *card, const QRect &geometry, const char *styleMark = "")
{
    QWidget *found = nullptr;
    for (QWidget *child : card->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
        if (child->geometry() == geometry && child->styleSheet().contains(QLatin1String(styleMark)))
            found = child;
    }
    return found;
}

QString shown(QWidget *card)
{
    const auto text = [card](const QRect &geometry) {
        return qobject_cast<QLabel *>(part(card, geometry))->text();
    };
    return text(QRect(120, 23, 80, 12)) + ' ' + text(QRect(32, 32, 70, 15))
        + (part(card, QRect(190, 21, 20, 20), "pcount_2.png")->isVisible() ? " pie" : "");
}

QWidget *selectionBar(QWidget *card)
{
    return part(card, QRect(0, 56, 230, 4));
}

} // namespace

class TestServerList : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString ini() const { return dir.filePath(QStringLiteral("user.ini")); }
    static ServerList::QueryFactory noQueries()
    {
        return [](const QString &, ushort, int) { return nullptr; };
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        UiTest::loadResources();
    }

    void init() { QFile::remove(ini()); }

    void emptyCardsAreInert()
    {
        QWidget host;
        ServerList list(&host, ini(), noQueries());
        host.show();
        ServerWidget *card = list.card(0);
        for (QWidget *child : card->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly))
            QVERIFY(child->isHidden());
        QSignalSpy clicks(card, &ServerWidget::clicked);
        UiTest::enter(card);
        UiTest::mouse(card, QEvent::MouseButtonPress, QPoint(5, 5));
        UiTest::mouse(card, QEvent::MouseButtonRelease, QPoint(5, 5));
        QTest::qWait(300);
        QCOMPARE(clicks.count(), 0);
        QCOMPARE(card->opacity(), 0.5);
        QCOMPARE(list.currentAddress(), QString());
    }

    void statusUpdates_data()
    {
        QTest::addColumn<int>("players");
        QTest::addColumn<int>("total");
        QTest::addColumn<QString>("expected");
        QTest::newRow("half full") << 50 << 100 << "50/100 Online pie";
        QTest::newRow("overfull") << 150 << 100 << "150/100 Online pie";
        QTest::newRow("empty server") << 0 << 100 << "0/100 Online";
        QTest::newRow("below one percent") << 9 << 1000 << "9/1000 Online";
        QTest::newRow("one percent") << 10 << 1000 << "10/1000 Online pie";
        QTest::newRow("no capacity") << 5 << 0 << "-/- Offline";
        QTest::newRow("negative capacity") << 5 << -1 << "-/- Offline";
        QTest::newRow("five-digit capacity") << 9999 << 10000 << "9999/10000 Online pie";
    }

    void statusUpdates()
    {
        QFETCH(int, players);
        QFETCH(int, total);
        QFETCH(QString, expected);
        QWidget host;
        host.resize(470, 200);
        ServerList list(&host, ini(), noQueries());
        host.show();
        QVERIFY(QTest::qWaitForWindowExposed(&host));
        // Cards are filled in order; there are six of them, so a seventh server is dropped.
        for (int i = 0; i < 7; ++i)
            list.addElement(QStringLiteral("Server %1").arg(i), QStringLiteral("10.0.0.%1").arg(i),
                ushort(7000 + i));
        QCOMPARE(list.card(5)->serverName(), QStringLiteral("Server 5"));
        QCOMPARE(list.card(5)->port(), ushort(7005));
        ServerWidget *card = list.card(0);
        QCOMPARE(card->cursor().shape(), Qt::PointingHandCursor);
        QCOMPARE(shown(card), QStringLiteral("-/- Offline"));

        card->infoUpdated(30, 60);
        QCoreApplication::processEvents();
        // What the window shows after the update (its backing store, not a fresh rendering of
        // the widgets) is what a full repaint shows: the half-transparent card is not blended
        // twice anywhere.
        const auto windowPixels = [&host] {
            QCoreApplication::sendPostedEvents();
            QCoreApplication::processEvents();
            return host.screen()->grabWindow(host.winId()).toImage();
        };
        card->infoUpdated(players, total);
        const QImage updated = windowPixels();
        host.repaint();
        QCOMPARE(updated, windowPixels());
        QCOMPARE(shown(card), expected);
        auto *count = qobject_cast<QLabel *>(part(card, QRect(120, 23, 80, 12)));
        const QRect text = QStyle::alignedRect(Qt::LeftToRight, count->alignment(),
            QSize(count->fontMetrics().horizontalAdvance(count->text()), count->height()),
            count->contentsRect());
        QVERIFY2(count->x() + text.right() < 190, "the count runs into the pie");
        QCOMPARE(part(card, QRect(20, 37, 8, 8))->styleSheet(),
            expected.endsWith(QLatin1String("Offline"))
                ? QStringLiteral("background: #EF2626; border-radius: 4px;")
                : QStringLiteral("background: #26EF5E; border-radius: 4px;"));
    }

    void pieSectorGrowsClockwiseFromTwelve()
    {
        const auto quadrants = [](float share) {
            QString in;
            for (const QPoint &p : { QPoint(4, 4), QPoint(15, 4), QPoint(15, 15), QPoint(4, 15) })
                in += ServerWidget::pieMask(share).contains(p) ? '1' : '0';
            return in;
        };
        // Top left, top right, bottom right, bottom left; above 1 the circle is simply full.
        QCOMPARE(quadrants(0), QStringLiteral("0000"));
        QCOMPARE(quadrants(0.25f), QStringLiteral("0100"));
        QCOMPARE(quadrants(0.75f), QStringLiteral("0111"));
        QCOMPARE(quadrants(1.5f), QStringLiteral("1111"));
    }

    void selectionPersistsAndRealQueriesReport()
    {
        // Queries against a loopback status server, with a tick counter the test moves.
        TestHttpServer site;
        site.route(QStringLiteral("/serv1.txt"), TestResponse::ok("1/10"));
        site.route(QStringLiteral("/serv2.txt"), TestResponse::ok("2/10"));
        QVERIFY(site.listen());
        auto ticks = std::make_shared<std::atomic<quint32>>(100000);
        QList<ServerQuery *> queries;
        const auto factory = [&](const QString &address, ushort port, int index) {
            ServerQuery::Options options;
            options.endpoints = { QString(), QString(), site.baseUrl() };
            options.tickCount = [ticks] { return ticks->load(); };
            options.attemptTimeoutMs = 30000;
            queries.append(new ServerQuery(address, port, index, options));
            return queries.last();
        };
        const auto cleanup = qScopeGuard([&] {
            for (ServerQuery *query : qAsConst(queries)) {
                query->stop();
                delete query;
            }
        });
        QWidget host;
        ServerList list(&host, ini(), factory);
        host.show();
        list.addElement(QStringLiteral("One"), QStringLiteral("one.example"), 7001);
        list.addElement(QStringLiteral("Two"), QStringLiteral("two.example"), 7002);
        QTRY_COMPARE(shown(list.card(0)), QStringLiteral("1/10 Online pie"));
        QTRY_COMPARE(shown(list.card(1)), QStringLiteral("2/10 Online pie"));
        list.restoreSelection();
        QCOMPARE(list.currentIndex(), 0);
        QVERIFY(selectionBar(list.card(0))->isVisible());
        QTRY_COMPARE(list.card(0)->opacity(), 1.0);

        ServerWidget *second = list.card(1);
        UiTest::mouse(second, QEvent::MouseButtonPress, QPoint(10, 10));
        UiTest::mouse(second, QEvent::MouseButtonRelease, QPoint(10, 10));
        QCOMPARE(QSettings(ini(), QSettings::IniFormat).value("SERVERS/Current").toInt(), 1);
        QVERIFY(!selectionBar(list.card(0))->isVisible());
        QVERIFY(selectionBar(second)->isVisible());
        QCOMPARE(list.currentAddress(), QStringLiteral("two.example"));
        QCOMPARE(list.currentPort(), ushort(7002));
        QTRY_COMPARE(second->opacity(), 1.0);
        QTRY_COMPARE(list.card(0)->opacity(), 0.5);

        // Refreshing all asks each card's query once more.
        ticks->fetch_add(ServerQuery::refreshGapMs + 1000);
        site.route(QStringLiteral("/serv1.txt"), TestResponse::ok("5/10"));
        list.refreshAll();
        QTRY_COMPARE(shown(list.card(0)), QStringLiteral("5/10 Online pie"));
        QTRY_COMPARE(site.requestCount(), 4);
    }

    void restoredSelection_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<int>("selected");
        QTest::addColumn<QString>("address");
        QTest::newRow("absent") << QString() << 0 << "a.example";
        QTest::newRow("second") << "1" << 1 << "b.example";
        QTest::newRow("card 4 has no server") << "4" << 0 << "a.example";
        QTest::newRow("beyond") << "6" << 0 << "a.example";
        QTest::newRow("negative") << "-1" << 0 << "a.example";
        QTest::newRow("not a number") << "x" << 0 << "a.example";
    }

    void restoredSelection()
    {
        QFETCH(QString, stored);
        QFETCH(int, selected);
        QFETCH(QString, address);
        if (!stored.isEmpty())
            QSettings(ini(), QSettings::IniFormat).setValue("SERVERS/Current", stored);
        QWidget host;
        ServerList list(&host, ini(), noQueries());
        host.show();
        for (const char *name : { "a", "b", "c" })
            list.addElement(
                QLatin1String(name), QLatin1String(name) + QStringLiteral(".example"), 7777);
        list.restoreSelection();
        QCOMPARE(list.currentIndex(), selected);
        QVERIFY(selectionBar(list.card(selected))->isVisible());
        QCOMPARE(list.currentAddress(), address);
        QCOMPARE(list.currentPort(), ushort(address.isEmpty() ? 0 : 7777));
    }
};

QTEST_MAIN(TestServerList)
#include "tst_serverlist.moc"
