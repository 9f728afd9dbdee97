// Time from the start of the process until the main window is shown: the real korvina-launcher
// of this build next to a Qt program that shows one empty window of the same size (this program
// with --empty-window), the floor that any Qt launcher pays on this machine. Both run under an X
// server (this program restarts itself under xvfb-run when there is no DISPLAY). The time runs
// from the fork to the moment the X server maps the top-level window with the expected title
// ("mapped", MapNotify seen on the root window) and to the first drawing into it ("first
// frame", a DAMAGE notification), alternated, medians. Every start gets a home and runtime
// directory of its own and the launcher runs from a copy in a directory of its own (the
// launcher's directory is its executable's), after one start that is not counted.
//   sections: window
#include "benchsupport.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QWidget>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#ifdef KORVINA_BENCH_XDAMAGE
#include <X11/extensions/Xdamage.h>
#endif
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Bench;

extern char **environ;

namespace {

const char emptyTitle[] = "bench empty window";
const char launcherTitle[] = "Korvina Launcher";

int showEmptyWindow(int argc, char **argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QLatin1String(emptyTitle));
    window.setWindowFlags(Qt::FramelessWindowHint);
    window.setFixedSize(900, 550);
    window.show();
    return app.exec();
}

// Windows that vanish while they are looked at are no error here.
int ignoreErrors(Display *, XErrorEvent *)
{
    return 0;
}

QByteArray windowName(Display *display, Window window)
{
    const Atom netName = XInternAtom(display, "_NET_WM_NAME", False);
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char *data = nullptr;
    QByteArray name;
    if (XGetWindowProperty(
            display, window, netName, 0, 1024, False, utf8, &type, &format, &items, &after, &data)
            == Success
        && data) {
        name = QByteArray(reinterpret_cast<const char *>(data), int(items));
        XFree(data);
    }
    if (name.isEmpty()) {
        char *plain = nullptr;
        if (XFetchName(display, window, &plain) && plain) {
            name = plain;
            XFree(plain);
        }
    }
    return name;
}

struct Start
{
    double mapped = -1; // seconds from the fork
    double painted = -1;
};

class Starter
{
public:
    explicit Starter(Display *display)
        : display(display)
        , root(DefaultRootWindow(display))
    {
        XSetErrorHandler(ignoreErrors);
        XSelectInput(display, root, SubstructureNotifyMask);
#ifdef KORVINA_BENCH_XDAMAGE
        int error = 0;
        damage = XDamageQueryExtension(display, &damageEvent, &error);
#endif
        XSync(display, False);
    }

    bool canSeeFrames() const
    {
        return damage;
    }

