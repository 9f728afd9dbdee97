#pragma once

#include <QPointer>
#include <QWidget>

class QFocusEvent;

// The keyboard's place in a window: a rounded white outline, drawn inside
// the control that has the focus while the player moves with the keyboard (Tab, arrows), and
// gone as soon as the mouse is used, so that a click leaves no frame behind. One per window.
class FocusMark : public QWidget
{
    Q_OBJECT

public:
    explicit FocusMark(QWidget *window);

    // The control the mark is drawn in, or none while the mouse was used last.
    QWidget *markedWidget() const { return marked; }

    // Whether focus given for this reason comes from the keyboard.
    static bool byKeyboard(Qt::FocusReason reason);
    // Whether the focus widget has just taken should show the keyboard's look: given by a key,
    // or given back (a dialog closed) while the mark is shown, which the mark decides first.
    static bool keyboardFocusIn(const QWidget *widget, const QFocusEvent *event);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void markFocus();

    QWidget *window;
    QPointer<QWidget> marked;
    bool keyboardMode = false;
};
