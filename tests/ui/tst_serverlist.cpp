#include "service/serverquery.h"
#include "testhttpserver.h"
#include "ui/serverlist.h"
#include "uitest.h"

#include <QLabel>
#include <QScopeGuard>
#include <QScreen>
#include <QSettings>
#include <QStyle>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <memory>

namespace {

QWidget *pie(ServerWidget *card)
{
    return card->findChild<OccupancyPie *>();
}

// The texts a card shows, then "pie" while a sector of its pie is drawn ("full pie" when
// the whole circle shows).
QString shown(ServerWidget *card)
{
    QStringList parts;
    for (QLabel *label : card->findChildren<QLabel *>()) {
        if (label->isVisible())
            parts << label->text();
    }
    if (card->pieShare() > 0)
        parts << QLatin1String(card->pieShare() >= 1 ? "full pie" : "pie");
    return parts.join(' ');
}

// A status server on loopback and the cards' queries against it, with a tick counter the test
// moves; the queries stop with it.
class StatusSite
{
public:
    StatusSite()
    {
        site.route(QStringLiteral("/serv1.txt"), TestResponse::ok("1/10"));
        site.route(QStringLiteral("/serv2.txt"), TestResponse::ok("2/10"));
    }
    ~StatusSite()
    {
        for (const auto &query : queries)
            query->stop();
    }
    ServerList::QueryFactory factory()
    {
        return [this](const QString &address, ushort port, int index) {
            ServerQuery::Options options;
            options.endpoints = { QString(), QString(), site.baseUrl() };
            options.tickCount = [ticks = ticks] { return ticks->load(); };
            options.attemptTimeoutMs = 30000;
            queries.emplace_back(new ServerQuery(address, port, index, options));
            return queries.back().get();
        };
    }

    TestHttpServer site;
    std::shared_ptr<std::atomic<quint32>> ticks = std::make_shared<std::atomic<quint32>>(100000);
    std::vector<std::unique_ptr<ServerQuery>> queries;
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

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        UiTest::loadResources();
    }

    void init() { QFile::remove(ini()); }

    void statusUpdates_data()
    {
        QTest::addColumn<int>("players");
        QTest::addColumn<int>("total");
        QTest::addColumn<QString>("expected");
        QTest::newRow("overfull") << 150 << 100 << "A Online 150/100 full pie";
        QTest::newRow("empty server") << 0 << 100 << "A Online 0/100";
        QTest::newRow("one percent, a smooth sliver") << 10 << 1000 << "A Online 10/1000 pie";
        QTest::newRow("below one percent") << 9 << 1000 << "A Online 9/1000";
        QTest::newRow("two percent") << 20 << 1000 << "A Online 20/1000 pie";
        QTest::newRow("no capacity") << 5 << 0 << "A Offline -/-";
        QTest::newRow("five-digit capacity") << 9999 << 10000 << "A Online 9999/10000 pie";
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
        list.addElement(QStringLiteral("A"), QStringLiteral("10.0.0.1"), 7000);
        ServerWidget *card = list.card(0);
        QCOMPARE(shown(card), QStringLiteral("A Offline -/-"));
        card->infoUpdated(30, 60);

        // What the window shows after the update (its backing store, not a fresh rendering of
        // the widgets) is what a full repaint shows: the half-transparent card is not blended
        // twice anywhere.
        const auto windowPixels = [&host] {
            QCoreApplication::sendPostedEvents();
            QCoreApplication::processEvents();
            return host.screen()->grabWindow(host.winId()).toImage();
        };
        windowPixels();
        card->infoUpdated(players, total);
        const QImage updated = windowPixels();
        host.repaint();
        QCOMPARE(updated, windowPixels());
        QCOMPARE(shown(card), expected);
        auto *count = card->findChildren<QLabel *>().last(); // after the name and the state
        const QRect text = QStyle::alignedRect(Qt::LeftToRight, count->alignment(),
            QSize(count->fontMetrics().horizontalAdvance(count->text()), count->height()),
            count->contentsRect());
        QVERIFY2(count->x() + text.right() < pie(card)->x(), "the count runs into the pie");
    }

    void longNameEndsAfterAWordClearOfTheCount()
    {
        QWidget host;
        host.resize(470, 200);
        ServerList list(&host, ini(), noQueries());
        const QString name = QStringLiteral("Корвина РП | Сервер номер один");
        list.addElement(name, QStringLiteral("10.0.0.1"), 7000);
        ServerWidget *card = list.card(0);
        card->infoUpdated(734, 1000);
        const QList<QLabel *> labels = card->findChildren<QLabel *>();
        QLabel *nameLabel = labels.first();
        QLabel *count = labels.last();
        const QString shown = nameLabel->text();
        QVERIFY2(shown.endsWith(QStringLiteral(" \u2026")) == false && shown.endsWith(QChar(0x2026)),
            qPrintable(shown));
        QVERIFY(name.startsWith(shown.chopped(1) + QLatin1Char(' ')));
        QCOMPARE(card->toolTip(), name);
        const int nameEnd = nameLabel->x() + nameLabel->fontMetrics().horizontalAdvance(shown);
        const int countStart = count->x()
            + (count->width() - count->fontMetrics().horizontalAdvance(count->text())) / 2;
        QVERIFY(nameEnd < countStart);
    }

