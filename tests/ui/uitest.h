#pragma once

// Shared by the widget tests: the compiled-in resources and fonts, a hover sent straight to a
// widget (the offscreen platform has no real pointer), a recording stand-in for the browser, a
// window that counts the dialogs dimming it and a player who closes every dialog.

#include "ui/messagedialog.h"
#include "ui/overlayhost.h"
#include "ui/resources.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QEnterEvent>
#include <QFontDatabase>
#include <QTimer>
#include <QUrl>
#include <QWidget>

#include <functional>

namespace UiTest {

// Records every address the platform layer opens, once installed for its schemes.
class LinkRecorder : public QObject
{
    Q_OBJECT

public:
    LinkRecorder()
    {
        for (const char *scheme : { "http", "https", "file", "" })
            QDesktopServices::setUrlHandler(QLatin1String(scheme), this, "open");
    }
    QStringList opened;

public slots:
    void open(const QUrl &url) { opened.append(url.toString()); }
};

// Like the main window: counts the dialogs dimming it and keeps the count after each change.
class OverlayCounter : public QWidget, public OverlayHost
{
public:
    void setOverlay(bool on) override
    {
        count += on ? 1 : -1;
        history.append(count);
    }
    int count = 0;
    QList<int> history;
};

// Closes every modal dialog as it opens, recording a message's text (another dialog's title)
// and how many dialogs dimmed the window meanwhile.
class DialogCloser : public QObject
{
public:
    explicit DialogCloser(std::function<int()> dimmed = [] { return 0; })
    {
        connect(&timer, &QTimer::timeout, this, [this, dimmed] {
            auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            auto *message = qobject_cast<MessageDialog *>(dialog);
            texts.append(message ? message->text() : dialog->windowTitle());
            overlays.append(dimmed());
            dialog->reject();
        });
        timer.start(10);
    }
    QTimer timer;
    QStringList texts;
    QList<int> overlays;
};

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

} // namespace UiTest
