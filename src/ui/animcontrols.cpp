#include "ui/animcontrols.h"

#include "ui/focusmark.h"
#include "ui/textfit.h"

#include <QAbstractButton>
#include <QEvent>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QFontMetricsF>
#include <QGraphicsDropShadowEffect>
#include <QGraphicsOpacityEffect>
#include <QMouseEvent>
#include <QPainter>
#include <QPropertyAnimation>
#include <QPushButton>

#include <cmath>

namespace {

constexpr int hoverFadeMs = 250;

QString rgba(const QColor &c)
{
    return QStringLiteral("rgba(%1, %2, %3, %4);")
        .arg(c.red())
        .arg(c.green())
        .arg(c.blue())
        .arg(c.alpha());
}

// A running animation is stopped and dropped before the next transition starts.
void discard(QPointer<QPropertyAnimation> &animation)
{
    if (animation) {
        animation->stop();
        delete animation;
    }
}

QPropertyAnimation *animate(
    QObject *object, const QByteArray &property, const QVariant &from, const QVariant &to, int ms)
{
    auto *animation = new QPropertyAnimation(object, property, object);
    animation->setDuration(ms);
    animation->setStartValue(from);
    animation->setEndValue(to);
    animation->start(QAbstractAnimation::DeleteWhenStopped);
    return animation;
}

// Hover looks double as the keyboard's focus look: focus from the keyboard counts as the
// pointer coming in, and losing it as the pointer leaving, unless the pointer is still there.
// 1 for in, -1 for out, 0 for an event that is neither.
int hoverChange(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::Enter:
        return 1;
    case QEvent::Leave:
        return -1;
    case QEvent::FocusIn:
        // Not the event "by Tab" an opening dialog sends its default button without focus.
        return FocusMark::keyboardFocusIn(
                   qobject_cast<QWidget *>(watched), static_cast<QFocusEvent *>(event))
            ? 1
            : 0;
    case QEvent::FocusOut: {
        auto *widget = qobject_cast<QWidget *>(watched);
        return widget && !widget->underMouse() ? -1 : 0;
    }
    default:
        return 0;
    }
}

void fadeOpacity(QPointer<QPropertyAnimation> &animation, QGraphicsOpacityEffect *effect, qreal to)
{
    discard(animation);
    animation = animate(effect, "opacity", effect->opacity(), to, hoverFadeMs);
}

} // namespace

// AnimBgButton

AnimBgButton::AnimBgButton(QPushButton *target)
    : QObject(target)
    , target(target)
{
    target->setMouseTracking(true);
    target->installEventFilter(this);
    baseStyle = target->styleSheet();
}

void AnimBgButton::setBackgroundColors(const QColor &rest, const QColor &hover)
{
    backgroundFade.rest = rest;
    backgroundFade.hover = hover;
    backgroundFade.on = true;
    setColor(rest);
}

void AnimBgButton::setOutlineColors(const QColor &rest, const QColor &hover)
{
    outlineFade.rest = rest;
    outlineFade.hover = hover;
    outlineFade.on = true;
    setBorderColor(rest);
}

void AnimBgButton::setGlowColors(const QColor &rest, const QColor &hover)
{
    glowFade.rest = rest;
    glowFade.hover = hover;
    glowFade.on = true;
    if (auto *glow = qobject_cast<QGraphicsDropShadowEffect *>(target->graphicsEffect()))
        glow->setColor(rest);
}

void AnimBgButton::setEnabled(bool enabled)
{
    auto *effect = new QGraphicsOpacityEffect(target);
    effect->setOpacity(enabled ? 1.0 : 0.5);
    target->setGraphicsEffect(effect);
    target->setEnabled(enabled);
}

void AnimBgButton::setColor(const QColor &value)
{
    background = value;
    restyle();
}

void AnimBgButton::setBorderColor(const QColor &value)
{
    outline = value;
    restyle();
}

void AnimBgButton::restyle()
{
    QString style = baseStyle;
    if (backgroundFade.on)
        style += QStringLiteral("background-color: ") + rgba(background);
    if (outlineFade.on)
        style += QStringLiteral("border: 1px solid ") + rgba(outline);
    target->setStyleSheet(style);
}

