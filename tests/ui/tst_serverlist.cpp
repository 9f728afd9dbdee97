#include "service/serverquery.h"
#include "testhttpserver.h"
#include "ui/serverlist.h"
#include "uitest.h"

#include <QLabel>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <memory>

namespace {

struct Card
{
    explicit Card(ServerWidget *widget)
        : widget(widget)
    {
    }
    QString label(int x, int y) const
    {
        auto *label = qobject_cast<QLabel *>(widget->childAt(x, y));
        return label ? label->text() : QString();
    }
    QWidget *at(const QRect &geometry) const
    {
        for (QWidget *child :
            widget->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
            if (child->geometry() == geometry)
                return child;
        }
        return nullptr;
    }
    QString count() const { return label(150, 28); }
    QString status() const { return label(50, 38); }
    QWidget *dot() const { return at(QRect(20, 37, 8, 8)); }
    QWidget *selectionBar() const { return at(QRect(0, 56, 230, 4)); }
    QWidget *pie() const
    {
        QWidget *found = nullptr;
        for (QWidget *child :
            widget->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
            if (child->styleSheet().contains(QLatin1String("pcount_2.png")))
                found = child;
        }
        return found;
    }

    ServerWidget *widget;
};

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

    // Queries against a loopback status server; the test stops and deletes them.
    struct Queries
    {
        TestHttpServer site;
        std::shared_ptr<std::atomic<quint32>> ticks
            = std::make_shared<std::atomic<quint32>>(100000);
        QList<ServerQuery *> made;

