#include "ui/dialogframe.h"

#include "ui/focusmark.h"

#include <QDialog>
#include <QGraphicsDropShadowEffect>
#include <QGraphicsRectItem>
#include <QGraphicsScene>
#include <QImage>
#include <QPainter>
#include <QWidget>

namespace {

// Paints the shadow of a rectangle of its parent, drawn once for the screen's density.
class DialogShadow : public QWidget
{
public:
    DialogShadow(QWidget *dialog, const QRect &body)
        : QWidget(dialog)
        , body(body)
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setFocusPolicy(Qt::NoFocus);
        setGeometry(dialog->rect());
        lower();
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        const qreal ratio = devicePixelRatioF();
        if (picture.isNull() || picture.devicePixelRatio() != ratio)
            picture = render(ratio);
        QPainter(this).drawImage(0, 0, picture);
    }

private:
    QImage render(qreal ratio) const
    {
        // The same blur the graphics effect gives, rendered off the screen.
        QGraphicsScene scene { QRectF(rect()) };
        auto *shape = scene.addRect(QRectF(body), Qt::NoPen, QColor(11, 34, 85));
        auto *shadow = new QGraphicsDropShadowEffect;
        shadow->setBlurRadius(30);
        shadow->setColor(QColor(0, 0, 0, 160));
        shadow->setOffset(0, 0);
        shape->setGraphicsEffect(shadow);
        QImage image(size() * ratio, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(ratio);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        scene.render(&painter, QRectF(rect()), QRectF(rect()));
        painter.end();
        return image;
    }

    QRect body;
    QImage picture;
};

} // namespace

void frameDialog(QDialog *dialog, QWidget *shadowWidget)
{
    dialog->setWindowFlags(dialog->windowFlags() | Qt::FramelessWindowHint);
    dialog->setAttribute(Qt::WA_TranslucentBackground);
    new DialogShadow(dialog, shadowWidget->geometry());
    new FocusMark(dialog);
    // Only the place of the body: its opaque white would show wherever the body is not drawn.
    shadowWidget->hide();
}