    void choiceIsKeptAndRefreshAsksAgain()
    {
        StatusSite status;
        QVERIFY(status.site.listen());
        QWidget host;
        ServerList list(&host, ini(), status.factory());
        host.show();
        list.addElement(QStringLiteral("One"), QStringLiteral("one.example"), 7001);
        list.addElement(QStringLiteral("Two"), QStringLiteral("two.example"), 7002);
        ServerWidget *first = list.card(0);
        QTRY_COMPARE(shown(first), QStringLiteral("One Online 1/10 pie"));
        list.restoreSelection();
        QTest::mouseClick(list.card(1), Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
        QCOMPARE(QSettings(ini(), QSettings::IniFormat).value("SERVERS/Current").toInt(), 1);
        QVERIFY(!first->isSelected());
        QCOMPARE(list.currentPort(), ushort(7002));

        // Refreshing all asks each card's query once more.
        status.ticks->fetch_add(ServerQuery::refreshGapMs + 1000);
        status.site.route(QStringLiteral("/serv1.txt"), TestResponse::ok("5/10"));
        list.refreshAll();
        QTRY_COMPARE(shown(first), QStringLiteral("One Online 5/10 pie"));
        QTRY_COMPARE(status.site.requestCount(), 4);
    }

    void arrowsMoveBetweenTheServers_data()
    {
        // Five servers: two columns, and the sixth card is empty.
        QTest::addColumn<int>("from"); // the card with the focus, also the chosen one
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("to");
        QTest::newRow("right in the row") << 0 << int(Qt::Key_Right) << 1;
        QTest::newRow("left in the row") << 3 << int(Qt::Key_Left) << 2;
        QTest::newRow("down the column") << 1 << int(Qt::Key_Down) << 3;
        QTest::newRow("up the column") << 4 << int(Qt::Key_Up) << 2;
        QTest::newRow("not right past the row's end") << 1 << int(Qt::Key_Right) << 1;
        QTest::newRow("not left past the row's start") << 2 << int(Qt::Key_Left) << 2;
        QTest::newRow("not up from the top") << 0 << int(Qt::Key_Up) << 0;
        QTest::newRow("not down to an empty card") << 3 << int(Qt::Key_Down) << 3;
    }

    void arrowsMoveBetweenTheServers()
    {
        QFETCH(int, from);
        QFETCH(int, key);
        QFETCH(int, to);
        StatusSite status;
        QVERIFY(status.site.listen());
        QWidget host;
        ServerList list(&host, ini(), status.factory());
        for (int i = 0; i < 5; ++i)
            list.addElement(QString::number(i), QStringLiteral("%1.example").arg(i), 7000 + i);
        host.show();
        QApplication::setActiveWindow(&host);
        QVERIFY(QTest::qWaitForWindowActive(&host));
        list.serverClicked(from);
        list.card(from)->setFocus(Qt::TabFocusReason);
        QTest::keyClick(list.card(from), Qt::Key(key));
        QCOMPARE(list.currentIndex(), to);
        QVERIFY(list.card(to)->hasFocus());
        QVERIFY(list.card(to)->isSelected());
        QCOMPARE(QSettings(ini(), QSettings::IniFormat).value("SERVERS/Current").toInt(), to);
    }

    void restoredSelection_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<int>("servers");
        QTest::addColumn<int>("selected");
        QTest::newRow("absent") << QString() << 3 << 0;
        QTest::newRow("second") << "1" << 3 << 1;
        QTest::newRow("card 4 has no server") << "4" << 3 << 0;
        QTest::newRow("beyond the cards") << "6" << 3 << 0;
        QTest::newRow("the last card, a seventh server dropped") << "5" << 7 << 5;
        QTest::newRow("no servers") << "1" << 0 << -1;
    }

    void restoredSelection()
    {
        QFETCH(QString, stored);
        QFETCH(int, servers);
        QFETCH(int, selected);
        if (!stored.isEmpty())
            QSettings(ini(), QSettings::IniFormat).setValue("SERVERS/Current", stored);
        QWidget host;
        ServerList list(&host, ini(), noQueries());
        host.show();
        for (int i = 0; i < servers; ++i)
            list.addElement(QString::number(i), QStringLiteral("%1.example").arg(i), 7000 + i);
        list.restoreSelection();
        // A card without a server shows nothing and takes no click.
        if (servers < ServerList::cardCount) {
            QCOMPARE(shown(list.card(servers)), QString());
            QTest::mouseClick(list.card(servers), Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
        }
        QCOMPARE(list.currentIndex(), selected);
        QVERIFY(selected < 0 || list.card(selected)->isSelected());
        QCOMPARE(list.currentAddress(),
            selected < 0 ? QString() : QStringLiteral("%1.example").arg(selected));
        QCOMPARE(list.currentPort(), ushort(selected < 0 ? 0 : 7000 + selected));
    }
};

QTEST_MAIN(TestServerList)
#include "tst_serverlist.moc"
