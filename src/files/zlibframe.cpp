#include "files/zlibframe.h"

#include <QtEndian>

#include <algorithm>
#include <zlib.h>

namespace ZlibFrame {

namespace {

// A QByteArray cannot hold more; larger claims are refused before anything is allocated.
constexpr qint64 maxByteArraySize = 0x7fffffff - 64;
// The first buffer is sized by the input, not by the claim; it doubles while data keeps coming.
constexpr qint64 minFirstBuffer = 4096;

} // namespace

QByteArray compress(const QByteArray &data)
{
    return qCompress(data, 9);
}

bool uncompress(const QByteArray &framed, qint64 limit, QByteArray *out)
{
    out->clear();
    if (framed.size() < 4)
        return false;
    const quint32 claimed = qFromBigEndian<quint32>(framed.constData());
    // qCompress writes a bare zero prefix for empty data.
    if (framed.size() == 4)
        return claimed == 0;
    if (qint64(claimed) > std::min(limit, maxByteArraySize))
        return false;

    z_stream stream {};
    if (inflateInit(&stream) != Z_OK)
        return false;
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(framed.constData() + 4));
    stream.avail_in = uInt(framed.size() - 4);

    // One byte beyond the claim, so that a stream running past its prefix is noticed.
    const qint64 ceiling = qint64(claimed) + 1;
    qint64 capacity = std::min(ceiling, std::max(minFirstBuffer, qint64(framed.size()) * 4));
    QByteArray buffer(int(capacity), Qt::Uninitialized);
    qint64 produced = 0;
    bool ok = false;
    for (;;) {
        if (produced == capacity) {
            if (capacity == ceiling)
                break; // inflates beyond the prefix
            capacity = std::min(ceiling, capacity * 2);
            buffer.resize(int(capacity));
        }
        stream.next_out = reinterpret_cast<Bytef *>(buffer.data() + produced);
        stream.avail_out = uInt(capacity - produced);
        const uInt inBefore = stream.avail_in;
        const uInt outBefore = stream.avail_out;
        const int result = inflate(&stream, Z_NO_FLUSH);
        produced = capacity - stream.avail_out;
        if (result == Z_STREAM_END) {
            ok = produced <= qint64(claimed);
            break;
        }
        if (result != Z_OK && result != Z_BUF_ERROR)
            break; // damaged data, dictionary request, out of memory
        if (stream.avail_in == inBefore && stream.avail_out == outBefore)
            break; // no progress: the stream is truncated
    }
    inflateEnd(&stream);
    if (!ok)
        return false;
    buffer.resize(int(produced));
    *out = std::move(buffer);
    return true;
}

} // namespace ZlibFrame