        ServerList::QueryFactory factory()
        {
            return [this](const QString &address, ushort port, int index) {
                ServerQuery::Options options;
                options.endpoints.primaryService = QStringLiteral("http://127.0.0.1:1");
                options.endpoints.fallbackService = QStringLiteral("http://127.0.0.1:1");
                options.endpoints.site = site.baseUrl();
                auto shared = ticks;
                options.tickCount = [shared] { return shared->load(); };
                auto *query = new ServerQuery(address, port, index, options);
                made.append(query);
                return query;
            };
        }
        ~Queries()
        {
            for (ServerQuery *query : qAsConst(made)) {
                query->stop();
                delete query;
            }
        }
        void sync()
        {
            for (ServerQuery *query : qAsConst(made))
                QMetaObject::invokeMethod(
                    query, [] {}, Qt::BlockingQueuedConnection);
        }
    };

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        UiTest::loadResources();
    }

    void init() { QFile::remove(ini()); }

    void emptyListHasSixInertCards()
    {
        QWidget host;
        host.resize(470, 200);
        ServerList list(&host, ini(), noQueries());
        host.show();
        for (int i = 0; i < ServerList::cardCount; ++i) {
            ServerWidget *card = list.card(i);
            QCOMPARE(card->geometry(), QRect((i % 2) * 240, (i / 2) * 70, 230, 60));
            QCOMPARE(card->styleSheet(),
                QStringLiteral("ServerWidget { background-color: #0F2962; border-radius: 4px; }"));
            QCOMPARE(card->opacity(), 0.5);
            for (QWidget *child :
                card->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly))
                QVERIFY(child->isHidden());
        }
        QSignalSpy clicks(list.card(0), &ServerWidget::clicked);
        UiTest::enter(list.card(0));
        UiTest::mouse(list.card(0), QEvent::MouseButtonPress, QPoint(5, 5));
        UiTest::mouse(list.card(0), QEvent::MouseButtonRelease, QPoint(5, 5));
        QTest::qWait(300);
        QCOMPARE(clicks.count(), 0);
        QCOMPARE(list.card(0)->opacity(), 0.5);
        QCOMPARE(list.currentIndex(), -1);
        QCOMPARE(list.currentAddress(), QString());
        QCOMPARE(list.currentPort(), ushort(0));
    }

    void serversFillCardsInOrderAndTheSeventhIsDropped()
    {
        QWidget host;
        ServerList list(&host, ini(), noQueries());
        for (int i = 0; i < 7; ++i)
            list.addElement(QStringLiteral("Server %1").arg(i), QStringLiteral("10.0.0.%1").arg(i),
                ushort(7000 + i));
        for (int i = 0; i < ServerList::cardCount; ++i) {
            QCOMPARE(list.card(i)->serverName(), QStringLiteral("Server %1").arg(i));
            QCOMPARE(list.card(i)->port(), ushort(7000 + i));
        }
        Card card(list.card(0));
        QCOMPARE(card.count(), QStringLiteral("-/-"));
        QCOMPARE(card.status(), QStringLiteral("Offline"));
        QVERIFY(card.pie()->isHidden());
        QCOMPARE(list.card(0)->cursor().shape(), Qt::PointingHandCursor);
    }

    void statusUpdates_data()
    {
        QTest::addColumn<int>("players");
        QTest::addColumn<int>("total");
        QTest::addColumn<QString>("count");
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("pieShown");
        QTest::newRow("half full") << 50 << 100 << "50/100"
                                   << "Online" << true;
        QTest::newRow("overfull") << 150 << 100 << "150/100"
                                  << "Online" << true;
        QTest::newRow("empty server") << 0 << 100 << "0/100"
                                      << "Online" << false;
        QTest::newRow("below one percent") << 9 << 1000 << "9/1000"
                                           << "Online" << false;
        QTest::newRow("one percent") << 10 << 1000 << "10/1000"
                                     << "Online" << true;
        QTest::newRow("no capacity") << 5 << 0 << "-/-"
                                     << "Offline" << false;
        QTest::newRow("negative capacity") << 5 << -1 << "-/-"
                                           << "Offline" << false;
    }

    void statusUpdates()
    {
        QFETCH(int, players);
        QFETCH(int, total);
        QFETCH(QString, count);
        QFETCH(QString, status);
        QFETCH(bool, pieShown);
        QWidget host;
        ServerList list(&host, ini(), noQueries());
        host.show();
        list.addElement(QStringLiteral("One"), QStringLiteral("127.0.0.1"), 7777);
        Card card(list.card(0));
        card.widget->infoUpdated(30, 60);
        card.widget->infoUpdated(players, total);
        QCOMPARE(card.count(), count);
        QCOMPARE(card.status(), status);
        QCOMPARE(card.dot()->styleSheet(),
            status == QLatin1String("Online")
                ? QStringLiteral("background: #26EF5E; border-radius: 4px;")
                : QStringLiteral("background: #EF2626; border-radius: 4px;"));
        QCOMPARE(card.pie()->isVisible(), pieShown);
    }

    void pieSectorGrowsClockwiseFromTwelve()
    {
        QVERIFY(ServerWidget::pieMask(0).isEmpty());
        const QRegion quarter = ServerWidget::pieMask(0.25f);
        // Twelve to three o'clock: the top-right quadrant only.
        QVERIFY(quarter.contains(QPoint(15, 4)));
        QVERIFY(!quarter.contains(QPoint(4, 4)));
        QVERIFY(!quarter.contains(QPoint(15, 15)));
        QVERIFY(!quarter.contains(QPoint(4, 15)));
        const QRegion threeQuarters = ServerWidget::pieMask(0.75f);
        QVERIFY(threeQuarters.contains(QPoint(15, 15)));
        QVERIFY(threeQuarters.contains(QPoint(4, 15)));
        QVERIFY(!threeQuarters.contains(QPoint(4, 4)));
        // Above 1 the circle is simply full.
        const QRegion full = ServerWidget::pieMask(1.5f);
        for (const QPoint &p : { QPoint(4, 4), QPoint(15, 4), QPoint(4, 15), QPoint(15, 15) })
            QVERIFY(full.contains(p));
    }

    void clickSelectsAndPersistsAtOnce()
    {
        Queries queries;
        queries.site.route(QStringLiteral("/serv1.txt"), TestResponse::ok("1/10"));
        queries.site.route(QStringLiteral("/serv2.txt"), TestResponse::ok("2/10"));
        QVERIFY(queries.site.listen());
        QWidget host;
        ServerList list(&host, ini(), queries.factory());
        host.show();
        list.addElement(QStringLiteral("One"), QStringLiteral("one.example"), 7001);
        list.addElement(QStringLiteral("Two"), QStringLiteral("two.example"), 7002);
        list.restoreSelection();
        QCOMPARE(list.currentIndex(), 0);
        QVERIFY(Card(list.card(0)).selectionBar()->isVisible());
        QTRY_COMPARE(list.card(0)->opacity(), 1.0);

        // Release on card 1 while the pointer is on card 0: card 0 stays bright.
        ServerWidget *second = list.card(1);
        UiTest::enter(list.card(0));
        UiTest::mouse(second, QEvent::MouseButtonPress, QPoint(10, 10));
        UiTest::mouse(second, QEvent::MouseButtonRelease, QPoint(10, 10));
        QCOMPARE(list.currentIndex(), 1);
        QCOMPARE(
            QSettings(ini(), QSettings::IniFormat).value(QStringLiteral("SERVERS/Current")).toInt(),
            1);
        QVERIFY(!Card(list.card(0)).selectionBar()->isVisible());
        QVERIFY(Card(second).selectionBar()->isVisible());
        QCOMPARE(list.currentAddress(), QStringLiteral("two.example"));
        QCOMPARE(list.currentPort(), ushort(7002));
        QTRY_COMPARE(second->opacity(), 1.0);
        QTest::qWait(300);
        QCOMPARE(list.card(0)->opacity(), 1.0);

        // Once the pointer leaves card 0 it dims, being no longer selected.
        UiTest::leave(list.card(0));
        QTRY_COMPARE(list.card(0)->opacity(), 0.5);

        // The status answers arrive through the real queries.
        QTRY_COMPARE(Card(list.card(0)).count(), QStringLiteral("1/10"));
        QTRY_COMPARE(Card(second).count(), QStringLiteral("2/10"));
    }

    void restoredSelection_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<int>("selected");
        QTest::addColumn<QString>("address");
        QTest::newRow("absent") << QString() << 0 << "a.example";
        QTest::newRow("second") << "1" << 1 << "b.example";
        QTest::newRow("empty card 4") << "4" << 4 << "";
        QTest::newRow("last card") << "5" << 5 << "";
        QTest::newRow("beyond") << "6" << 0 << "a.example";
        QTest::newRow("negative") << "-1" << 0 << "a.example";
        QTest::newRow("not a number") << "x" << 0 << "a.example";
    }

    void restoredSelection()
    {
        QFETCH(QString, stored);
        QFETCH(int, selected);
        QFETCH(QString, address);
        if (!stored.isEmpty()) {
            QSettings settings(ini(), QSettings::IniFormat);
            settings.setValue(QStringLiteral("SERVERS/Current"), stored);
        }
        QWidget host;
        ServerList list(&host, ini(), noQueries());
        host.show();
        for (const char *name : { "a", "b", "c" })
            list.addElement(
                QLatin1String(name), QLatin1String(name) + QStringLiteral(".example"), 7777);
        list.restoreSelection();
        QCOMPARE(list.currentIndex(), selected);
        QVERIFY(Card(list.card(selected)).selectionBar()->isVisible());
        QCOMPARE(list.currentAddress(), address);
        QCOMPARE(list.currentPort(), ushort(address.isEmpty() ? 0 : 7777));
    }

    void refreshAsksEachQueryAtMostOncePerGap()
    {
        Queries queries;
        queries.site.route(QStringLiteral("/serv1.txt"), TestResponse::ok("3/10"));
        queries.site.route(QStringLiteral("/serv2.txt"), TestResponse::ok("4/10"));
        QVERIFY(queries.site.listen());
        QWidget host;
        ServerList list(&host, ini(), queries.factory());
        list.addElement(QStringLiteral("One"), QStringLiteral("one.example"), 7001);
        list.addElement(QStringLiteral("Two"), QStringLiteral("two.example"), 7002);
        QTRY_COMPARE(Card(list.card(1)).count(), QStringLiteral("4/10"));
        queries.sync();
        QCOMPARE(queries.site.requestCount(), 2);

        queries.ticks->fetch_add(ServerQuery::refreshGapMs + 1000);
        queries.site.route(QStringLiteral("/serv1.txt"), TestResponse::ok("5/10"));
        list.refreshAll();
        list.refreshAll();
        QTRY_COMPARE(Card(list.card(0)).count(), QStringLiteral("5/10"));
        QTRY_COMPARE(queries.site.requestCount(), 4);
        queries.sync();
        QCOMPARE(queries.site.requestCount(), 4);
        QCOMPARE(queries.site.requestCount(QStringLiteral("/serv1.txt")), 2);
        QCOMPARE(queries.site.requestCount(QStringLiteral("/serv2.txt")), 2);
    }
};

QTEST_MAIN(TestServerList)
#include "tst_serverlist.moc"
