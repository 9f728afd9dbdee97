#include "ui/serverlist.h"

#include "files/ownfile.h"
#include "service/serverquery.h"
#include "ui/focusmark.h"
#include "ui/images.h"
#include "ui/textfit.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QMap>
#include <QFontMetrics>
#include <QGraphicsOpacityEffect>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPropertyAnimation>
#include <QSettings>

namespace {

const char *const dotOffline = "background: #EF2626; border-radius: 4px;";
const char *const dotOnline = "background: #26EF5E; border-radius: 4px;";

QLabel *makeLabel(QWidget *parent, const QRect &geometry, int pointSize, int weight)
{
    auto *label = new QLabel(parent);
    label->setGeometry(geometry);
    label->setFont(QFont(QStringLiteral("Montserrat"), pointSize, weight));
    label->hide();
    return label;
}

QWidget *makeBox(QWidget *parent, const QRect &geometry, const char *style)
{
    auto *box = new QWidget(parent);
    box->setGeometry(geometry);
    box->setStyleSheet(QLatin1String(style));
    box->hide();
    return box;
}

} // namespace

// ServerWidget

ServerWidget::ServerWidget(ServerList *list, int index)
    : QFrame(list)
    , position(index)
    , effect(new QGraphicsOpacityEffect(this))
{
    setGeometry((index % 2) * 240, (index / 2) * 70, 230, 60);
    setStyleSheet(
        QStringLiteral("ServerWidget { background-color: #0F2962; border-radius: 4px; }"));
    setMouseTracking(true);
    selectionBar = makeBox(this, QRect(0, 56, 230, 4),
        "background: #26EF5E; border-bottom-left-radius: 4px; "
        "border-bottom-right-radius: 4px;");
    nameLabel = makeLabel(this, QRect(20, 13, 130, 17), 11, 75);
    statusDot = makeBox(this, QRect(20, 37, 8, 8), dotOffline);
    statusLabel = makeLabel(this, QRect(32, 32, 70, 15), 10, 60);
    countLabel = makeLabel(this, QRect(120, 23, 80, 12), 8, 60);
    countLabel->setAlignment(Qt::AlignCenter);
    pieBackground = new Picture(QStringLiteral(":/images/pcount_0.png"), this);
    pieBackground->setGeometry(190, 21, 20, 20);
    pieBackground->hide();
    pie = new OccupancyPie(this);
    pie->setGeometry(190, 21, 20, 20);
    pie->hide();
    pie->raise();
    effect->setOpacity(0.5);
    setGraphicsEffect(effect);
    installEventFilter(this);
    // A stop of the keyboard's round through the window once it has a server (the arrows move
    // between the cards); the policy is set now so that the window can place the cards in its
    // tab order, which Qt 5 refuses for a widget without one.
    setFocusPolicy(Qt::TabFocus);
    setEnabled(false);
}

void ServerWidget::fill(
    const QString &serverName, const QString &address, ushort port, ServerQuery *query)
{
    name = serverName;
    addr = address;
    serverPort = port;
    statusLabel->setText(QStringLiteral("Offline"));
    setCount(QStringLiteral("-/-"));
    for (QWidget *part : { static_cast<QWidget *>(nameLabel), static_cast<QWidget *>(statusLabel),
             statusDot, static_cast<QWidget *>(countLabel), pieBackground })
        part->show();
    if (underMouse()) {
        fadeTo(1.0);
        hovered = true;
    }
    setCursor(Qt::PointingHandCursor);
    setEnabled(true);
    update(); // several parts at once: see infoUpdated()
    statusQuery = query;
    if (query) {
        // The query lives on its own thread: both directions are queued.
        connect(query, &ServerQuery::infoUpdated, this, &ServerWidget::infoUpdated,
            Qt::QueuedConnection);
        connect(
            this, &ServerWidget::sigRefresh, query, &ServerQuery::refresh, Qt::QueuedConnection);
    }
    filled = true;
}

void ServerWidget::setSelected(bool on)
{
    selected = on;
    selectionBar->setVisible(on);
    if (on)
        fadeTo(1.0);
    else if (!hovered)
        fadeTo(0.5);
}

qreal ServerWidget::opacity() const
{
    return effect->opacity();
}

