// Whether another inflate would pay: zlib (what the launcher uses) next to the Debian-packaged
// libraries that read the same zlib streams, Intel ISA-L (libisal) and libdeflate where they were
// found at build time, on bodies packed the way the publisher packs them (PackedStream::pack:
// a 4-byte length, then zlib at level 9). Single process, unpacked MiB/s, medians of alternated
// runs; MD5 throughput next to it, since a download also hashes every byte. Also asks apt-cache
// whether Debian builds each library for mingw-w64, which the Windows launcher would need.
// Measurement only: nothing of the launcher depends on these libraries.
//   sections: inflate
#include "benchsupport.h"
#include "sync/packedstream.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <cstdio>
#include <functional>
#include <memory>
#include <openssl/evp.h>
#include <zlib.h>
#ifdef KORVINA_BENCH_ISAL
#include <isa-l/igzip_lib.h>
#endif
#ifdef KORVINA_BENCH_LIBDEFLATE
#include <libdeflate.h>
#endif

using namespace Bench;

namespace {

constexpr int outputChunk = 1 << 20;
constexpr int inputChunk = 256 * 1024;

struct Body
{
    QString name;
    QByteArray plain;
    QByteArray packed;
};

// The zlib stream of a packed body, without its length prefix.
const unsigned char *streamOf(const Body &body)
{
    return reinterpret_cast<const unsigned char *>(body.packed.constData()) + 4;
}
size_t streamSize(const Body &body)
{
    return size_t(body.packed.size() - 4);
}

// Each inflater unpacks the whole body; sink sees every unpacked chunk (nothing in timed runs,
// a digest in the check). Returns the unpacked size, -1 on a failure.
using Sink = std::function<void(const unsigned char *, size_t)>;

qint64 inflateZlib(const Body &body, unsigned char *output, const Sink &sink)
{
    // Streamed in the launcher's way: input as it would arrive, output in 1 MiB chunks.
    z_stream stream {};
    if (inflateInit(&stream) != Z_OK)
        return -1;
    const unsigned char *in = streamOf(body);
    size_t left = streamSize(body);
    qint64 produced = 0;
    int result = Z_OK;
    while (result == Z_OK && left > 0) {
        const size_t now = qMin<size_t>(left, inputChunk);
        stream.next_in = const_cast<unsigned char *>(in);
        stream.avail_in = uInt(now);
        in += now;
        left -= now;
        do {
            stream.next_out = output;
            stream.avail_out = outputChunk;
            result = inflate(&stream, Z_NO_FLUSH);
            if (result == Z_BUF_ERROR)
                result = Z_OK;
            const size_t have = outputChunk - stream.avail_out;
            produced += qint64(have);
            if (sink)
                sink(output, have);
        } while (result == Z_OK && stream.avail_out == 0);
    }
    inflateEnd(&stream);
    return result == Z_STREAM_END ? produced : -1;
}

#ifdef KORVINA_BENCH_ISAL
qint64 inflateIsal(const Body &body, unsigned char *output, const Sink &sink)
{
    // Streamed the same way; crc_flag makes it read the zlib header and check the Adler-32.
    inflate_state state;
    isal_inflate_init(&state);
    state.crc_flag = ISAL_ZLIB;
    const unsigned char *in = streamOf(body);
    size_t left = streamSize(body);
    qint64 produced = 0;
    bool full = false; // the last call filled the output: it may hold more without new input
    while (state.block_state != ISAL_BLOCK_FINISH) {
        if (state.avail_in == 0 && left == 0 && !full)
            return -1; // cut short
        if (state.avail_in == 0 && left > 0) {
            const size_t now = qMin<size_t>(left, inputChunk);
            state.next_in = const_cast<unsigned char *>(in);
            state.avail_in = uint32_t(now);
            in += now;
            left -= now;
        }
        state.next_out = output;
        state.avail_out = outputChunk;
        if (isal_inflate(&state) != ISAL_DECOMP_OK)
            return -1;
        const size_t have = outputChunk - state.avail_out;
        full = state.avail_out == 0;
        produced += qint64(have);
        if (sink)
            sink(output, have);
    }
    return produced;
}
#endif

#ifdef KORVINA_BENCH_LIBDEFLATE
// Whole-buffer only: the output must hold the whole body, which a download of a large file
// could not afford; measured all the same, as the upper bound of what a rewrite could gain.
qint64 inflateLibdeflate(const Body &body, unsigned char *whole, const Sink &sink)
{
    libdeflate_decompressor *decompressor = libdeflate_alloc_decompressor();
    size_t produced = 0;
    const libdeflate_result result = libdeflate_zlib_decompress(decompressor, streamOf(body),
        streamSize(body), whole, size_t(body.plain.size()), &produced);
    libdeflate_free_decompressor(decompressor);
    if (result != LIBDEFLATE_SUCCESS)
        return -1;
    if (sink)
        sink(whole, produced);
    return qint64(produced);
}
#endif

struct Inflater
{
    QString name;
    std::function<qint64(const Body &, unsigned char *, const Sink &)> run;
    bool wholeBuffer = false;
};

QByteArray readFiles(const QStringList &files, qint64 limit)
{
    QByteArray bytes;
    for (const QString &path : files) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            bytes += file.read(limit - bytes.size());
        if (bytes.size() >= limit)
            break;
    }
    return bytes;
}

