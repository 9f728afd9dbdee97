#pragma once

#include <QPixmap>
#include <QString>
#include <QWidget>

// The compiled-in images for a screen of a given density: where the density is above 1 the
// "@2x" render of an image (path "name@2x.png") is taken when there is one.
namespace Images {

QPixmap pixmap(const QString &path, qreal devicePixelRatio);

} // namespace Images

// A compiled-in image drawn at its own size, aligned in the widget, from the render that suits
// the screen it is on. Takes the place of a style sheet's image: Qt 5's style sheets show an
// "@2x" render at twice its size, and a single render blurs on a dense screen. Lets every
// click through to what it is drawn on.
class Picture : public QWidget
{
    Q_OBJECT

public:
    // Covers parent; an empty path draws nothing.
    Picture(const QString &path, QWidget *parent, Qt::Alignment alignment = Qt::AlignCenter);

    void setPath(const QString &path);
    QString path() const { return imagePath; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString imagePath;
    Qt::Alignment alignment;
};