void ServerWidget::fadeTo(qreal value)
{
    if (animation) {
        animation->stop();
        delete animation;
    }
    animation = new QPropertyAnimation(effect, "opacity", effect);
    animation->setDuration(250);
    animation->setStartValue(effect->opacity());
    animation->setEndValue(value);
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

bool ServerWidget::eventFilter(QObject *obj, QEvent *event)
{
    if (obj != this || !filled)
        return QFrame::eventFilter(obj, event);
    switch (event->type()) {
    case QEvent::Enter:
        if (statusQuery)
            fadeTo(1.0);
        hovered = true;
        return true;
    case QEvent::Leave:
        if (!selected)
            fadeTo(0.5);
        hovered = false;
        return true;
    case QEvent::MouseButtonRelease:
        if (!statusQuery)
            return QFrame::eventFilter(obj, event);
        emit clicked();
        return true;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
        return statusQuery ? true : QFrame::eventFilter(obj, event);
    case QEvent::FocusIn:
        if (FocusMark::keyboardFocusIn(this, static_cast<QFocusEvent *>(event)))
            fadeTo(1.0);
        return QFrame::eventFilter(obj, event);
    case QEvent::FocusOut:
        if (!selected && !hovered)
            fadeTo(0.5);
        return QFrame::eventFilter(obj, event);
    case QEvent::KeyPress: {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter) {
            if (statusQuery)
                emit clicked();
            return true;
        }
        static const QMap<int, int> steps = { { Qt::Key_Left, -1 }, { Qt::Key_Right, 1 },
            { Qt::Key_Up, -2 }, { Qt::Key_Down, 2 } };
        if (!steps.contains(key))
            return QFrame::eventFilter(obj, event);
        emit arrowPressed(steps.value(key));
        return true;
    }
    default:
        return QFrame::eventFilter(obj, event);
    }
}

void ServerWidget::infoUpdated(int players, int total)
{
    const bool online = total > 0;
    setCount(online ? QStringLiteral("%1/%2").arg(players).arg(total) : QStringLiteral("-/-"));
    setOnline(online);
    setPie(online ? float(double(players) / double(total)) : 0.0f);
    // The opacity effect redraws the bounding box of what changed but the window under it only
    // the changed parts: the rest would be blended twice, or over the dimming overlay. A change
    // of the whole card keeps both the same.
    update();
}

void ServerWidget::setCount(const QString &text)
{
    // The count's box reaches under the pie. A count too wide to be centred clear of the pie
    // ends just before it instead, and one wider than all the room left of the pie is elided.
    // Measured for the label's screen, whose density may round glyphs wider.
    const int room = pie->x() - countLabel->x() - 2;
    const QFontMetrics metrics(countLabel->font(), countLabel);
    const int width = metrics.horizontalAdvance(text);
    if ((countLabel->width() + width) / 2 <= room) {
        countLabel->setContentsMargins(0, 0, 0, 0);
        countLabel->setAlignment(Qt::AlignCenter);
        countLabel->setText(text);
        countLeft = countLabel->x() + (countLabel->width() - width) / 2;
    } else {
        countLabel->setContentsMargins(0, 0, countLabel->width() - room, 0);
        countLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        countLabel->setText(width <= room ? text : metrics.elidedText(text, Qt::ElideRight, room));
        countLeft = countLabel->x() + room - qMin(width, room);
    }
    fitName();
}

void ServerWidget::fitName()
{
    // The name ends clear of the count, after a whole word and a "…" when it does not fit; the
    // whole name is then the card's tool tip.
    const int room = qMin(nameLabel->width(), countLeft - nameLabel->x() - 6);
    const QFontMetrics metrics(nameLabel->font(), nameLabel);
    const auto fits
        = [&](const QString &candidate) { return metrics.horizontalAdvance(candidate) <= room; };
    QString shown = name;
    if (!fits(name)) {
        shown = TextFit::words(name, fits);
        if (shown.isEmpty())
            shown = metrics.elidedText(name, Qt::ElideRight, room);
    }
    nameLabel->setText(shown);
    setToolTip(shown == name ? QString() : name);
}

void ServerWidget::setOnline(bool online)
{
    statusLabel->setText(online ? QStringLiteral("Online") : QStringLiteral("Offline"));
    statusDot->setStyleSheet(QLatin1String(online ? dotOnline : dotOffline));
}

void ServerWidget::setPie(float share)
{
    if (share < 0.01f) {
        pie->hide();
        return;
    }
    pie->setShare(share);
    pie->show();
}

float ServerWidget::pieShare() const
{
    return pie->isVisible() ? pie->share() : 0.0f;
}

// OccupancyPie