QVector<Body> makeBodies(const Options &options)
{
    const qint64 size = qint64(options.scaled(64)) << 20;
    QVector<Body> bodies;
    Body noise;
    noise.name = QStringLiteral("6-bit noise, as the sync bench's files");
    noise.plain.resize(int(size));
    quint64 state = 0x9e3779b97f4a7c15ull;
    fill(noise.plain.data(), size, state);
    bodies.append(noise);

    // Real bytes of the two kinds a game holds besides noise-like textures and sounds: machine
    // code (the game's programs and libraries) and text (its data files).
    const QDir libraries(QStringLiteral("/usr/lib/x86_64-linux-gnu"));
    QStringList code;
    for (const QString &name : libraries.entryList(
             { "libQt5*.so.5.*.*", "libcrypto.so.*" }, QDir::Files, QDir::Name | QDir::Reversed))
        code.append(libraries.filePath(name));
    Body machineCode;
    machineCode.name = QStringLiteral("machine code (this system's Qt and OpenSSL libraries)");
    machineCode.plain = readFiles(code, size);
    bodies.append(machineCode);

    QStringList texts;
    for (const char *root : { "/usr/share/common-licenses", "/usr/include" }) {
        QDirIterator it(QLatin1String(root), QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext())
            texts.append(it.next());
    }
    texts.sort();
    Body text;
    text.name = QStringLiteral("text (licences and C/C++ headers of this system)");
    text.plain = readFiles(texts, size);
    bodies.append(text);

    QVector<Body> packed;
    for (Body &body : bodies) {
        if (body.plain.size() < (1 << 20))
            continue; // that kind of file is not on this system
        QElapsedTimer timer;
        timer.start();
        body.packed = PackedStream::pack(body.plain);
        std::printf("  %-56s %7.1f MiB, packed to %5.1f%% in %.1f s\n", qPrintable(body.name),
            mib(body.plain.size()), 100.0 * body.packed.size() / body.plain.size(),
            double(timer.nsecsElapsed()) / 1e9);
        packed.append(body);
    }
    return packed;
}

