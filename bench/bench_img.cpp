// Figures of the IMG code:
//   conversion  the static-header rebuild of a game-sized standard archive (512 MiB, 16,000
//               elements) next to cp of the same file, alternated; a row of the table
//   editor      throughput of the editor: append, read, lookup, replace
// Needs about 2 GiB in the working directory at scale 1.
#include "benchsupport.h"
#include "img/archiveeditor.h"
#include "img/staticheader.h"

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QVector>
#include <QtEndian>

#include <cstdio>
#include <cstring>
#include <random>
#include <sys/resource.h>

using namespace ImgArchive;
using Bench::Options;

namespace {

double mib(qint64 bytes)
{
    return Bench::mib(double(bytes));
}

void report(const char *what, qint64 bytes, qint64 count, qint64 nanoseconds)
{
    const double seconds = double(nanoseconds) / 1e9;
    std::printf("  %-36s %9.1f MiB %8lld items %8.3f s %9.1f MiB/s %10.0f items/s\n", what,
        mib(bytes), static_cast<long long>(count), seconds, mib(bytes) / seconds,
        double(count) / seconds);
}

long peakResidentKiB()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

QByteArray filler(int size, std::mt19937 &random)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i + 4 <= size; i += 4)
        qToLittleEndian<quint32>(random(), bytes.data() + i);
    return bytes;
}

// A standard version-2 archive of the given element sizes (in sectors), written directly.
qint64 writeStandardArchive(const QString &path, const QVector<int> &sectors, std::mt19937 &random)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return -1;
    const int count = sectors.size();
    quint32 next = quint32((8 + 32 * count + 2047) / 2048);
    QByteArray directory(8 + 32 * count, '\0');
    std::memcpy(directory.data(), "VER2", 4);
    qToLittleEndian<qint32>(count, directory.data() + 4);
    for (int i = 0; i < count; ++i) {
        char *record = directory.data() + 8 + 32 * i;
        qToLittleEndian<quint32>(next, record);
        qToLittleEndian<quint16>(quint16(sectors[i]), record + 4);
        const QByteArray name = QByteArray("element") + QByteArray::number(i) + ".dff";
        std::memcpy(record + 8, name.constData(), size_t(name.size()));
        next += quint32(sectors[i]);
    }
    file.write(directory);
    file.seek(qint64((8 + 32 * count + 2047) / 2048) * 2048);
    const QByteArray block = filler(64 * 2048, random);
    for (int i = 0; i < count; ++i) {
        for (qint64 left = qint64(sectors[i]) * 2048; left > 0;) {
            const qint64 now = qMin<qint64>(left, block.size());
            if (file.write(block.constData(), now) != now)
                return -1;
            left -= now;
        }
    }
    file.close();
    return QFileInfo(path).size();
}

} // namespace

