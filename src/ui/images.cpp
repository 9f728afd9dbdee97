#include "ui/images.h"

#include <QPainter>
#include <QStyle>

namespace Images {

QPixmap pixmap(const QString &path, qreal devicePixelRatio)
{
    if (devicePixelRatio > 1) {
        QString twice = path;
        twice.insert(path.lastIndexOf(QLatin1Char('.')), QStringLiteral("@2x"));
        QPixmap sharp(twice); // loaded through the pixmap cache
        if (!sharp.isNull()) {
            sharp.setDevicePixelRatio(2);
            return sharp;
        }
    }
    return QPixmap(path);
}

} // namespace Images

Picture::Picture(const QString &path, QWidget *parent, Qt::Alignment alignment)
    : QWidget(parent)
    , imagePath(path)
    , alignment(alignment)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
    if (parent)
        setGeometry(parent->rect());
}

void Picture::setPath(const QString &path)
{
    if (path == imagePath)
        return;
    imagePath = path;
    update();
}

void Picture::paintEvent(QPaintEvent *)
{
    if (imagePath.isEmpty())
        return;
    const QPixmap image = Images::pixmap(imagePath, devicePixelRatioF());
    const QSize size = image.size() / image.devicePixelRatio();
    QPainter painter(this);
    // At a density between 1 and 2 the sharp render is drawn smaller, which must not drop
    // pixels.
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(QStyle::alignedRect(layoutDirection(), alignment, size, rect()), image);
}