OccupancyPie::OccupancyPie(QWidget *parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void OccupancyPie::setShare(float value)
{
    shown = value;
    update();
}

void OccupancyPie::paintEvent(QPaintEvent *)
{
    // The filled gauge shows through a sector from twelve o'clock clockwise; drawn at the
    // screen's density with a smooth edge (a widget mask would be whole pixels, a staircase).
    const qreal ratio = devicePixelRatioF();
    QImage sector(size() * ratio, QImage::Format_ARGB32_Premultiplied);
    sector.setDevicePixelRatio(ratio);
    sector.fill(Qt::transparent);
    QPainter painter(&sector);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath path(QPointF(10, 10));
    path.arcTo(QRectF(-1, -1, 22, 22), 90, double(qMin(shown, 1.0f)) * -360.0);
    path.closeSubpath();
    painter.fillPath(path, Qt::black);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.drawPixmap(rect(), Images::pixmap(QStringLiteral(":/images/pcount_2.png"), ratio));
    painter.end();
    QPainter(this).drawImage(0, 0, sector);
}

// ServerList

ServerList::ServerList(QWidget *parent, const QString &userIni, QueryFactory queries)
    : QWidget(parent)
    , userIniPath(userIni.isEmpty()
              ? QCoreApplication::applicationDirPath() + QStringLiteral("/user.ini")
              : userIni)
    , makeQuery(std::move(queries))
{
    if (parent)
        resize(parent->size());
    if (!makeQuery) {
        makeQuery = [this](const QString &address, ushort port, int index) {
            auto *query = new ServerQuery(address, port, index);
            ownQueries.append(query);
            return query;
        };
    }
    setMouseTracking(true);
    if (parent)
        parent->setMouseTracking(true);
    for (int i = 0; i < cardCount; ++i) {
        auto *card = new ServerWidget(this, i);
        card->show();
        connect(card, &ServerWidget::clicked, this, [this, i] { serverClicked(i); });
        connect(card, &ServerWidget::arrowPressed, this, [this, i](int step) { moveTo(i, step); });
        cards.append(card);
    }
}

ServerList::~ServerList()
{
    // Stopping interrupts a running request at once, so the launcher's exit does not wait for
    // it, and no query thread is left running while the process tears down.
    for (ServerQuery *query : qAsConst(ownQueries))
        query->stop();
    qDeleteAll(ownQueries);
}

void ServerList::setQueryFactory(QueryFactory queries)
{
    makeQuery = std::move(queries);
}

void ServerList::addElement(const QString &name, const QString &addr, ushort port)
{
    for (ServerWidget *card : qAsConst(cards)) {
        if (!card->isFilled()) {
            card->fill(
                name, addr, port, makeQuery ? makeQuery(addr, port, card->index()) : nullptr);
            return;
        }
    }
}

void ServerList::moveTo(int from, int step)
{
    // As in a group of radio buttons: the arrows move to the neighbouring server and choose it.
    // Two columns: left and right stay in the row, up and down in the column.
    const int to = from + step;
    if (to < 0 || to >= cardCount || ((step == 1 || step == -1) && to / 2 != from / 2)
        || !cards.at(to)->isFilled() || !cards.at(to)->query())
        return;
    cards.at(to)->setFocus(Qt::TabFocusReason);
    serverClicked(to);
}

void ServerList::serverClicked(int id)
{
    if (id < 0 || id >= cardCount)
        return;
    if (current >= 0 && current < cardCount)
        cards.at(current)->setSelected(false);
    cards.at(id)->setSelected(true);
    current = id;
    if (!OwnFile::clearLink(userIniPath))
        return; // not through a link that stays: the choice is then only not remembered
    QSettings ini(userIniPath, QSettings::IniFormat);
    ini.beginGroup(QStringLiteral("SERVERS"));
    ini.setValue(QStringLiteral("Current"), id);
    ini.endGroup();
    ini.sync();
}

void ServerList::restoreSelection()
{
    QSettings ini(userIniPath, QSettings::IniFormat);
    const int stored = ini.value(QStringLiteral("SERVERS/Current"), 0).toInt();
    // A stored card that has no server now (fewer servers than before) falls back to the first;
    // without any server nothing is current, so that a join cannot start the game with none.
    int index = uint(stored) < uint(cardCount) && cards.at(stored)->isFilled() ? stored : 0;
    if (!cards.at(index)->isFilled())
        index = -1;
    if (current >= 0 && current < cardCount && current != index)
        cards.at(current)->setSelected(false);
    if (index >= 0)
        cards.at(index)->setSelected(true);
    current = index;
}

void ServerList::refreshAll()
{
    for (ServerWidget *card : qAsConst(cards))
        emit card->sigRefresh();
}

QString ServerList::currentAddress() const
{
    return current >= 0 && current < cardCount ? cards.at(current)->address() : QString();
}

ushort ServerList::currentPort() const
{
    return current >= 0 && current < cardCount ? cards.at(current)->port() : 0;
}