namespace {

// A fresh standard archive for each conversion, then the conversion, then cp of the same
// archive; both read it from the page cache and write as many bytes. The conversion also
// replaces the archive, which cp onto a new name does not: moving a fresh file over a cached one
// makes ext4 start the new file's writeback (its guard for replace-by-rename) and drop the old
// file's pages. So mv of cp's copy over the converted archive is timed as well: cp + mv is the
// same work as a conversion.
void conversion(const QString &dir, const Options &options)
{
    std::printf("\nconversion: static-header rebuild of a standard archive\n");
    std::mt19937 random(4242);
    const int count = options.scaled(16000);
    QVector<int> sectors;
    qint64 total = 0;
    while (sectors.size() < count) {
        sectors.append(int(1 + random() % 31));
        total += sectors.last();
    }
    // Element sizes scaled so that the data is 512 MiB in all.
    const qint64 wanted = qint64(options.scaled(512)) * 1024 * 1024 / 2048;
    qint64 scaled = 0;
    for (int &s : sectors) {
        s = int(qMax<qint64>(1, s * wanted / total));
        scaled += s;
    }
    // What the rounding lost, a sector each to the first elements.
    for (int i = 0; scaled < wanted; i = (i + 1) % count, ++scaled)
        ++sectors[i];
    const QString source = dir + "/source.img";
    const QString archive = dir + "/gta3.img";
    const QString copy = dir + "/copy.img";
    const qint64 archiveSize = writeStandardArchive(source, sectors, random);
    QVector<double> convertTimes, copyTimes, copyMoveTimes;
    bool allConverted = true;
    QElapsedTimer timer;
    for (int i = 0; i < options.runs; ++i) {
        Bench::runTool({ "cp", source, archive });
        Bench::settle();
        timer.start();
        const bool converted = convertToStaticHeader(archive);
        convertTimes.append(double(timer.nsecsElapsed()) / 1e9);
        allConverted = converted && isStaticHeaderArchive(archive) && allConverted;
        Bench::settle();
        copyTimes.append(Bench::runTool({ "cp", source, copy }).seconds);
        copyMoveTimes.append(copyTimes.last() + Bench::runTool({ "mv", copy, archive }).seconds);
        std::printf("  run %d: convertToStaticHeader %.3f s, cp %.3f s, cp + mv %.3f s\n", i + 1,
            convertTimes.last(), copyTimes.last(), copyMoveTimes.last());
    }
    if (!allConverted)
        std::printf("  !! the conversion failed\n");
    std::printf("  peak RSS %ld KiB\n", peakResidentKiB());
    QFile::remove(archive);
    QFile::remove(source);
    const double launcher = Bench::median(convertTimes);
    const double cp = Bench::median(copyTimes);
    const double copyMove = Bench::median(copyMoveTimes);
    const double ratio = cp / launcher;
    Bench::row(QString("static-header conversion, %1 MiB archive of %2 elements")
                   .arg(mib(archiveSize), 0, 'f', 0)
                   .arg(Bench::thousands(count)),
        Bench::seconds(launcher),
        "`cp` " + Bench::seconds(cp) + "; `cp` + `mv` over the archive " + Bench::seconds(copyMove),
        QString("%1 of cp's speed; %2 of cp + mv's")
            .arg(ratio, 0, 'f', 2)
            .arg(copyMove / launcher, 0, 'f', 2),
        "≥ 0.8: " + Bench::verdict(ratio >= 0.8));
}

void editor(const QString &dir, const Options &options)
{
    std::printf("\neditor: throughput of the IMG editor\n");
    std::mt19937 random(4243);
    QElapsedTimer timer;
    const int count = options.scaled(12000);
    const int replacements = count / 3;
    const QString edited = dir + "/edited.img";
    createEmptyArchive(edited);
    QVector<QByteArray> elements;
    qint64 appendedBytes = 0;
    for (int i = 0; i < count; ++i) {
        elements.append(filler(int(2 + random() % 31) * 2048 - int(random() % 2048), random));
        appendedBytes += elements.last().size();
    }
    {
        ArchiveEditor editor(edited);
        editor.open();
        timer.start();
        for (int i = 0; i < elements.size(); ++i)
            editor.appendEntry(QString("model%1.dff").arg(i), elements[i]);
        editor.close();
        report("appendEntry + close", appendedBytes, elements.size(), timer.nsecsElapsed());
    }
    {
        ArchiveEditor editor(edited);
        timer.start();
        editor.open();
        qint64 bytes = 0;
        for (int i = 0; i < editor.entries().size(); ++i)
            bytes += editor.readEntry(i).size();
        report("open + readEntry of every element", bytes, editor.entries().size(),
            timer.nsecsElapsed());

        timer.start();
        int found = 0;
        for (int i = 0; i < count; ++i)
            found += editor.findEntry(QString("MODEL%1.DFF").arg(i)) >= 0;
        report("findEntry (upper case)", 0, found, timer.nsecsElapsed());

        timer.start();
        qint64 replaced = 0;
        for (int i = 0; i < replacements; ++i) {
            // Every other one grows by a sector and moves behind the data.
            const int index = editor.findEntry(QString("model%1.dff").arg(i * 3));
            const int size = int(editor.entrySectors(index) * 2048) + (i % 2 ? 2048 : -100);
            editor.replaceEntry(
                index, elements[i].left(qMin(size, elements[i].size())).leftJustified(size, 'r'));
            replaced += size;
        }
        editor.close();
        report("replaceEntry + close", replaced, replacements, timer.nsecsElapsed());
    }
    std::printf("  edited archive: %.1f MiB\n", mib(QFileInfo(edited).size()));
    QFile::remove(edited);
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!Bench::parseCommandLine(argc, argv, "bench_img", "conversion, editor", &options))
        return 2;
    if (!options.wants("conversion") && !options.wants("editor"))
        return 0;
    QTemporaryDir dir(options.dir + "/bench_img-XXXXXX");
    if (!dir.isValid()) {
        std::fprintf(stderr, "no temporary directory\n");
        return 1;
    }
    std::printf("bench_img, scale %.3g, %d runs, in %s\n", options.scale, options.runs,
        qPrintable(dir.path()));
    if (options.wants("conversion"))
        conversion(dir.path(), options);
    if (options.wants("editor"))
        editor(dir.path(), options);
    return 0;
}