// Lines of "apt-cache search mingw" that name the library, or a word why it cannot tell.
QString mingwPackages(const QStringList &names, bool *found, bool *known)
{
    QProcess search;
    search.start(QStringLiteral("apt-cache"), { "search", "--names-only", "mingw" });
    *known = search.waitForFinished(60000) && search.exitCode() == 0;
    *found = false;
    if (!*known)
        return QStringLiteral("apt-cache not available");
    const QString output = QString::fromUtf8(search.readAllStandardOutput());
    // Without package lists apt-cache finds nothing at all, not even the compiler.
    if (!output.contains(QLatin1String("mingw-w64"))) {
        *known = false;
        return QStringLiteral("apt-cache has no package lists (apt-get update)");
    }
    QStringList hits;
    for (const QString &line : output.split(QLatin1Char('\n'))) {
        const QString package = line.section(QLatin1Char(' '), 0, 0);
        for (const QString &name : names) {
            if (package.contains(name))
                hits.append(package);
        }
    }
    *found = !hits.isEmpty();
    return hits.isEmpty() ? QStringLiteral("none") : hits.join(QStringLiteral(", "));
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!parseCommandLine(argc, argv, "bench_inflate", "inflate", &options))
        return 2;
    if (!options.wants("inflate"))
        return 0;
    std::printf("bench_inflate, scale %.3g, %d runs\n", options.scale, options.runs);

    QVector<Inflater> inflaters;
    inflaters.append({ QStringLiteral("zlib ") + QLatin1String(zlibVersion()), inflateZlib });
#ifdef KORVINA_BENCH_ISAL
    inflaters.append({ QStringLiteral("ISA-L"), inflateIsal });
#endif
#ifdef KORVINA_BENCH_LIBDEFLATE
    inflaters.append({ QStringLiteral("libdeflate ") + QLatin1String(LIBDEFLATE_VERSION_STRING),
        inflateLibdeflate, true });
#endif
    const QVector<Body> bodies = makeBodies(options);
    if (bodies.isEmpty())
        return 1;
    int largest = 0;
    for (const Body &body : bodies)
        largest = qMax(largest, body.plain.size());
    const std::unique_ptr<unsigned char[]> chunk(new unsigned char[outputChunk]);
    const std::unique_ptr<unsigned char[]> whole(new unsigned char[size_t(largest)]);

    // Every inflater must give back the very bytes before it is timed.
    QVector<bool> correct(inflaters.size(), true);
    for (int k = 0; k < inflaters.size(); ++k) {
        for (const Body &body : bodies) {
            QCryptographicHash digest(QCryptographicHash::Md5);
            const qint64 produced
                = inflaters[k].run(body, inflaters[k].wholeBuffer ? whole.get() : chunk.get(),
                    [&digest](const unsigned char *data, size_t size) {
                        digest.addData(reinterpret_cast<const char *>(data), int(size));
                    });
            if (produced != body.plain.size()
                || digest.result() != QCryptographicHash::hash(body.plain, QCryptographicHash::Md5))
                correct[k] = false;
        }
        if (!correct[k])
            std::printf(
                "  !! %s does not give back the packed bytes\n", qPrintable(inflaters[k].name));
    }

    // rates[body][inflater], unpacked MiB/s; the inflaters alternate within every run.
    QVector<QVector<QVector<double>>> rates(
        bodies.size(), QVector<QVector<double>>(inflaters.size()));
    QVector<QVector<double>> md5Rates(2);
    for (int run = 0; run < options.runs; ++run) {
        for (int b = 0; b < bodies.size(); ++b) {
            for (int k = 0; k < inflaters.size(); ++k) {
                QElapsedTimer timer;
                timer.start();
                const qint64 produced = inflaters[k].run(
                    bodies[b], inflaters[k].wholeBuffer ? whole.get() : chunk.get(), Sink());
                const double seconds = double(timer.nsecsElapsed()) / 1e9;
                rates[b][k].append(produced > 0 ? mib(double(produced)) / seconds : 0);
            }
        }
        // MD5 of the noise body: Qt's (QCryptographicHash) and OpenSSL's.
        const QByteArray &plain = bodies.first().plain;
        QElapsedTimer timer;
        timer.start();
        QCryptographicHash::hash(plain, QCryptographicHash::Md5);
        md5Rates[0].append(mib(plain.size()) / (double(timer.nsecsElapsed()) / 1e9));
        timer.start();
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_Digest(plain.constData(), size_t(plain.size()), digest, &length, EVP_md5(), nullptr);
        md5Rates[1].append(mib(plain.size()) / (double(timer.nsecsElapsed()) / 1e9));
    }

    // gains[inflater]: the smallest speed-up over zlib on any body.
    QVector<double> gains(inflaters.size(), 1e9);
    for (int b = 0; b < bodies.size(); ++b) {
        const double zlibRate = median(rates[b][0]);
        QStringList others;
        QStringList ratios;
        for (int k = 1; k < inflaters.size(); ++k) {
            const double rate = median(rates[b][k]);
            gains[k] = qMin(gains[k], rate / zlibRate);
            others.append(QString("%1 %2 MiB/s").arg(inflaters[k].name).arg(rate, 0, 'f', 0));
            ratios.append(QString("%1 %2×")
                              .arg(inflaters[k].name.section(' ', 0, 0))
                              .arg(rate / zlibRate, 0, 'f', 2));
        }
        row(QString("inflate, %1 (%2 MiB, packed to %3%)")
                .arg(bodies[b].name)
                .arg(mib(bodies[b].plain.size()), 0, 'f', 0)
                .arg(100.0 * bodies[b].packed.size() / bodies[b].plain.size(), 0, 'f', 0),
            QString("%1 %2 MiB/s").arg(inflaters[0].name).arg(zlibRate, 0, 'f', 0),
            others.isEmpty() ? QStringLiteral("no alternative found at build time")
                             : others.join("; "),
            ratios.isEmpty() ? QStringLiteral("—") : ratios.join("; ") + " zlib's speed",
            "adopt only if clearly faster and built for mingw");
    }
    row("MD5 of the 6-bit noise body (every downloaded byte is hashed too)",
        QString("QCryptographicHash %1 MiB/s").arg(median(md5Rates[0]), 0, 'f', 0),
        QString("OpenSSL %1 MiB/s").arg(median(md5Rates[1]), 0, 'f', 0), "—", "—");

    struct Candidate
    {
        const char *label;
        QStringList packageNames;
        int inflater;
    };
    QVector<Candidate> candidates = { { "zlib", { "libz-mingw", "zlib" }, 0 } };
