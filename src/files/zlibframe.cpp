#include "files/zlibframe.h"

#include <QtEndian>

#include <algorithm>
#include <thread>
#include <vector>
#include <zlib.h>

namespace ZlibFrame {

namespace {

// A QByteArray cannot hold more; larger claims are refused before anything is allocated.
constexpr qint64 maxByteArraySize = 0x7fffffff - 64;
// The first buffer is sized by the input, not by the claim; it doubles while data keeps coming.
constexpr qint64 minFirstBuffer = 4096;
// deflate's window: what a piece may refer back to in the one before it.
constexpr int windowSize = 32768;
// Below this a second core saves little; such data keeps exactly the bytes qCompress gives.
constexpr int parallelThreshold = 1 << 20;
constexpr int minPieceSize = 256 * 1024;
constexpr unsigned maxPieces = 8;
// The state of a large game is sealed again after every few completed files: at level 9 that
// alone took a third of an update of 2,000 files in a 100,000-entry tree, at level 1 under a
// tenth, for a file a sixth larger. Readers take any zlib stream in this framing.
constexpr int level = 1;
// The zlib header compress2 writes at that level (deflate, 32 KiB window, fastest).
constexpr unsigned char zlibHeader[2] = { 0x78, 0x01 };

// One slice of the input deflated on its own: raw deflate, primed with the window before it and
// ended on a byte boundary (sync flush) unless it is the last, so that the slices joined in order
// form one deflate stream.
struct Piece
{
    const unsigned char *begin = nullptr;
    qint64 size = 0;
    qint64 dictionarySize = 0; // bytes just before begin
    bool last = false;
    std::vector<unsigned char> packed;
    uLong adler = 0;
    bool ok = false;
};

void deflatePiece(Piece *piece)
{
    piece->adler = adler32_z(adler32_z(0, nullptr, 0), piece->begin, size_t(piece->size));
    z_stream stream {};
    if (deflateInit2(&stream, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return;
    if (piece->dictionarySize > 0
        && deflateSetDictionary(
               &stream, piece->begin - piece->dictionarySize, uInt(piece->dictionarySize))
            != Z_OK) {
        deflateEnd(&stream);
        return;
    }
    // The bound covers the data; a sync flush adds at most an empty stored block.
    piece->packed.resize(deflateBound(&stream, uLong(piece->size)) + 16);
    stream.next_in = const_cast<Bytef *>(piece->begin);
    stream.avail_in = uInt(piece->size);
    const int flush = piece->last ? Z_FINISH : Z_SYNC_FLUSH;
    size_t produced = 0;
    for (;;) {
        if (produced == piece->packed.size())
            piece->packed.resize(piece->packed.size() * 2);
        stream.next_out = piece->packed.data() + produced;
        stream.avail_out = uInt(piece->packed.size() - produced);
        const int result = deflate(&stream, flush);
        produced = piece->packed.size() - stream.avail_out;
        if (result != Z_OK && result != Z_BUF_ERROR && result != Z_STREAM_END)
            break;
        // A flush is complete once deflate leaves room unused.
        if (result == Z_STREAM_END
            || (!piece->last && stream.avail_in == 0 && stream.avail_out > 0)) {
            piece->ok = true;
            break;
        }
        if (stream.avail_out > 0)
            break; // room left and yet not done: nothing more will come
    }
    deflateEnd(&stream);
    piece->packed.resize(produced);
}

// Large data on every core: the pieces are deflated side by side and joined under one zlib
// header and one Adler-32, which gives a stream any inflater (qUncompress included) reads.
QByteArray compressInPieces(const QByteArray &data)
{
    const qint64 size = data.size();
    const unsigned cores = std::max(2u, std::min(maxPieces, std::thread::hardware_concurrency()));
    const qint64 count = std::max<qint64>(1, std::min<qint64>(cores, size / minPieceSize));
    const auto *bytes = reinterpret_cast<const unsigned char *>(data.constData());
    std::vector<Piece> pieces(static_cast<size_t>(count));
    for (qint64 i = 0; i < count; ++i) {
        Piece &piece = pieces[size_t(i)];
        const qint64 start = size * i / count;
        piece.begin = bytes + start;
        piece.size = size * (i + 1) / count - start;
        piece.dictionarySize = std::min<qint64>(start, windowSize);
        piece.last = i == count - 1;
    }
    std::vector<std::thread> helpers;
    for (size_t i = 1; i < pieces.size(); ++i)
        helpers.emplace_back(deflatePiece, &pieces[i]);
    deflatePiece(&pieces[0]);
    for (std::thread &helper : helpers)
        helper.join();

    qint64 total = 4 + sizeof zlibHeader + 4;
    for (const Piece &piece : pieces) {
        if (!piece.ok)
            return QByteArray(); // as qCompress when zlib fails
        total += qint64(piece.packed.size());
    }
    if (total > maxByteArraySize)
        return QByteArray();
    QByteArray framed(int(total), Qt::Uninitialized);
    char *out = framed.data();
    qToBigEndian<quint32>(quint32(size), out);
    out += 4;
    std::copy(std::begin(zlibHeader), std::end(zlibHeader), out);
    out += sizeof zlibHeader;
    uLong adler = adler32_z(0, nullptr, 0);
    for (const Piece &piece : pieces) {
        out = std::copy(piece.packed.begin(), piece.packed.end(), out);
        adler = adler32_combine(adler, piece.adler, z_off_t(piece.size));
    }
    qToBigEndian<quint32>(quint32(adler), out);
    return framed;
}

} // namespace

QByteArray compress(const QByteArray &data)
{
    if (data.size() < parallelThreshold)
        return qCompress(data, level);
    return compressInPieces(data);
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
