#include "ui/dialogframe.h"

#include <QDialog>
#include <QGraphicsDropShadowEffect>

QGraphicsDropShadowEffect *frameDialog(QDialog *dialog, QWidget *shadowWidget)
{
    dialog->setWindowFlags(dialog->windowFlags() | Qt::FramelessWindowHint);
    dialog->setAttribute(Qt::WA_TranslucentBackground);
    auto *shadow = new QGraphicsDropShadowEffect(dialog);
    shadow->setBlurRadius(30);
    shadow->setColor(QColor(0, 0, 0, 160));
    shadow->setOffset(0, 0);
    shadowWidget->setGraphicsEffect(shadow);
    return shadow;
}
