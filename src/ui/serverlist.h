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

    // The occupancy pie's sector for share (0..1) of its 20 x 20 square, from twelve o'clock
    // clockwise; empty below 1 %.
    static QRegion pieMask(float share);

signals:
    void clicked();
    void sigRefresh();

public slots:
    bool eventFilter(QObject *obj, QEvent *event) override;
    void infoUpdated(int players, int total);

private:
    void fadeTo(qreal opacity);
    void setCount(const QString &text);
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
    QWidget *pie;
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
    QVector<ServerWidget *> cards;
    int current = -1;
    QString userIniPath;
    QueryFactory makeQuery;
    QVector<ServerQuery *> ownQueries;
};
