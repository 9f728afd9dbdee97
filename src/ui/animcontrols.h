#pragma once

// The user interface: the animated controls that the forms attach to their plain widgets.

#include <QColor>
#include <QFont>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QObject>
#include <QPointer>
#include <QWidget>

class QAbstractButton;
class QGraphicsOpacityEffect;
class QPropertyAnimation;
class QPushButton;

// Drives a push button's style sheet: background, outline and glow colours fade on hover,
// and the button is dimmed while disabled. Owned by the button.
class AnimBgButton : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QColor color READ color WRITE setColor)
    Q_PROPERTY(QColor borderColor READ borderColor WRITE setBorderColor)

public:
    explicit AnimBgButton(QPushButton *target);

    void setBackgroundColors(const QColor &rest, const QColor &hover);
    void setOutlineColors(const QColor &rest, const QColor &hover);
    void setGlowColors(const QColor &rest, const QColor &hover);
    void setEnabled(bool enabled);

    QColor color() const { return background; }
    void setColor(const QColor &value);
    QColor borderColor() const { return outline; }
    void setBorderColor(const QColor &value);

    static constexpr int fadeMs = 250;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct Fade
    {
        bool on = false;
        QColor rest;
        QColor hover;
        QPointer<QPropertyAnimation> animation;
    };

    void restyle();
    QObject *glowEffect();
    void fade(Fade &fade, QObject *object, const QByteArray &property, bool entering);

    QPointer<QPushButton> target;
    QString baseStyle;
    QColor background;
    QColor outline;
    Fade backgroundFade;
    Fade outlineFade;
    Fade glowFade;
};

// A sliding on/off switch drawn at the right edge of a row label. Toggles only when the mouse
// button is released over the switch; setChecked() from code is silent. Owned by the row.
class CustomCheckbox : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QColor color READ color WRITE setColor)

public:
    explicit CustomCheckbox(QLabel *row);

    void setChecked(bool state);
    bool isChecked() const { return state; }
    QWidget *track() const { return trackWidget; }
    QWidget *knob() const { return knobWidget; }

    // Reading is not meaningful; the property exists for the colour animation.
    QColor color() const { return QColor(); }
    void setColor(const QColor &value);

    static constexpr int slideMs = 100;
    static const QColor onColor;
    static const QColor offColor;

signals:
    void checked(bool state);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QPoint knobPosition(bool on) const;
    void stopAnimations();

    bool state = false;
    QWidget *trackWidget;
    QWidget *knobWidget;
    QPointer<QPropertyAnimation> slide;
    QPointer<QPropertyAnimation> tint;
    QGraphicsOpacityEffect *rowOpacity;
};

// A highlight frame stacked right under a header button that fades in while the pointer is
// over the button. Its look is the style sheet its user gives it.
class HeaderButton : public QFrame
{
    Q_OBJECT

public:
    explicit HeaderButton(QAbstractButton *button);

    qreal opacity() const;

public slots:
    bool eventFilter(QObject *obj, QEvent *event) override;

private:
    QPointer<QPropertyAnimation> animation;
    QGraphicsOpacityEffect *effect;
};

// Fades a button between half and full opacity on hover.
class AnimButton : public QWidget
{
    Q_OBJECT

public:
    explicit AnimButton(QAbstractButton *button);

    qreal opacity() const;

public slots:
    bool eventFilter(QObject *obj, QEvent *event) override;

private:
    QAbstractButton *button;
    QPointer<QPropertyAnimation> animation;
    QGraphicsOpacityEffect *effect;
};

// Text drawn at a multiple of the placeholder's size and scaled down smoothly, which keeps
// small text crisp and lets the form place it exactly. Always draws at the size the
// placeholder had when the label was created. The alignment may carry Qt::TextWordWrap.
// While the label is not visible, changes are drawn only when it is shown (or draw() is
// called): a window builds its labels before it shows, and each is then drawn once.
class CustomLabel : public QLabel
{
    Q_OBJECT

public:
    CustomLabel(QLabel *placeholder, double factor);

    void setLabelText(const QString &text);
    void setLabelFont(const QFont &font);
    void setLabelColor(const QColor &color);
    void setLabelAlignment(int flags);
    // What happens to a text that does not fit the box. Words: it loses its last words to a
    // "…". Path: its path is shortened in the middle first (see TextFit::path). Either way it
    // is never cut through a glyph at the box's edge.
    enum class Fit { Clip, Words, Path };
    void setFit(Fit mode);
    void draw();
    // Font, colour, alignment and text at once, drawn a single time.
    void setLook(const QFont &font, const QColor &color, int alignment, const QString &text);

    QString labelText() const { return text; }
    QFont labelFont() const { return font; }
    QColor labelColor() const { return color; }
    int labelAlignment() const { return alignment; }
    double supersampling() const { return factor; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    void redraw();
    QString fitted(const QString &whole) const;

    QImage image;
    QFont font = QFont(QStringLiteral("Arial"), 12);
    QColor color = QColor(255, 0, 0, 255);
    QString text = QStringLiteral("Text");
    int alignment = Qt::AlignCenter;
    int baseWidth;
    int baseHeight;
    Fit fit = Fit::Clip;
    bool stale = true;
    double factor;
};
