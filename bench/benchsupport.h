#pragma once

// What the benchmarks share: their options, medians, data made the same way in every run,
// programs measured from outside, and the rows of the table that scripts/bench gathers from all
// of them (every line of the form "| work | launcher | reference | ratio | target |").

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

namespace Bench {

struct Options
{
    // Below 1 shrinks every size and count, for a quick run.
    double scale = 1.0;
    // Alternated runs of the launcher and of its reference, for the medians.
    int runs = 5;
    // Runs whose peak memory is taken (the maximum is what counts).
    int memoryRuns = 10;
    // Holds the trees and archives (a directory of its own is made in it).
    QString dir;
    // Sections to run; empty for all of them.
    QStringList only;

    bool wants(const char *section) const;
    int scaled(double count) const { return qMax(1, int(count * scale)); }
};

// Reads --scale F, --runs N, --memory-runs N, --dir DIR and --only A,B from arguments (without
// the program name). False, after printing the usage to stderr, when something is wrong.
bool parseOptions(const QStringList &arguments, const QString &usage, Options *options);
QString optionsUsage();
// A bench program's start: reads the options of argv (usage names program and its sections) and
// makes stdout line-buffered, so that the progress reaches a pipe as it happens.
bool parseCommandLine(
    int argc, char **argv, const char *program, const char *sections, Options *options);

double median(QVector<double> values);
double maximum(const QVector<double> &values);
double mib(double bytes);

// The same bytes for the same seed: six random bits per byte, which zlib packs to about three
// quarters, like much of a game's data.
void fill(char *out, qint64 size, quint64 &state);
bool writeData(const QString &path, qint64 size, quint64 seed);
// A static-header IMG archive of count elements of elementBytes each (a multiple of 2048), named
// e100000.dff and on. With changedEvery N > 0, every Nth element (from the first) holds other
// bytes, drawn from changedSeed, and all others stay as they are without it: the same archive
// with that many elements changed.
bool writeArchive(const QString &path, int count, qint64 elementBytes, quint64 seed,
    int changedEvery = 0, quint64 changedSeed = 0);

// Bytes of the files below root, and their number to *files.
qint64 treeBytes(const QString &root, int *files = nullptr);

// Removes each directory with all it holds.
void removeDirs(const QStringList &dirs);

// Flushes what earlier steps left dirty in the page cache, so that a measured run does not pay
// for the writes of the one before it.
void settle();

struct ToolRun
{
    bool ok = false;
    double seconds = 0;
    qint64 rchar = -1;
    qint64 readBytes = -1;
    long maxRssKiB = 0;
};

// Runs a program (looked up in PATH) with stdout to /dev/null (or to the file output), timed
// from the fork to its exit; its I/O counters are read before it is reaped.
ToolRun runTool(const QStringList &arguments, const QString &output = QString());
// curl fetching urls to /dev/null in one invocation, so that it keeps its connection between
// them (one request after another unless options say --parallel), trusting the PEM file ca;
// the list goes to the file config. *connectSeconds: the longest that a transfer waited for its
// connection and TLS handshake, which a client that had fetched the list before has paid. With
// outputDir, each body goes to a file of its own there instead (the directory made anew).
ToolRun curlUrls(const QStringList &urls, const QString &config, const QString &ca,
    const QStringList &options = QStringList(), double *connectSeconds = nullptr,
    const QString &outputDir = QString());
// An exec's argument or environment vector: pointers into storage, which must outlive them,
// ending in a null. Made before a fork, since the child of a process with threads may only call
// what is safe after fork until it execs.
QVector<char *> execVector(QVector<QByteArray> &storage);

// What a child run reports: lines of "name value"; process_s is the child's whole life.
using Figures = QMap<QByteArray, double>;
// Runs program with arguments and gathers its figures; what it wrote to stderr goes to *errors.
Figures runForFigures(
    const QString &program, const QStringList &arguments, QByteArray *errors = nullptr);
// One synchronisation by program's "--child" mode (bench_sync) into the game and launcher
// directories, from the file host at url, trusting the PEM file ca; says so when it did not end
// ready.
Figures runSync(const QString &program, const QString &game, const QString &launcher,
    const QString &url, const QString &ca, const QStringList &extra = QStringList());
// One figure of every run that has it.
QVector<double> column(const QVector<Figures> &runs, const char *name);
// The figure of a memory row: the maximum counts; the median and the runs over 100 MiB show how
// often it is reached.
QString peakMemoryFigure(const QVector<double> &peaksKib);

// Publishes reference as a release in outDir through program's "--publish REFERENCE OUTDIR"
// mode (bench_sync), under eatmydata where it is installed: the publisher syncs every output,
// which would make the trees take minutes to set up and measures nothing of the launcher.
// Prints what it did under the name label; the id of the release served goes to *release.
bool publishRelease(const QString &program, const QString &reference, const QString &outDir,
    const QString &label, QString *release = nullptr);

// One row of the table; the ratio is phrased the way its target is ("0.74 of md5sum's speed",
// "6.0x find's time"), and target names the goal and whether it is met.
void row(const QString &work, const QString &launcher, const QString &reference,
    const QString &ratio, const QString &target);
QString seconds(double value);
// "20,000"
QString thousands(qint64 value);
QString verdict(bool met);

} // namespace Bench
