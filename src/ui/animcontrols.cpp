#include "ui/animcontrols.h"

#include <QGraphicsOpacityEffect>
#include <QImage>
#include <QPainter>
#include <QPushButton>

AnimBgButton::AnimBgButton(QPushButton *target)
    : QObject(target)
    , target(target)
{
}

void AnimBgButton::setEnabled(bool enabled)
{
    if (!target)
        return;
    auto *effect = new QGraphicsOpacityEffect(target);
    effect->setOpacity(enabled ? 1.0 : 0.5);
    target->setGraphicsEffect(effect);
    target->setEnabled(enabled);
}

CustomLabel::CustomLabel(QLabel *placeholder, double factor)
    : QLabel(placeholder)
    , factor(factor)
{
    setGeometry(0, 0, placeholder->width(), placeholder->height());
    setAttribute(Qt::WA_TransparentForMouseEvents);
    draw();
    show();
}

void CustomLabel::setLabelText(const QString &value)
{
    text = value;
    if (autoRedraw)
        draw();
}

void CustomLabel::setLabelFont(const QFont &value)
{
    font = value;
    if (autoRedraw)
        draw();
}

void CustomLabel::setLabelColor(const QColor &value)
{
    color = value;
    if (autoRedraw)
        draw();
}

void CustomLabel::setLabelAlignment(Qt::Alignment value)
{
    alignment = value;
    if (autoRedraw)
        draw();
}

void CustomLabel::setAutoRedraw(bool on)
{
    autoRedraw = on;
}

void CustomLabel::draw()
{
    QImage image(int(width() * factor), int(height() * factor), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    if (!image.isNull()) {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::TextAntialiasing);
        painter.setFont(font);
        painter.setPen(color);
        painter.drawText(image.rect(), int(alignment) | Qt::TextWordWrap, text);
    }
    setPixmap(QPixmap::fromImage(image.scaled(size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation)));
}
