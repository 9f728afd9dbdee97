#include "ui/newslist.h"

#include "platform/platform.h"
#include "ui/animcontrols.h"

#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QMutexLocker>
#include <QPainter>
#include <QPainterPath>
#include <QPropertyAnimation>
#include <QTimer>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace {

constexpr int cardWidth = 276;
constexpr int cardHeight = 90;
constexpr int pictureSize = 90;

QLabel *makeLabel(QWidget *parent, const QRect &geometry, const QString &style = QString())
{
    auto *label = new QLabel(parent);
    label->setGeometry(geometry);
    if (!style.isEmpty())
        label->setStyleSheet(style);
    return label;
}

CustomLabel *makeRenderer(QLabel *placeholder, double factor, int pointSize, int weight,
    int alignment, const QString &text, bool elided = false)
{
    auto *renderer = new CustomLabel(placeholder, factor);
    renderer->setFit(elided ? CustomLabel::Fit::Words : CustomLabel::Fit::Clip); // drawn below
    renderer->setLook(
        QFont(QStringLiteral("Montserrat"), pointSize, weight), Qt::white, alignment, text);
    return renderer;
}

} // namespace

NewsList::NewsList(QWidget *parent)
    : QWidget(parent)
    , box(new QWidget(this))
    , indicatorHandle(nullptr)
    , indicatorTrack(nullptr)
{
    if (parent) {
        resize(parent->size());
        parent->setMouseTracking(true);
    }
    setMouseTracking(true);
    box->setGeometry(0, 0, cardWidth, 2000);
    box->setMouseTracking(true);
    box->show();
    indicatorTrack = makeLabel(this, QRect(288, 1, 3, viewHeight),
        QStringLiteral("background: rgba(0, 0, 0, 75); border-radius: 4px;"));
    indicatorHandle = makeLabel(
        this, QRect(288, 1, 3, 0), QStringLiteral("background: #445A89; border-radius: 4px;"));
    trackMouse(indicatorTrack);
    trackMouse(indicatorHandle);
}

void NewsList::trackMouse(QWidget *widget)
{
    widget->setMouseTracking(true);
}

QString NewsList::shorten(const QString &text, int limit)
{
    return text.length() > limit ? text.left(limit) + QStringLiteral("...") : text;
}

uint NewsList::addNews(
    const QString &title, const QString &text, const QString &date, const QString &link)
{
    Entry entry;
    entry.title = shorten(title, titleLimit);
    entry.text = shorten(text, textLimit);
    entry.date = date;
    entry.link = link;
    QMutexLocker lock(&mutex);
    entries.append(entry);
    return uint(entries.size() - 1);
}

void NewsList::build()
{
    QMutexLocker lock(&mutex);
    for (int i = 0; i < entries.size(); ++i) {
        Entry &entry = entries[i];
        if (entry.card)
            continue;
        const int y = cardPitch * i;
        entry.card = new QWidget(box);
        entry.card->setGeometry(0, y, cardWidth, cardHeight);
        entry.card->show();
        entry.card->installEventFilter(this);
        entry.card->setCursor(Qt::PointingHandCursor);
        // Each card is a stop of the keyboard's round; Return opens it, the arrows move on.
        entry.card->setFocusPolicy(Qt::TabFocus);
        if (i > 0)
            setTabOrder(entries.at(i - 1).card, entry.card);
        trackMouse(entry.card);

        entry.slide = new QPropertyAnimation(entry.card, "pos", entry.card);
        entry.slide->setDuration(300);
        entry.slide->setStartValue(QPoint(-321, y));
        entry.slide->setEndValue(QPoint(0, y));

        entry.content = new QWidget(entry.card);
        entry.content->setGeometry(0, 0, cardWidth, cardHeight);
        entry.content->hide();
        trackMouse(entry.content);
        trackMouse(makeLabel(entry.content, QRect(0, 0, cardWidth, cardHeight),
            QStringLiteral("background: rgba(0, 0, 0, 75); border-radius: 4px;")));
        QLabel *titleLabel = makeLabel(entry.content, QRect(9, 8, 170, 20));
        QLabel *textLabel = makeLabel(entry.content, QRect(9, 28, 175, 40));
        QLabel *dateLabel = makeLabel(entry.content, QRect(0, 68, 50, 15));
        entry.pictureView = makeLabel(entry.content, QRect(186, 0, pictureSize, pictureSize),
            QStringLiteral("border-top-right-radius: 4px; border-bottom-right-radius: 4px;"));
        for (QWidget *label : { titleLabel, textLabel, dateLabel, entry.pictureView })
            trackMouse(label);
        // What still does not fit after shortening would be cut through a glyph at the box's
        // edge (the text's last line half under the date badge): it ends in "…" instead.
        makeRenderer(titleLabel, 4.0, 38, 81, Qt::AlignLeft | Qt::AlignVCenter, entry.title, true);
        makeRenderer(textLabel, 5.5, 38, 40, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
            entry.text, true);
        makeRenderer(dateLabel, 6.3, 33, 81, Qt::AlignCenter, entry.date)
            ->setStyleSheet(QStringLiteral("background: rgba(0, 0, 0, 100);"));
        if (!entry.picture.isNull())
            showPicture(entry);
        content += cardPitch;
    }
    // With no entries the division has no finite value: the handle then fills the track.
    const double ratio = content > 0 ? double(viewHeight) / content * viewHeight : viewHeight + 1;
    handleSize = ratio > viewHeight ? viewHeight : int(std::ceil(ratio));
    indicatorHandle->resize(indicatorHandle->width(), handleSize);
}

void NewsList::reveal()
{
    revealed = 0;
    QTimer::singleShot(200, this, &NewsList::showNewsWidget);
}