QObject *AnimBgButton::glowEffect()
{
    if (auto *glow = qobject_cast<QGraphicsDropShadowEffect *>(target->graphicsEffect()))
        return glow;
    auto *glow = new QGraphicsDropShadowEffect(target);
    glow->setColor(glowFade.rest);
    glow->setBlurRadius(20);
    glow->setOffset(0, 0);
    target->setGraphicsEffect(glow);
    return glow;
}

void AnimBgButton::fade(Fade &fade, QObject *object, const QByteArray &property, bool entering)
{
    discard(fade.animation);
    if (!fade.on)
        return;
    // Each fade starts from the fixed colour of the state being left, not from where a
    // cut-short fade was, so a quick in-and-out may jump.
    fade.animation = entering ? animate(object, property, fade.rest, fade.hover, fadeMs)
                              : animate(object, property, fade.hover, fade.rest, fadeMs);
}

bool AnimBgButton::eventFilter(QObject *watched, QEvent *event)
{
    const int change = watched == target ? hoverChange(watched, event) : 0;
    if (change == 0)
        return QObject::eventFilter(watched, event);
    const bool focusEvent = event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut;
    if (!target->isEnabled())
        return !focusEvent;
    const bool entering = change > 0;
    fade(backgroundFade, this, "color", entering);
    fade(outlineFade, this, "borderColor", entering);
    if (glowFade.on)
        fade(glowFade, glowEffect(), "color", entering);
    else
        discard(glowFade.animation);
    // The button itself must still see its focus change.
    return !focusEvent;
}

// CustomCheckbox

const QColor CustomCheckbox::onColor = QColor(0, 163, 255);
const QColor CustomCheckbox::offColor = QColor(79, 91, 115);

CustomCheckbox::CustomCheckbox(QLabel *row)
    : QObject(row)
    , trackWidget(new QWidget(row))
    , knobWidget(new QWidget(trackWidget))
    , rowOpacity(new QGraphicsOpacityEffect(row))
{
    trackWidget->setGeometry(row->width() - 50, 0, 50, row->height());
    trackWidget->setStyleSheet(QStringLiteral("background: rgba(0, 0, 0, 75);"));
    trackWidget->setCursor(Qt::PointingHandCursor);
    knobWidget->setGeometry(3, 3, 23, row->height() - 6);
    knobWidget->setCursor(Qt::PointingHandCursor);
    rowOpacity->setOpacity(1.0);
    row->setGraphicsEffect(rowOpacity);
    trackWidget->installEventFilter(this);
    trackWidget->setFocusPolicy(Qt::StrongFocus);
    setChecked(false);
}

QPoint CustomCheckbox::knobPosition(bool on) const
{
    return on ? QPoint(trackWidget->width() - 26, 3) : QPoint(3, 3);
}

void CustomCheckbox::stopAnimations()
{
    discard(slide);
    discard(tint);
}

void CustomCheckbox::setChecked(bool on)
{
    state = on;
    stopAnimations();
    knobWidget->move(knobPosition(on));
    setColor(on ? onColor : offColor);
}

void CustomCheckbox::setColor(const QColor &value)
{
    knobWidget->setStyleSheet(QStringLiteral("background: ") + rgba(value));
}

bool CustomCheckbox::eventFilter(QObject *watched, QEvent *event)
{
    const bool released = event->type() == QEvent::MouseButtonRelease
        && trackWidget->rect().contains(static_cast<QMouseEvent *>(event)->pos());
    // Space flips a switch that has the keyboard's focus, as it does a check box.
    const bool pressed = event->type() == QEvent::KeyPress
        && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Space
        && !static_cast<QKeyEvent *>(event)->isAutoRepeat();
    if (watched == trackWidget && (released || pressed)) {
        state = !state;
        stopAnimations();
        slide = animate(knobWidget, "pos", knobWidget->pos(), knobPosition(state), slideMs);
        tint = state ? animate(this, "color", offColor, onColor, slideMs)
                     : animate(this, "color", onColor, offColor, slideMs);
        emit checked(state);
        if (pressed)
            return true;
    }
    return QObject::eventFilter(watched, event);
}

// HeaderButton

HeaderButton::HeaderButton(QAbstractButton *button)
    : QFrame(button->parentWidget())
    , effect(new QGraphicsOpacityEffect(this))
{
    setGeometry(button->geometry());
    stackUnder(button);
    effect->setOpacity(0.0);
    setGraphicsEffect(effect);
    button->setMouseTracking(true);
    button->installEventFilter(this);
}

qreal HeaderButton::opacity() const
{
    return effect->opacity();
}

