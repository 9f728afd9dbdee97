#include "ui/focusmark.h"

#include <QApplication>
#include <QFocusEvent>
#include <QPainter>

FocusMark::FocusMark(QWidget *window)
    : QWidget(window)
    , window(window)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
    hide();
    // Every focus change and click of the window passes here, including those of controls
    // made later (news cards, dialogs' buttons).
    qApp->installEventFilter(this);
}

bool FocusMark::byKeyboard(Qt::FocusReason reason)
{
    // Not Qt::OtherFocusReason: a dialog gives its default button the focus that way when it
    // opens, which no key asked for. The arrows move with Qt::TabFocusReason.
    return reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason
        || reason == Qt::ShortcutFocusReason;
}

bool FocusMark::keyboardFocusIn(const QWidget *widget, const QFocusEvent *event)
{
    if (!widget || !widget->hasFocus())
        return false;
    if (byKeyboard(event->reason()))
        return true;
    // The application's filter, which places the mark, sees the event before the widget's own.
    const auto *mark = widget->findChild<FocusMark *>(QString(), Qt::FindDirectChildrenOnly);
    return mark && mark->markedWidget() == widget;
}

bool FocusMark::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (type != QEvent::FocusIn && type != QEvent::MouseButtonPress && type != QEvent::KeyPress)
        return false;
    auto *widget = qobject_cast<QWidget *>(watched);
    if (!widget || widget->window() != window)
        return false;
    if (type == QEvent::MouseButtonPress) {
        keyboardMode = false;
    } else if (type == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Tab || key == Qt::Key_Backtab)
            keyboardMode = true;
        return false;
    } else {
        // A dialog that opens sends its default button a focus event "by Tab" before the
        // button has the focus: no key was pressed.
        if (!widget->hasFocus())
            return false;
        const Qt::FocusReason reason = static_cast<QFocusEvent *>(event)->reason();
        if (reason == Qt::MouseFocusReason)
            keyboardMode = false;
        else if (byKeyboard(reason))
            keyboardMode = true;
    }
    markFocus();
    return false;
}

void FocusMark::markFocus()
{
    QWidget *focus = keyboardMode ? window->focusWidget() : nullptr;
    if (focus && !focus->hasFocus())
        focus = nullptr;
    if (focus == marked && isVisible() == bool(focus))
        return;
    marked = focus;
    if (!focus) {
        hide();
        setParent(window);
        return;
    }
    // Inside the control, so that it moves, scrolls and fades with it and no parent clips it.
    setParent(focus);
    setGeometry(focus->rect());
    raise();
    show();
}

void FocusMark::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    // White, as the join button's outline: the blue accent would vanish on the dialogs'
    // buttons, which light up in it when they have the focus.
    painter.setPen(QPen(QColor(255, 255, 255, 230), 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 4, 4);
}
