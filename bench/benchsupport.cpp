#include "benchsupport.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QtEndian>

#include <algorithm>
#include <cstdio>
#include <cstring>
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

bool writeArchive(const QString &path, int count, qint64 elementBytes, quint64 seed,
    int changedEvery, quint64 changedSeed)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const qint64 directoryBytes = 8 + 32 * qint64(count + 1);
    const qint64 firstSector = (directoryBytes + 409599) / 409600 * 200;
    QByteArray directory(int(firstSector * 2048), '\0');
    memcpy(directory.data(), "V2SH", 4);
    qToLittleEndian<qint32>(count + 1, directory.data() + 4);
    memcpy(directory.data() + 16, "v2staticHeader.v2sh", 19);
    const quint16 sectors = quint16(elementBytes / 2048);
    for (int i = 0; i < count; ++i) {
        char *record = directory.data() + 8 + 32 * (i + 1);
        qToLittleEndian<quint32>(quint32(firstSector + qint64(i) * sectors), record);
        qToLittleEndian<quint16>(sectors, record + 4);
        const QByteArray name = QByteArray("e") + QByteArray::number(100000 + i) + ".dff";
        memcpy(record + 8, name.constData(), size_t(name.size()));
    }
    if (file.write(directory) != directory.size())
        return false;
    quint64 state = seed * 0x9e3779b97f4a7c15ull + 1;
    quint64 changedState = changedSeed * 0x9e3779b97f4a7c15ull + 1;
    QByteArray element(int(elementBytes), '\0');
    for (int i = 0; i < count; ++i) {
        // The unchanged stream advances over every element, so that the others keep their bytes.
        fill(element.data(), elementBytes, state);
        if (changedEvery > 0 && i % changedEvery == 0)
            fill(element.data(), elementBytes, changedState);
        if (file.write(element) != element.size())
            return false;
    }
    return true;
}

qint64 treeBytes(const QString &root, int *files)
{
    qint64 total = 0;
    int count = 0;
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        total += it.fileInfo().size();
        ++count;
    }
    if (files)
        *files = count;
    return total;
}

void removeDirs(const QStringList &dirs)
{
    for (const QString &dir : dirs)
        QDir(dir).removeRecursively();
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

ToolRun runTool(const QStringList &arguments, const QString &output)
{
    ToolRun run;
    // Everything the child needs is made before the fork: in a process with threads, the child
    // may only call what is safe after fork until it execs.
    QVector<QByteArray> storage;
    for (const QString &argument : arguments)
        storage.append(argument.toLocal8Bit());
    const QVector<char *> argv = execVector(storage);
    const QByteArray outputPath
        = output.isEmpty() ? QByteArray("/dev/null") : QFile::encodeName(output);
    std::fflush(stdout);
    QElapsedTimer timer;
    timer.start();
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = ::open(outputPath.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
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

ToolRun curlUrls(const QStringList &urls, const QString &config, const QString &ca,
    const QStringList &options, double *connectSeconds, const QString &outputDir)
{
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return ToolRun();
    if (!outputDir.isEmpty()) {
        QDir(outputDir).removeRecursively();
        QDir().mkpath(outputDir);
    }
    for (int i = 0; i < urls.size(); ++i)
        file.write(QString("url = \"%1\"\noutput = \"%2\"\n")
                       .arg(urls.at(i),
                           outputDir.isEmpty() ? QStringLiteral("/dev/null")
                                               : outputDir + '/' + QString::number(i))
                       .toUtf8());
    file.close();
    settle();
    const QString timings = config + ".out";
    const ToolRun run = runTool(QStringList { "curl", "--silent", "--no-progress-meter", "--fail",
                                    "--cacert", ca, "--write-out", "%{time_appconnect}\\n" }
            + options + QStringList { "--config", config },
        timings);
    if (!run.ok)
        std::printf("  !! curl failed\n");
    if (connectSeconds) {
        QFile file(timings);
        *connectSeconds = 0;
        if (file.open(QIODevice::ReadOnly)) {
            for (const QByteArray &line : file.readAll().split('\n'))
                *connectSeconds = qMax(*connectSeconds, line.toDouble());
        }
    }
    return run;
}

Figures runForFigures(const QString &program, const QStringList &arguments, QByteArray *errors)
{
    QProcess child;
    QElapsedTimer process;
    process.start();
    child.start(program, arguments);
    child.waitForFinished(-1);
    Figures figures;
    // The child from its start to its exit: Qt, the system's certificates, the run and the exit.
    figures.insert("process_s", double(process.nsecsElapsed()) / 1e9);
    for (const QByteArray &line : child.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> words = line.split(' ');
        if (words.size() == 2)
            figures.insert(words.at(0), words.at(1).toDouble());
    }
    if (errors)
        *errors = child.readAllStandardError();
    return figures;
}

Figures runSync(const QString &program, const QString &game, const QString &launcher,
    const QString &url, const QString &ca, const QStringList &extra)
{
    QDir().mkpath(launcher);
    settle();
    QByteArray errors;
    const Figures figures = runForFigures(program,
        QStringList { "--child", "game=" + game, "launcher=" + launcher, "url=" + url, "ca=" + ca }
            + extra,
        &errors);
    if (figures.value("finished") != 1)
        std::printf("  !! synchronisation from %s did not finish ready: %s\n", qPrintable(url),
            errors.constData());
    return figures;
}

QVector<double> column(const QVector<Figures> &runs, const char *name)
{
    QVector<double> values;
    for (const Figures &run : runs) {
        if (run.contains(name))
            values.append(run.value(name));
    }
    return values;
}

QString peakMemoryFigure(const QVector<double> &peaksKib)
{
    int over = 0;
    for (double peak : peaksKib)
        over += peak / 1024 > 100;
    return QString("%1 MiB (median %2, over 100 MiB in %3 of %4)")
        .arg(maximum(peaksKib) / 1024, 0, 'f', 0)
        .arg(median(peaksKib) / 1024, 0, 'f', 0)
        .arg(over)
        .arg(peaksKib.size());
}

bool publishRelease(const QString &program, const QString &reference, const QString &outDir,
    const QString &label, QString *release)
{
    QElapsedTimer timer;
    timer.start();
    QProcess child;
    const QString eatmydata = QStandardPaths::findExecutable(QStringLiteral("eatmydata"));
    const QStringList arguments = { program, "--publish", reference, outDir };
    if (eatmydata.isEmpty())
        child.start(arguments.first(), arguments.mid(1));
    else
        child.start(eatmydata, arguments);
    child.waitForFinished(-1);
    const QList<QByteArray> lines = child.readAllStandardOutput().split('\n');
    const bool ok = lines.value(0) == "ok";
    if (!ok)
        std::printf("  !! publish %s: %s%s\n", qPrintable(label), lines.value(2).constData(),
            child.readAllStandardError().constData());
    const QList<QByteArray> counts = lines.value(1).split(' ');
    std::printf("  (published %s: %s outputs packed, %s reused, in %.1f s%s)\n", qPrintable(label),
        counts.value(0).constData(), counts.value(1).constData(),
        double(timer.nsecsElapsed()) / 1e9,
        eatmydata.isEmpty() ? ", each output synced to disk (no eatmydata)" : "");
    if (release)
        *release = QString::fromUtf8(lines.value(2));
    return ok;
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