    // Starts program with the environment changes, waits until the window titled title is
    // mapped and drawn into (30 s at most), then ends the program.
    Start run(const QString &program, const QStringList &arguments, const QString &home,
        const char *title)
    {
        QDir(home).removeRecursively();
        QDir().mkpath(home + "/.config");
        QDir().mkpath(home + "/run");
        QFile::setPermissions(
            home + "/run", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QVector<QByteArray> storage;
        storage.append(QFile::encodeName(program));
        for (const QString &argument : arguments)
            storage.append(argument.toLocal8Bit());
        const QVector<char *> argv = execVector(storage);
        const QByteArray homeBytes = QFile::encodeName(home);
        QVector<QByteArray> environment { "HOME=" + homeBytes,
            "XDG_CONFIG_HOME=" + homeBytes + "/.config", "XDG_RUNTIME_DIR=" + homeBytes + "/run",
            "XDG_CACHE_HOME=" + homeBytes + "/.cache", "XDG_DATA_HOME=" + homeBytes + "/.local" };
        for (char **variable = environ; *variable; ++variable) {
            const QByteArray entry(*variable);
            const QByteArray name = entry.left(entry.indexOf('=') + 1);
            if (name != "QT_QPA_PLATFORM=" && name != "HOME=" && !name.startsWith("XDG_"))
                environment.append(entry);
        }
        const QVector<char *> envp = execVector(environment);

        while (XPending(display)) {
            XEvent stale;
            XNextEvent(display, &stale);
        }
        std::fflush(stdout);
        QElapsedTimer clock;
        clock.start();
        const pid_t pid = fork();
        if (pid == 0) {
            execve(argv.at(0), argv.data(), envp.data());
            _exit(127);
        }
        Start start;
        if (pid < 0)
            return start;
        Window target = 0;
        while (clock.elapsed() < 30000 && (start.mapped < 0 || (damage && start.painted < 0))) {
            if (start.mapped >= 0 && clock.nsecsElapsed() / 1e9 > start.mapped + 3)
                break; // mapped but never drawn into
            pollfd wait { ConnectionNumber(display), POLLIN, 0 };
            if (!XPending(display) && poll(&wait, 1, 100) <= 0)
                continue;
            while (XPending(display)) {
                XEvent event;
                XNextEvent(display, &event);
                const double now = double(clock.nsecsElapsed()) / 1e9;
#ifdef KORVINA_BENCH_XDAMAGE
                if (damage && event.type == CreateNotify && event.xcreatewindow.parent == root
                    && !event.xcreatewindow.override_redirect)
                    XDamageCreate(display, event.xcreatewindow.window, XDamageReportNonEmpty);
                if (damage && event.type == damageEvent + XDamageNotify && target != 0
                    && reinterpret_cast<XDamageNotifyEvent &>(event).drawable == target
                    && start.painted < 0)
                    start.painted = now;
#endif
                if (event.type == MapNotify && event.xmap.event == root
                    && !event.xmap.override_redirect && start.mapped < 0
                    && windowName(display, event.xmap.window) == title) {
                    start.mapped = now;
                    target = event.xmap.window;
                }
            }
        }
        kill(pid, SIGTERM);
        for (int i = 0; i < 50 && waitpid(pid, nullptr, WNOHANG) == 0; ++i)
            usleep(100000);
        if (waitpid(pid, nullptr, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        return start;
    }

private:
    Display *display;
    Window root;
    bool damage = false;
    int damageEvent = 0;
};

QString milliseconds(double seconds)
{
    return seconds < 0 ? QStringLiteral("—") : QString::number(seconds * 1000, 'f', 0) + " ms";
}

// Restarts this program under xvfb-run; returns only when that cannot be done.
void restartUnderXvfb(int argc, char **argv)
{
    QVector<char *> arguments { const_cast<char *>("xvfb-run"), const_cast<char *>("-a"),
        const_cast<char *>("-s"), const_cast<char *>("-screen 0 1280x1024x24 -nolisten tcp") };
    for (int i = 0; i < argc; ++i)
        arguments.append(argv[i]);
    arguments.append(nullptr);
    std::fflush(stdout);
    execvp("xvfb-run", arguments.data());
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], "--empty-window") == 0)
        return showEmptyWindow(argc, argv);
    Options options;
    if (!parseCommandLine(argc, argv, "bench_window", "window", &options))
        return 2;
    if (!options.wants("window"))
        return 0;
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        restartUnderXvfb(argc, argv);
        std::printf("bench_window: no DISPLAY and no xvfb-run; not measured\n");
        return 1;
    }
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::printf("bench_window: cannot open the display; not measured\n");
        return 1;
    }
    QTemporaryDir work(options.dir + "/bench_window-XXXXXX");
    const QString launcher = work.path() + "/launcher/korvina-launcher";
    QDir().mkpath(work.path() + "/launcher");
    if (!QFile::copy(QStringLiteral(KORVINA_LAUNCHER_PATH), launcher)) {
        std::printf("bench_window: no launcher at %s; not measured\n", KORVINA_LAUNCHER_PATH);
        return 1;
    }
    QFile::setPermissions(launcher, QFile::permissions(launcher) | QFile::ExeOwner);
    const QString self = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
    const QString home = work.path() + "/home";
    std::printf(
        "bench_window, %d runs, display %s\n", options.runs, qgetenv("DISPLAY").constData());

    Starter starter(display);
    // Not counted: the first start of each reads the libraries from disk.
    starter.run(launcher, {}, home, launcherTitle);
    starter.run(self, { "--empty-window" }, home, emptyTitle);
    QVector<double> launcherMapped, launcherPainted, emptyMapped, emptyPainted;
    for (int i = 0; i < options.runs; ++i) {
        const Start ours = starter.run(launcher, {}, home, launcherTitle);
        const Start empty = starter.run(self, { "--empty-window" }, home, emptyTitle);
        if (ours.mapped >= 0)
            launcherMapped.append(ours.mapped);
        if (ours.painted >= 0)
            launcherPainted.append(ours.painted);
        if (empty.mapped >= 0)
            emptyMapped.append(empty.mapped);
        if (empty.painted >= 0)
            emptyPainted.append(empty.painted);
        std::printf("  run %d: launcher mapped %s, first frame %s; empty window mapped %s, first "
                    "frame %s\n",
            i + 1, qPrintable(milliseconds(ours.mapped)), qPrintable(milliseconds(ours.painted)),
            qPrintable(milliseconds(empty.mapped)), qPrintable(milliseconds(empty.painted)));
    }
    XCloseDisplay(display);
    if (launcherMapped.isEmpty()) {
        std::printf("  !! the launcher showed no window titled \"%s\"\n", launcherTitle);
        return 1;
    }
    const bool frames = starter.canSeeFrames() && !launcherPainted.isEmpty();
    const double shown = frames ? median(launcherPainted) : median(launcherMapped);
    const double floor = frames ? median(emptyPainted) : median(emptyMapped);
    row("main window shown after the process starts (Xvfb; until mapped / first frame)",
        milliseconds(median(launcherMapped)) + " / "
            + (frames ? milliseconds(median(launcherPainted)) : QStringLiteral("—")),
        "empty Qt window " + milliseconds(median(emptyMapped)) + " / "
            + (frames ? milliseconds(median(emptyPainted)) : QStringLiteral("—")),
        QString::asprintf("%+.0f ms next to an empty Qt window", (shown - floor) * 1000),
        QString("≤ 200 ms (%1): ").arg(frames ? "first frame" : "mapped") + verdict(shown <= 0.2));
    return 0;
}
