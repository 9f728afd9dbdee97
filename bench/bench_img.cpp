// Throughput of the IMG editor (append, read, lookup, replace) and of the static-header rebuild
// of a game-sized archive (512 MiB, about 16,000 elements) next to a plain cp of the same file.
//   bench_img [directory]   (default: the system's temporary directory; needs about 2 GiB)
#include "img/archiveeditor.h"
#include "img/staticheader.h"

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QVector>
#include <QtEndian>

#include <cstdio>
#include <cstring>
#include <random>
#include <sys/resource.h>

using namespace ImgArchive;

namespace {

double mib(qint64 bytes)
{
    return double(bytes) / (1024.0 * 1024.0);
}

void report(const char *what, qint64 bytes, qint64 count, qint64 nanoseconds)
{
    const double seconds = double(nanoseconds) / 1e9;
    std::printf("%-44s %9.1f MiB %8lld items %8.3f s %9.1f MiB/s %10.0f items/s\n", what,
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
    for (int i = 0; i < count; ++i)
        file.write(block.constData(), qint64(sectors[i]) * 2048);
    file.close();
    return QFileInfo(path).size();
}

} // namespace

int main(int argc, char **argv)
{
    const QString base = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::tempPath();
    QTemporaryDir dir(base + "/bench_img-XXXXXX");
    if (!dir.isValid()) {
        std::fprintf(stderr, "no temporary directory\n");
        return 1;
    }
    std::mt19937 random(4242);
    QElapsedTimer timer;

    // Rebuild of a game-sized archive: 16,000 elements, 512 MiB.
    QVector<int> sectors;
    qint64 total = 0;
    while (sectors.size() < 16000) {
        sectors.append(int(1 + random() % 31));
        total += sectors.last();
    }
    // Scale the sizes so that the data is 512 MiB in all.
    const qint64 wanted = 512LL * 1024 * 1024 / 2048;
    qint64 scaled = 0;
    for (int &s : sectors) {
        s = int(qMax<qint64>(1, s * wanted / total));
        scaled += s;
    }
    sectors.last() += int(wanted - scaled);
    const QString archive = dir.filePath("gta3.img");
    timer.start();
    const qint64 archiveSize = writeStandardArchive(archive, sectors, random);
    report("write standard archive (QFile)", archiveSize, sectors.size(), timer.nsecsElapsed());

    timer.start();
    QProcess::execute("cp", { archive, dir.filePath("copy.img") });
    report("cp of the same file", archiveSize, 1, timer.nsecsElapsed());
    QFile::remove(dir.filePath("copy.img"));

    const long before = peakResidentKiB();
    timer.start();
    const bool converted = convertToStaticHeader(archive);
    report("convertToStaticHeader, standard archive", archiveSize, sectors.size(),
        timer.nsecsElapsed());

    timer.start();
    const bool again = convertToStaticHeader(archive);
    report("convertToStaticHeader, already converted", QFileInfo(archive).size(), sectors.size(),
        timer.nsecsElapsed());
    std::printf("converted: %s/%s, static header: %s, result %.1f MiB, peak RSS %ld KiB (before "
                "the rebuilds %ld KiB)\n",
        converted ? "yes" : "no", again ? "yes" : "no",
        isStaticHeaderArchive(archive) ? "yes" : "no", mib(QFileInfo(archive).size()),
        peakResidentKiB(), before);
    QFile::remove(archive);
    std::printf("\n");

    // Editor: 12,000 elements of 2 to 32 sectors appended to a new archive.
    const QString edited = dir.filePath("edited.img");
    createEmptyArchive(edited);
    QVector<QByteArray> elements;
    qint64 appendedBytes = 0;
    for (int i = 0; i < 12000; ++i) {
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
        report("appendEntry + close, 12000 elements", appendedBytes, elements.size(),
            timer.nsecsElapsed());
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
        for (int i = 0; i < 12000; ++i)
            found += editor.findEntry(QString("MODEL%1.DFF").arg(i)) >= 0;
        report("findEntry (upper case), 12000 names", 0, found, timer.nsecsElapsed());

        timer.start();
        qint64 replaced = 0;
        for (int i = 0; i < 4000; ++i) {
            // Every other one grows by a sector and moves behind the data.
            const int index = editor.findEntry(QString("model%1.dff").arg(i * 3));
            const int size = int(editor.entrySectors(index) * 2048) + (i % 2 ? 2048 : -100);
            editor.replaceEntry(
                index, elements[i].left(qMin(size, elements[i].size())).leftJustified(size, 'r'));
            replaced += size;
        }
        editor.close();
        report("replaceEntry + close, 4000 elements", replaced, 4000, timer.nsecsElapsed());
    }
    std::printf("edited archive: %.1f MiB\n", mib(QFileInfo(edited).size()));

    return 0;
}
