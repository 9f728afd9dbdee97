#include "app/launcherentry.h"

#include "app/buildinfo.h"
#include "app/logcategories.h"
#include "app/mainwindow.h"
#include "app/runlog.h"
#include "platform/platform.h"
#include "ui/messagedialog.h"
#include "ui/resources.h"

#include <QApplication>
#include <QFontDatabase>
#include <QSysInfo>

#include <cstdio>
#include <cstring>

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

const char usage[]
    = "usage: korvina-launcher [--help | --version]\n"
      "\n"
      "Started without arguments, the Korvina Launcher shows the community's servers and news,\n"
      "brings the game folder \"gtacr\" beside it up to date and starts the game.\n"
      "It logs each run to the folder \"logs\" beside it (the newest five runs are kept).\n"
      "\n"
      "  --help      this text\n"
      "  --version   the launcher's version\n";

// The launcher takes no arguments of its own, so a mistyped one must not start a download.
// Returns the exit code when the process is to end here, or -1 to run the launcher.
int handleArguments(int argc, char **argv)
{
    if (argc < 2)
        return -1;
    Platform::attachConsole();
    const char *argument = argv[1];
    if (argc == 2 && (!std::strcmp(argument, "--help") || !std::strcmp(argument, "-h"))) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (argc == 2 && !std::strcmp(argument, "--version")) {
        std::printf("korvina-launcher %s\n", BuildInfo::launcherVersion().toUtf8().constData());
        return 0;
    }
    std::fprintf(stderr, "korvina-launcher: unknown argument %s (see --help)\n", argument);
    return 2;
}

} // namespace

int runLauncher(int argc, char **argv)
{
    const int argumentsExit = handleArguments(argc, argv);
    if (argumentsExit >= 0)
        return argumentsExit;

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

    // After the check: a second start must not rotate away the running launcher's log.
    RunLog log(QCoreApplication::applicationDirPath() + QStringLiteral("/logs"));
    log.install();
    qCInfo(lcApp).noquote() << "Korvina Launcher" << BuildInfo::launcherVersion() << "on"
                            << QSysInfo::prettyProductName() << "with Qt" << qVersion();

    auto *window = new MainWindow;
    window->setWindowFlags(Qt::FramelessWindowHint);
    window->show();
    window->startLoader();
    const int exitCode = app.exec();
    delete window;
    qCInfo(lcApp) << "the launcher ends";
    return exitCode;
}
