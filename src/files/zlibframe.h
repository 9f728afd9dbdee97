#pragma once

// zlib data in Qt's framing (qCompress): a 4-byte big-endian length of the uncompressed data,
// then an RFC 1950 stream. Unpacking is bounded so that a small hostile input cannot make the
// launcher allocate gigabytes, whatever its length prefix claims or its stream inflates to.

#include <QByteArray>

namespace ZlibFrame {

// qCompress at level 1 (fast: a large state is sealed often); an empty input gives four zero
// bytes. From 1 MiB on, the data is deflated in pieces on all cores and joined into one zlib
// stream, still at level 1 and read by any inflater; the bytes then differ from qCompress's, the
// stream's meaning does not.
QByteArray compress(const QByteArray &data);

// Unpacks framed into out. Fails (out empty) on a damaged or truncated stream, when the prefix
// claims more than limit bytes, or when the stream inflates beyond its prefix. Output shorter
// than the prefix is accepted, as qUncompress does. Memory grows with the bytes actually
// produced, never with the claimed size alone.
bool uncompress(const QByteArray &framed, qint64 limit, QByteArray *out);

} // namespace ZlibFrame
