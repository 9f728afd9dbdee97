#include "benchsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace Bench {

namespace {

qint64 ioField(const QByteArray &io, const QByteArray &name)
{
    for (const QByteArray &line : io.split('\n')) {
        if (line.startsWith(name + ": "))
            return line.mid(name.size() + 2).trimmed().toLongLong();
    }
    return -1;
}

} // namespace

bool Options::wants(const char *section) const
{
    return only.isEmpty() || only.contains(QLatin1String(section));
}

QString optionsUsage()
{
    return QStringLiteral(
        "[--scale F] [--runs N] [--memory-runs N] [--dir DIR] [--only SECTION,...]\n"
        "  --scale F        F < 1 shrinks every size and count (default 1)\n"
        "  --runs N         alternated runs of the launcher and its reference (default 5)\n"
        "  --memory-runs N  runs whose peak memory is taken, the maximum counts (default 10)\n"
        "  --dir DIR        where the trees are made (default: the temporary directory)\n"
        "  --only LIST      sections to run, separated by commas (default: all)\n");
}

bool parseOptions(const QStringList &arguments, const QString &usage, Options *options)
{
    options->dir = QDir::tempPath();
    bool ok = arguments.size() % 2 == 0;
    for (int i = 0; ok && i + 1 < arguments.size(); i += 2) {
        const QString &name = arguments.at(i);
        const QString &value = arguments.at(i + 1);
        if (name == QLatin1String("--scale"))
            options->scale = value.toDouble(&ok);
        else if (name == QLatin1String("--runs"))
            options->runs = value.toInt(&ok);
        else if (name == QLatin1String("--memory-runs"))
            options->memoryRuns = value.toInt(&ok);
        else if (name == QLatin1String("--dir"))
            options->dir = value;
        else if (name == QLatin1String("--only"))
            options->only = value.split(QLatin1Char(','), Qt::SkipEmptyParts);
        else
            ok = false;
    }
    if (ok && options->scale > 0 && options->runs > 0 && options->memoryRuns > 0
        && QFileInfo(options->dir).isDir())
        return true;
    std::fprintf(stderr, "usage: %s", qPrintable(usage));
    return false;
}

bool parseCommandLine(
    int argc, char **argv, const char *program, const char *sections, Options *options)
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return parseOptions(arguments,
        QString::fromLatin1(program) + QLatin1Char(' ') + optionsUsage()
            + QStringLiteral("  sections: ") + QLatin1String(sections) + QLatin1Char('\n'),
        options);
}

double median(QVector<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const int middle = values.size() / 2;
    return values.size() % 2 ? values.at(middle) : (values.at(middle - 1) + values.at(middle)) / 2;
}

double maximum(const QVector<double> &values)
{
    return values.isEmpty() ? 0 : *std::max_element(values.begin(), values.end());
}

double mib(double bytes)
{
    return bytes / 1048576.0;
}

void fill(char *out, qint64 size, quint64 &state)
{
    for (qint64 i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        out[i] = char(state & 0x3f);
    }
}

bool writeData(const QString &path, qint64 size, quint64 seed)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    quint64 state = seed * 0x9e3779b97f4a7c15ull + 1;
    QByteArray chunk(int(qMin<qint64>(size, 1 << 20)), '\0');
    for (qint64 left = size; left > 0;) {
        const qint64 now = qMin<qint64>(left, chunk.size());
        fill(chunk.data(), now, state);
        if (file.write(chunk.constData(), now) != now)
            return false;
        left -= now;
    }
    return true;
}

void settle()
{
    ::sync();
}

QVector<char *> execVector(QVector<QByteArray> &storage)
{
    QVector<char *> vector;
    for (QByteArray &entry : storage)
        vector.append(entry.data());
    vector.append(nullptr);
    return vector;
}

ToolRun runTool(const QStringList &arguments)
{
    ToolRun run;
    // Everything the child needs is made before the fork: in a process with threads, the child
    // may only call what is safe after fork until it execs.
    QVector<QByteArray> storage;
    for (const QString &argument : arguments)
        storage.append(argument.toLocal8Bit());
    const QVector<char *> argv = execVector(storage);
    std::fflush(stdout);
    QElapsedTimer timer;
    timer.start();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execvp(argv.at(0), argv.data());
        _exit(127);
    }
    if (pid < 0)
        return run;
    siginfo_t info {};
    waitid(P_PID, id_t(pid), &info, WEXITED | WNOWAIT);
    run.seconds = double(timer.nsecsElapsed()) / 1e9;
    QFile io(QStringLiteral("/proc/%1/io").arg(pid));
    if (io.open(QIODevice::ReadOnly)) {
        const QByteArray counters = io.readAll();
        run.rchar = ioField(counters, "rchar");
        run.readBytes = ioField(counters, "read_bytes");
    }
    int status = 0;
    rusage usage {};
    wait4(pid, &status, 0, &usage);
    run.maxRssKiB = usage.ru_maxrss;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

void row(const QString &work, const QString &launcher, const QString &reference,
    const QString &ratio, const QString &target)
{
    std::printf("| %s | %s | %s | %s | %s |\n", qPrintable(work), qPrintable(launcher),
        qPrintable(reference), qPrintable(ratio), qPrintable(target));
    std::fflush(stdout);
}

QString seconds(double value)
{
    return QString::number(value, 'f', value < 10 ? 2 : 1) + QStringLiteral(" s");
}

QString thousands(qint64 value)
{
    QString digits = QString::number(value);
    for (int i = digits.size() - 3; i > (value < 0 ? 1 : 0); i -= 3)
        digits.insert(i, QLatin1Char(','));
    return digits;
}

QString verdict(bool met)
{
    return met ? QStringLiteral("met") : QStringLiteral("NOT met");
}

} // namespace Bench
