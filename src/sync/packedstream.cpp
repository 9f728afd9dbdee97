#include "sync/packedstream.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QIODevice>

#include <memory>
#include <zlib.h>

namespace PackedStream {

namespace {

constexpr qint64 chunkBytes = 1 << 20;

bool readPrefix(QIODevice &in, quint32 *length)
{
    unsigned char prefix[4];
    if (in.read(reinterpret_cast<char *>(prefix), 4) != 4)
        return false;
    *length = (quint32(prefix[0]) << 24) | (quint32(prefix[1]) << 16) | (quint32(prefix[2]) << 8)
        | quint32(prefix[3]);
    return true;
}

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

bool unpackRange(QIODevice &in, QIODevice &out, quint32 minSize, quint32 maxSize,
    QCryptographicHash *hash, quint32 *unpackedSize, bool *writeFailed)
{
    if (writeFailed)
        *writeFailed = false;
    quint32 expectedSize = 0;
    if (!readPrefix(in, &expectedSize) || expectedSize < minSize || expectedSize > maxSize)
        return false;
    if (unpackedSize)
        *unpackedSize = expectedSize;

    // qCompress writes an empty input as the bare prefix, without a zlib stream.
    if (expectedSize == 0 && in.atEnd())
        return true;

    z_stream stream {};
    if (inflateInit(&stream) != Z_OK)
        return false;
    // Sized to the job and left uninitialised: most files are small, and two fresh, zeroed
    // 1 MiB buffers per file cost more than fetching it.
    const qint64 inputBytes
        = in.isSequential() ? chunkBytes : qBound<qint64>(1, in.size() - in.pos(), chunkBytes);
    const qint64 outputBytes = qBound<qint64>(1, qint64(expectedSize), chunkBytes);
    const std::unique_ptr<char[]> input(new char[size_t(inputBytes)]);
    const std::unique_ptr<char[]> output(new char[size_t(outputBytes)]);
    quint64 produced = 0;
    bool ended = false;
    bool failed = false;
    while (!ended && !failed) {
        const qint64 got = in.read(input.get(), inputBytes);
        if (got <= 0) {
            failed = true; // cut short, or unreadable
            break;
        }
        stream.next_in = reinterpret_cast<Bytef *>(input.get());
        stream.avail_in = uInt(got);
        do {
            stream.next_out = reinterpret_cast<Bytef *>(output.get());
            stream.avail_out = uInt(outputBytes);
            const int result = inflate(&stream, Z_NO_FLUSH);
            if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) {
                failed = true;
                break;
            }
            const qint64 have = outputBytes - qint64(stream.avail_out);
            produced += quint64(have);
            if (produced > expectedSize) {
                failed = true;
                break;
            }
            if (have > 0) {
                if (out.write(output.get(), have) != have) {
                    failed = true;
                    if (writeFailed)
                        *writeFailed = true;
                    break;
                }
                if (hash)
                    hash->addData(output.get(), int(have));
            }
            if (result == Z_STREAM_END) {
                ended = true;
                break;
            }
        } while (stream.avail_out == 0);
    }
    inflateEnd(&stream);
    return ended && !failed && produced == expectedSize;
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