bool HeaderButton::eventFilter(QObject *obj, QEvent *event)
{
    const int change = hoverChange(obj, event);
    if (change != 0) {
        fadeOpacity(animation, effect, change > 0 ? 1.0 : 0.0);
        return event->type() == QEvent::Enter || event->type() == QEvent::Leave;
    }
    return QFrame::eventFilter(obj, event);
}

// AnimButton

AnimButton::AnimButton(QAbstractButton *button)
    : QWidget(button)
    , button(button)
    , effect(new QGraphicsOpacityEffect(button))
{
    // Only a carrier for the event filter: it must neither paint nor take the button's clicks.
    hide();
    setMouseTracking(true);
    button->setMouseTracking(true);
    button->installEventFilter(this);
    effect->setOpacity(0.5);
    button->setGraphicsEffect(effect);
}

qreal AnimButton::opacity() const
{
    return effect->opacity();
}

bool AnimButton::eventFilter(QObject *obj, QEvent *event)
{
    const int change = obj == button ? hoverChange(obj, event) : 0;
    if (change != 0) {
        fadeOpacity(animation, effect, change > 0 ? 1.0 : 0.5);
        return event->type() == QEvent::Enter || event->type() == QEvent::Leave;
    }
    return QWidget::eventFilter(obj, event);
}

// CustomLabel

CustomLabel::CustomLabel(QLabel *placeholder, double factor)
    : QLabel(placeholder)
    , baseWidth(placeholder->width())
    , baseHeight(placeholder->height())
    , factor(factor)
{
    setGeometry(0, 0, baseWidth, baseHeight);
    // Clicks belong to whatever the text is drawn on (a news card, a button row).
    setAttribute(Qt::WA_TransparentForMouseEvents);
    image = QImage(int(std::floor(baseWidth * factor)), int(std::floor(baseHeight * factor)),
        QImage::Format_ARGB32_Premultiplied);
    show();
}

void CustomLabel::setLabelText(const QString &value)
{
    text = value;
    redraw();
}

void CustomLabel::setLabelFont(const QFont &value)
{
    font = value;
    redraw();
}

void CustomLabel::setLabelColor(const QColor &value)
{
    color = value;
    redraw();
}

void CustomLabel::setLabelAlignment(int flags)
{
    alignment = flags;
    redraw();
}

void CustomLabel::setFit(Fit mode)
{
    fit = mode;
    redraw();
}

void CustomLabel::setLook(
    const QFont &newFont, const QColor &newColor, int newAlignment, const QString &newText)
{
    font = newFont;
    color = newColor;
    alignment = newAlignment;
    text = newText;
    redraw();
}

void CustomLabel::redraw()
{
    if (isVisible())
        draw();
    else
        stale = true;
}

void CustomLabel::showEvent(QShowEvent *event)
{
    if (stale)
        draw();
    QLabel::showEvent(event);
}

QString CustomLabel::fitted(const QString &whole) const
{
    // Measured on the image that is drawn, so that its resolution decides, not the screen's.
    const QFontMetricsF metrics(font, &image);
    const QRectF box(0, 0, image.width(), image.height());
    const auto fits = [&](const QString &candidate) {
        const QRectF used = metrics.boundingRect(box, alignment, candidate);
        return used.width() <= box.width() && used.height() <= box.height();
    };
    if (fits(whole))
        return whole;
    QString shortened = fit == Fit::Path ? TextFit::path(whole, fits) : QString();
    if (shortened.isEmpty())
        shortened = TextFit::words(whole, fits);
    // A first word that is wider than the whole box is cut inside.
    return shortened.isEmpty() ? metrics.elidedText(whole, Qt::ElideRight, box.width())
                               : shortened;
}

void CustomLabel::draw()
{
    stale = false;
    if (image.isNull()) {
        setPixmap(QPixmap());
        return;
    }
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    painter.setPen(color);
    painter.setFont(font);
    painter.drawText(
        QRect(0, 0, image.width(), image.height()), alignment, fit == Fit::Clip ? text : fitted(text));
    painter.end();
    // On a high-density screen the scaled copy keeps the screen's pixels, not the layout's.
    const qreal ratio = devicePixelRatioF();
    QPixmap shown = QPixmap::fromImage(image.scaled(
        QSize(baseWidth, baseHeight) * ratio, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    shown.setDevicePixelRatio(ratio);
    setPixmap(shown);
}
