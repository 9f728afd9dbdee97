#include "sync/packedstream.h"

#include "sync/digestpipe.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QIODevice>

#include <memory>
#include <zlib.h>

namespace PackedStream {

namespace {

constexpr qint64 chunkBytes = 1 << 20;

// Counts what is written and keeps nothing.
class DiscardDevice : public QIODevice
{
protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *, qint64 length) override { return length; }
};

} // namespace

bool isIntact(QIODevice &in, quint32 minSize, quint32 maxSize, QCryptographicHash *hash)
{
    DiscardDevice sink;
    sink.open(QIODevice::WriteOnly);
    return unpackRange(in, sink, minSize, maxSize, hash);
}

bool unpack(QIODevice &in, QIODevice &out, quint32 expectedSize, QCryptographicHash *hash,
    bool *writeFailed)
{
    return unpackRange(in, out, expectedSize, expectedSize, hash, nullptr, writeFailed);
}

struct Inflater::Stream
{
    z_stream zlib {};
    std::unique_ptr<char[]> output;
    qint64 outputBytes = 0;
};

Inflater::Inflater(quint32 minSize, quint32 maxSize, QIODevice *out, QCryptographicHash *hash)
    : minSize(minSize)
    , maxSize(maxSize)
    , out(out)
    , hash(hash)
{
}

Inflater::Inflater(quint32 minSize, quint32 maxSize, QIODevice *out, DigestPipe *digest)
    : minSize(minSize)
    , maxSize(maxSize)
    , out(out)
    , digest(digest)
{
}

Inflater::~Inflater()
{
    if (stream)
        inflateEnd(&stream->zlib);
}

bool Inflater::fail()
{
    broken = true;
    return false;
}

bool Inflater::feed(const char *data, qint64 size)
{
    if (broken)
        return false;
    taken += size;
    while (prefixBytes < 4 && size > 0) {
        prefix[prefixBytes++] = uchar(*data++);
        --size;
        if (prefixBytes == 4) {
            expected = (quint32(prefix[0]) << 24) | (quint32(prefix[1]) << 16)
                | (quint32(prefix[2]) << 8) | quint32(prefix[3]);
            if (expected < minSize || expected > maxSize)
                return fail();
        }
    }
    if (size == 0)
        return true;
    // Anything after the end of the stream is not part of a packed body.
    if (ended)
        return fail();
    if (!started) {
        started = true;
        stream = std::make_unique<Stream>();
        if (inflateInit(&stream->zlib) != Z_OK) {
            stream.reset();
            return fail();
        }
        // Sized to the job and left uninitialised: most files are small, and a fresh, zeroed
        // 1 MiB buffer per file costs more than fetching it.
        stream->outputBytes = qBound<qint64>(1, qint64(expected), chunkBytes);
        stream->output.reset(new char[size_t(stream->outputBytes)]);
    }
    z_stream &zlib = stream->zlib;
    while (size > 0) {
        const uInt now = uInt(qMin<qint64>(size, 1 << 30));
        zlib.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
        zlib.avail_in = now;
        data += now;
        size -= now;
        do {
            zlib.next_out = reinterpret_cast<Bytef *>(stream->output.get());
            zlib.avail_out = uInt(stream->outputBytes);
            const uInt inputBefore = zlib.avail_in;
            const int result = inflate(&zlib, Z_NO_FLUSH);
            if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR)
                return fail();
            const qint64 have = stream->outputBytes - qint64(zlib.avail_out);
            produced += quint64(have);
            if (produced > expected)
                return fail();
            if (have > 0) {
                if (out && out->write(stream->output.get(), have) != have) {
                    outputFailed = true;
                    return fail();
                }
                if (hash)
                    hash->addData(stream->output.get(), int(have));
                else if (digest)
                    digest->addData(stream->output.get(), have);
            }
            if (result == Z_STREAM_END) {
                ended = true;
                if (zlib.avail_in > 0 || size > 0)
                    return fail();
                break;
            }
            // No progress with room on both sides cannot end by itself.
            if (have == 0 && zlib.avail_in == inputBefore) {
                if (zlib.avail_in > 0)
                    return fail();
                break;
            }
        } while (zlib.avail_out == 0 || zlib.avail_in > 0);
    }
    return true;
}

