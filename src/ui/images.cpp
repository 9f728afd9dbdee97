#include "ui/images.h"

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