#ifdef KORVINA_BENCH_ISAL
    candidates.append({ "ISA-L", { "isal", "isa-l" }, 1 });
#else
    candidates.append({ "ISA-L", { "isal", "isa-l" }, -1 });
#endif
#ifdef KORVINA_BENCH_LIBDEFLATE
    candidates.append({ "libdeflate", { "deflate" }, inflaters.size() - 1 });
#else
    candidates.append({ "libdeflate", { "deflate" }, -1 });
#endif
    QStringList availability;
    QStringList adopt;
    bool listsKnown = true;
    for (const Candidate &candidate : candidates) {
        bool found = false, known = false;
        const QString packages = mingwPackages(candidate.packageNames, &found, &known);
        listsKnown = listsKnown && known;
        availability.append(QString("%1: %2").arg(candidate.label, packages));
        if (candidate.inflater > 0 && found && correct[candidate.inflater]
            && gains[candidate.inflater] >= 1.3)
            adopt.append(candidate.label);
    }
    QStringList gainText;
    for (int k = 1; k < inflaters.size(); ++k)
        gainText.append(QString("%1 at least %2× zlib's speed")
                            .arg(inflaters[k].name.section(' ', 0, 0))
                            .arg(gains[k], 0, 'f', 2));
    const QString conclusion = !listsKnown ? QStringLiteral("cannot tell without apt's lists")
        : adopt.isEmpty() ? QStringLiteral("keep zlib: no alternative is both clearly faster "
                                           "(1.3× on every body) and packaged for mingw-w64")
                          : QStringLiteral("worth adopting: ") + adopt.join(QStringLiteral(", "));
    row("inflate alternatives for the Windows build (Debian mingw-w64 packages)",
        gainText.isEmpty() ? QStringLiteral("—") : gainText.join("; "), availability.join("; "),
        "—", conclusion);
    std::printf("verdict: %s\n", qPrintable(conclusion));
    return 0;
}