void NewsList::showNewsWidget()
{
    if (revealed >= uint(count()))
        return;
    const Entry &entry = entries.at(int(revealed));
    if (entry.content) {
        entry.content->show();
        entry.slide->start();
    }
    QTimer::singleShot(150, this, &NewsList::showNewsWidget);
    ++revealed;
}

void NewsList::setPicture(uint idx, const QPixmap &picture)
{
    QMutexLocker lock(&mutex);
    if (idx >= uint(entries.size()))
        return;
    Entry &entry = entries[int(idx)];
    // At the screen's density: a picture made for 90 x 90 pixels is blurred on a denser one.
    const qreal ratio = devicePixelRatioF();
    entry.picture = picture.scaled(QSize(pictureSize, pictureSize) * ratio, Qt::IgnoreAspectRatio,
        Qt::SmoothTransformation);
    entry.picture.setDevicePixelRatio(ratio);
    if (entry.pictureView)
        showPicture(entry);
}

void NewsList::showPicture(Entry &entry)
{
    // A label's style sheet does not clip its pixmap, so the card's right corners are cut
    // into the picture itself.
    QPixmap rounded(entry.picture.size());
    rounded.setDevicePixelRatio(entry.picture.devicePixelRatio());
    rounded.fill(Qt::transparent);
    QPainter painter(&rounded);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath outline;
    outline.addRoundedRect(QRectF(-8, 0, pictureSize + 8, pictureSize), 4, 4);
    painter.setClipPath(outline);
    painter.drawPixmap(0, 0, entry.picture);
    painter.end();
    entry.pictureView->setPixmap(rounded);
}

void NewsList::openLink(const QString &url)
{
    Platform::openUrl(url);
}

int NewsList::cardIndex(QObject *card) const
{
    QMutexLocker lock(&mutex);
    for (int i = 0; i < entries.size(); ++i) {
        if (entries.at(i).card == card)
            return i;
    }
    return -1;
}

bool NewsList::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (type != QEvent::MouseButtonRelease && type != QEvent::MouseButtonPress
        && type != QEvent::MouseButtonDblClick && type != QEvent::KeyPress
        && type != QEvent::FocusIn)
        return QWidget::eventFilter(watched, event);
    const int index = cardIndex(watched);
    if (index < 0)
        return QWidget::eventFilter(watched, event);
    auto *card = static_cast<QWidget *>(watched);
    if (type == QEvent::FocusIn) {
        // A card reached with the keyboard is scrolled into view.
        const int top = card->y();
        if (top + box->y() < 0)
            scrollTo(-top);
        else if (top + cardHeight + box->y() > viewHeight)
            scrollTo(viewHeight - top - cardHeight);
        return false;
    }
    if (type == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space) {
            openLink(entries.at(index).link);
            return true;
        }
        const int next = key == Qt::Key_Down ? index + 1 : key == Qt::Key_Up ? index - 1 : -1;
        if (next < 0 || next >= count() || !entries.at(next).card)
            return false;
        entries.at(next).card->setFocus(Qt::TabFocusReason);
        return true;
    }
    if (type == QEvent::MouseButtonRelease
        && card->rect().contains(static_cast<QMouseEvent *>(event)->pos()))
        openLink(entries.at(index).link);
    return true;
}

void NewsList::wheelEvent(QWheelEvent *event)
{
    const int delta = event->angleDelta().y();
    if (delta == 0 || event->angleDelta().x() != 0) {
        event->ignore();
        return;
    }
    scrollTo(box->y() + delta);
    event->accept();
}

void NewsList::scrollTo(int y)
{
    const int currentY = box->y();
    int newY = y;
    if (content < viewHeight)
        newY = 0;
    else
        newY = std::clamp(newY, viewHeight - content, 0);
    if (newY != currentY) {
        if (scroll) {
            scroll->stop();
            delete scroll;
        }
        scroll = new QPropertyAnimation(box, "pos", box);
        scroll->setDuration(100);
        scroll->setStartValue(box->pos());
        scroll->setEndValue(QPoint(box->x(), newY));
        scroll->start(QAbstractAnimation::DeleteWhenStopped);
    }
    if (handleSize != viewHeight && content != viewHeight) {
        const double span = viewHeight - handleSize;
        const int offset = int(std::ceil(std::abs(newY) / double(content - viewHeight) * span));
        indicatorHandle->move(indicatorHandle->x(), 1 + std::min(viewHeight - handleSize, offset));
    }
}

void NewsList::setNote(const QString &text)
{
    if (!noteLabel) {
        noteLabel = makeLabel(this, QRect(0, 0, cardWidth, cardHeight));
        noteLabel->setWordWrap(true);
        noteLabel->setAlignment(Qt::AlignCenter);
        noteLabel->setFont(QFont(QStringLiteral("Montserrat"), 9, 50));
        noteLabel->setStyleSheet(QStringLiteral(
            "background: rgba(0, 0, 0, 75); border-radius: 4px; color: rgba(255, 255, 255, 160);"
            " padding: 10px;"));
    }
    noteLabel->setText(text);
    noteLabel->show();
}

QString NewsList::note() const
{
    return noteLabel && noteLabel->isVisible() ? noteLabel->text() : QString();
}

int NewsList::count() const
{
    QMutexLocker lock(&mutex);
    return entries.size();
}

QString NewsList::title(int idx) const
{
    QMutexLocker lock(&mutex);
    return entries.value(idx).title;
}

QString NewsList::text(int idx) const
{
    QMutexLocker lock(&mutex);
    return entries.value(idx).text;
}

QWidget *NewsList::card(int idx) const
{
    QMutexLocker lock(&mutex);
    return entries.value(idx).card;
}

QLabel *NewsList::pictureLabel(int idx) const
{
    QMutexLocker lock(&mutex);
    return entries.value(idx).pictureView;
}
