#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <memory>

class DigestPipe;
class QCryptographicHash;
class QIODevice;

// The file host's compressed form: the 4-byte big-endian uncompressed length followed by a
// zlib stream (what qCompress writes). Unpacking is bounded by the length the caller expects,
// so a small hostile file cannot make the launcher allocate or write more than that, and it is
// streamed, so a large file never has to fit in memory.
namespace PackedStream {

// Unpacks a packed body as its bytes arrive, writing the unpacked bytes to out and feeding
// hash, so that nothing packed is kept and nothing is read back. The length prefix must lie
// within [minSize, maxSize]; more output than it claims is bad content at once.
class Inflater
{
public:
    Inflater(quint32 minSize, quint32 maxSize, QIODevice *out, QCryptographicHash *hash);
    Inflater(quint32 minSize, quint32 maxSize, QIODevice *out, DigestPipe *digest = nullptr);
    ~Inflater();
    Inflater(const Inflater &) = delete;
    Inflater &operator=(const Inflater &) = delete;

    // False when the bytes are not (or no longer) a packed body, or out refused a write
    // (writeFailed()); nothing more should be fed then.
    bool feed(const char *data, qint64 size);
    // True when the stream ended cleanly with exactly the length of the prefix.
    bool finished() const;
    bool writeFailed() const { return outputFailed; }
    quint32 length() const { return expected; }
    // Packed bytes taken so far.
    qint64 consumed() const { return taken; }

private:
    bool fail();

    struct Stream;
    std::unique_ptr<Stream> stream;
    quint32 minSize;
    quint32 maxSize;
    QIODevice *out;
    QCryptographicHash *hash = nullptr;
    DigestPipe *digest = nullptr;
    unsigned char prefix[4] = {};
    int prefixBytes = 0;
    quint32 expected = 0;
    quint64 produced = 0;
    qint64 taken = 0;
    bool started = false;
    bool ended = false;
    bool broken = false;
    bool outputFailed = false;
};

// Inflates the packed data read from in into out. True only when the length prefix equals
// expectedSize, the stream ends cleanly and yields exactly expectedSize bytes. hash, when
// given, is fed with the unpacked bytes. writeFailed, when given, tells a failure of out (a
// full disk writes short) from bad content.
bool unpack(QIODevice &in, QIODevice &out, quint32 expectedSize, QCryptographicHash *hash,
    bool *writeFailed = nullptr);

// The same for a length the caller knows only a range of: the prefix must lie within
// [minSize, maxSize]. unpackedSize receives the length.
bool unpackRange(QIODevice &in, QIODevice &out, quint32 minSize, quint32 maxSize,
    QCryptographicHash *hash, quint32 *unpackedSize = nullptr, bool *writeFailed = nullptr);

// Whether in holds packed data whose length lies within [minSize, maxSize] and which unpacks
// cleanly to exactly that length; nothing is kept but what hash, when given, is fed.
bool isIntact(QIODevice &in, quint32 minSize, quint32 maxSize, QCryptographicHash *hash = nullptr);

// The same for data held in memory; an empty result and ok false on any mismatch.
QByteArray unpack(const QByteArray &packed, quint32 expectedSize, bool *ok);

// Packs size bytes read from in (at zlib level 9) into out in the form above. False on a read
// or write error or when size does not fit the 32-bit prefix.
bool pack(QIODevice &in, qint64 size, QIODevice &out);

// The most a packed form of size bytes can take (zlib's own bound, with room to spare), so
// that a host sending endless data is cut off instead of filling memory or the disk.
inline quint64 bound(quint64 size)
{
    return size + (size >> 8) + 1024;
}

QByteArray pack(const QByteArray &data);

} // namespace PackedStream
