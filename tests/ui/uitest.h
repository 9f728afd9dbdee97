#pragma once

// Shared by the widget tests: the compiled-in resources and fonts, and pointer events sent
// straight to a widget (the offscreen platform has no real pointer).

#include "ui/resources.h"

#include <QApplication>
#include <QDir>
#include <QEnterEvent>
#include <QFontDatabase>
#include <QMouseEvent>

namespace UiTest {

inline void loadResources()
{
    initLauncherResources();
    for (const QString &font : QDir(QStringLiteral(":/fonts")).entryList())
        QFontDatabase::addApplicationFont(QStringLiteral(":/fonts/") + font);
}

inline void enter(QWidget *widget)
{
    QEnterEvent event(QPointF(1, 1), QPointF(1, 1), QPointF(widget->mapToGlobal(QPoint(1, 1))));
    QApplication::sendEvent(widget, &event);
}

inline void leave(QWidget *widget)
{
    QEvent event(QEvent::Leave);
    QApplication::sendEvent(widget, &event);
}

inline void mouse(
    QWidget *widget, QEvent::Type type, const QPoint &pos, Qt::MouseButton button = Qt::LeftButton)
{
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : button;
    QMouseEvent event(type, pos, widget->mapToGlobal(pos), button, held, Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
}

} // namespace UiTest
