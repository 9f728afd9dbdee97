#include "app/launcherentry.h"

#include "app/mainwindow.h"
#include "platform/platform.h"
#include "ui/messagedialog.h"
#include "ui/resources.h"

#include <QApplication>
#include <QFontDatabase>

namespace {

const char *const embeddedFonts[] = {
    ":/fonts/SF-Compact-Text-Bold.otf",
    ":/fonts/SF-Compact-Text-Heavy.otf",
    ":/fonts/SF-Compact-Text-Medium.otf",
    ":/fonts/SF-Compact-Text-Regular.otf",
    ":/fonts/Gilroy-Bold.otf",
    ":/fonts/Gilroy-Black.otf",
    ":/fonts/Montserrat-Bold.ttf",
    ":/fonts/Montserrat-Medium.ttf",
    ":/fonts/Montserrat-Regular.ttf",
    ":/fonts/Montserrat-SemiBold.ttf",
    ":/fonts/Montserrat-Light.ttf",
};

} // namespace

int runLauncher(int argc, char **argv)
{
    // Plain raster windows: otherwise creating the window first probes OpenGL (on X11 it loads
    // the GL driver), which costs the first frame tens of milliseconds for nothing, since no
    // widget draws with OpenGL.
    QCoreApplication::setAttribute(Qt::AA_ForceRasterWidgets);
    Platform::prepareRuntimeDir();
    QApplication app(argc, argv);
    initLauncherResources();

    // Before the single-instance check, whose refusal is styled in these fonts too. A font that
    // is not there is skipped: the family then falls back to the system's.
    for (const char *font : embeddedFonts)
        QFontDatabase::addApplicationFont(QString::fromLatin1(font));

    if (!Platform::acquireSingleInstance(QStringLiteral("Mutex: Korvina Launcher"))) {
        showMessage(nullptr, MessageDialog::Error, QStringLiteral("Лаунчер уже запущен"), 0);
        return 0;
    }

    auto *window = new MainWindow;
    window->setWindowFlags(Qt::FramelessWindowHint);
    window->show();
    window->startLoader();
    const int exitCode = app.exec();
    delete window;
    return exitCode;
}
