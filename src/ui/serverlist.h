#pragma once

#include "service/serverquery.h"

#include <QFrame>
#include <QPointer>
#include <QString>
#include <QVector>
#include <QWidget>

#include <functional>

class QGraphicsOpacityEffect;
class QLabel;
class QPropertyAnimation;
class ServerList;

// The card's occupancy gauge: the filled ring shown for a share of its circle.
class OccupancyPie : public QWidget
{
    Q_OBJECT

public:
    explicit OccupancyPie(QWidget *parent);
    void setShare(float share);
    float share() const { return shown; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    float shown = 0;
};

// One server card: name, online state, players over capacity and an occupancy pie. Brightens
// under the pointer and while selected. Empty until the loader gives it a server.
class ServerWidget : public QFrame
{
    Q_OBJECT

public:
    ServerWidget(ServerList *list, int index);

    void fill(const QString &name, const QString &address, ushort port, ServerQuery *query);
    void setSelected(bool on);

    bool isFilled() const { return filled; }
    bool isSelected() const { return selected; }
    QString serverName() const { return name; }
    QString address() const { return addr; }
    ushort port() const { return serverPort; }
    int index() const { return position; }
    ServerQuery *query() const { return statusQuery; }
    qreal opacity() const;

    // The share of the circle the occupancy pie shows; 0 while it is hidden (below 1 %).
    float pieShare() const;

signals:
    void clicked();
    void sigRefresh();
    // An arrow key on the card: step -1 left, 1 right, -2 up, 2 down.
    void arrowPressed(int step);

public slots:
    bool eventFilter(QObject *obj, QEvent *event) override;
    void infoUpdated(int players, int total);

private:
    void fadeTo(qreal opacity);
    void setCount(const QString &text);
    void fitName();
    void setOnline(bool online);
    void setPie(float share);

    QWidget *selectionBar;
    QString name;
    QString addr;
    ushort serverPort = 0;
    int position;
    bool filled = false;
    QLabel *nameLabel;
    QLabel *statusLabel;
    QWidget *statusDot;
    QLabel *countLabel;
    int countLeft = 0; // where the count's text starts, in the card
    OccupancyPie *pie;
    QWidget *pieBackground;
    QPointer<QPropertyAnimation> animation;
    QGraphicsOpacityEffect *effect;
    QPointer<ServerQuery> statusQuery;
    bool selected = false;
    bool hovered = false;
};

// The grid of six server cards and which of them is current; the choice is kept in user.ini
// next to the launcher.
class ServerList : public QWidget
{
    Q_OBJECT

public:
    // Makes the status query of a card that is being filled.
    using QueryFactory
        = std::function<ServerQuery *(const QString &address, ushort port, int index)>;

    // userIni defaults to "/user.ini" in the launcher's directory; queries default to the
    // launcher's ServerQuery with its own thread.
    explicit ServerList(
        QWidget *parent, const QString &userIni = QString(), QueryFactory queries = QueryFactory());
    // Ends the threads of the queries the list made itself; those of a given factory are its
    // caller's.
    ~ServerList() override;

    static constexpr int cardCount = 6;

    // Replaces how the cards that are filled from now on make their status query; a factory
    // that returns nullptr leaves them without one (they then show "Offline" and take no clicks).
    void setQueryFactory(QueryFactory queries);

    // Selects the card stored under "Current" when it holds a server, else the first card when
    // it does, else none.
    void restoreSelection();
    void refreshAll();

    // Empty and 0 while no server is current.
    QString currentAddress() const;
    ushort currentPort() const;
    int currentIndex() const { return current; }
    ServerWidget *card(int index) const { return cards.value(index); }

public slots:
    void addElement(const QString &name, const QString &addr, ushort port);
    void serverClicked(int id);

private:
    void moveTo(int from, int step);

    QVector<ServerWidget *> cards;
    int current = -1;
    QString userIniPath;
    QueryFactory makeQuery;
    QVector<ServerQuery *> ownQueries;
};
