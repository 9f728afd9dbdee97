#pragma once

#include <QByteArray>
#include <QtGlobal>

class QCryptographicHash;
class QIODevice;

// The file host's compressed form: the 4-byte big-endian uncompressed length followed by a
// zlib stream (what qCompress writes). Unpacking is bounded by the length the caller expects,
// so a small hostile file cannot make the launcher allocate or write more than that, and it is
// streamed, so a large file never has to fit in memory.
namespace PackedStream {

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

QByteArray pack(const QByteArray &data);

} // namespace PackedStream