bool Inflater::finished() const
{
    if (broken || prefixBytes < 4)
        return false;
    // qCompress writes an empty input as the bare prefix, without a zlib stream.
    if (!started)
        return expected == 0;
    return ended && produced == expected;
}

bool unpackRange(QIODevice &in, QIODevice &out, quint32 minSize, quint32 maxSize,
    QCryptographicHash *hash, quint32 *unpackedSize, bool *writeFailed)
{
    Inflater inflater(minSize, maxSize, &out, hash);
    const qint64 inputBytes
        = in.isSequential() ? chunkBytes : qBound<qint64>(1, in.size() - in.pos(), chunkBytes);
    const std::unique_ptr<char[]> input(new char[size_t(inputBytes)]);
    bool good = true;
    for (;;) {
        const qint64 got = in.read(input.get(), inputBytes);
        if (got < 0)
            good = false;
        if (got <= 0 || !(good = inflater.feed(input.get(), got)))
            break;
    }
    if (writeFailed)
        *writeFailed = inflater.writeFailed();
    if (unpackedSize)
        *unpackedSize = inflater.length();
    return good && inflater.finished();
}

QByteArray unpack(const QByteArray &packed, quint32 expectedSize, bool *ok)
{
    QByteArray source = packed;
    QBuffer in(&source);
    in.open(QIODevice::ReadOnly);
    QByteArray result;
    QBuffer out(&result);
    out.open(QIODevice::WriteOnly);
    *ok = unpack(in, out, expectedSize, nullptr);
    if (!*ok)
        return QByteArray();
    return result;
}

bool pack(QIODevice &in, qint64 size, QIODevice &out)
{
    if (size < 0 || size > qint64(0xffffffffu))
        return false;
    const quint32 length = quint32(size);
    const unsigned char prefix[4]
        = { uchar(length >> 24), uchar(length >> 16), uchar(length >> 8), uchar(length) };
    if (out.write(reinterpret_cast<const char *>(prefix), 4) != 4)
        return false;
    if (size == 0)
        return true; // as qCompress: the bare prefix

    z_stream stream {};
    if (deflateInit(&stream, 9) != Z_OK)
        return false;
    const qint64 inputBytes = qMin(size, chunkBytes);
    const std::unique_ptr<char[]> input(new char[size_t(inputBytes)]);
    const std::unique_ptr<char[]> output(new char[size_t(chunkBytes)]);
    qint64 left = size;
    bool failed = false;
    for (;;) {
        int flush = Z_NO_FLUSH;
        if (left > 0) {
            const qint64 got = in.read(input.get(), qMin(left, inputBytes));
            if (got <= 0) {
                failed = true;
                break;
            }
            left -= got;
            stream.next_in = reinterpret_cast<Bytef *>(input.get());
            stream.avail_in = uInt(got);
        }
        if (left == 0)
            flush = Z_FINISH;
        int result = Z_OK;
        do {
            stream.next_out = reinterpret_cast<Bytef *>(output.get());
            stream.avail_out = uInt(chunkBytes);
            result = deflate(&stream, flush);
            const qint64 have = chunkBytes - stream.avail_out;
            if (have > 0 && out.write(output.get(), have) != have) {
                failed = true;
                break;
            }
        } while (stream.avail_out == 0);
        if (failed || result == Z_STREAM_END)
            break;
    }
    deflateEnd(&stream);
    return !failed;
}

QByteArray pack(const QByteArray &data)
{
    QByteArray source = data;
    QBuffer in(&source);
    in.open(QIODevice::ReadOnly);
    QByteArray result;
    QBuffer out(&result);
    out.open(QIODevice::WriteOnly);
    if (!pack(in, source.size(), out))
        return QByteArray();
    return result;
}

} // namespace PackedStream
