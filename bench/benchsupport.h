#pragma once

// What the benchmarks share: their options, medians, data made the same way in every run,
// programs measured from outside, and the rows of the table that scripts/bench gathers from all
// of them (every line of the form "| work | launcher | reference | ratio | target |").

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

// Runs a program (looked up in PATH) with stdout to /dev/null, timed from the fork to its exit;
// its I/O counters are read before it is reaped.
ToolRun runTool(const QStringList &arguments);
// An exec's argument or environment vector: pointers into storage, which must outlive them,
// ending in a null. Made before a fork, since the child of a process with threads may only call
// what is safe after fork until it execs.
QVector<char *> execVector(QVector<QByteArray> &storage);

// One row of the table; the ratio is phrased the way its target is ("0.74 of md5sum's speed",
// "6.0x find's time"), and target names the goal and whether it is met.
void row(const QString &work, const QString &launcher, const QString &reference,
    const QString &ratio, const QString &target);
QString seconds(double value);
// "20,000"
QString thousands(qint64 value);
QString verdict(bool met);

} // namespace Bench
