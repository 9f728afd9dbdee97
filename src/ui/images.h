#pragma once

#include <QPixmap>
#include <QString>

// The compiled-in images for a screen of a given density: where the density is above 1 the
// "@2x" render of an image (path "name@2x.png") is taken when there is one.
namespace Images {

QPixmap pixmap(const QString &path, qreal devicePixelRatio);

} // namespace Images
