#include "service/storecipher.h"

#include "buildconfig.h"
#include "files/zlibframe.h"

#include <QRandomGenerator>
#include <QtDebug>
#include <QtEndian>

#include <openssl/sha.h>

namespace {

constexpr int checksumSize = 2;
constexpr int sha1Size = 20;

// OpenSSL's SHA-1 runs about twice as fast as Qt's over the megabytes of a large state.
QByteArray sha1(const char *data, int size)
{
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char *>(data), size_t(size), digest);
    return QByteArray(reinterpret_cast<const char *>(digest), SHA_DIGEST_LENGTH);
}

// The chain, eight bytes at a time: the eight key parts line up with a little-endian word, and
// the running XOR across a word's bytes takes three shifts, so only the carry of the last byte
// waits for the word before.
void encipherChain(uchar *body, qint64 size, const std::array<quint8, 8> &parts)
{
    const quint64 key = qFromLittleEndian<quint64>(parts.data());
    quint64 last = 0;
    qint64 i = 0;
    for (; i + 8 <= size; i += 8) {
        quint64 word = qFromLittleEndian<quint64>(body + i) ^ key;
        word ^= word << 8;
        word ^= word << 16;
        word ^= word << 32;
        word ^= last * 0x0101010101010101ULL;
        qToLittleEndian<quint64>(word, body + i);
        last = word >> 56;
    }
    for (; i < size; ++i) {
        body[i] ^= parts[i & 7] ^ quint8(last);
        last = body[i];
    }
}

void decipherChain(uchar *body, qint64 size, const std::array<quint8, 8> &parts)
{
    const quint64 key = qFromLittleEndian<quint64>(parts.data());
    quint64 last = 0;
    qint64 i = 0;
    for (; i + 8 <= size; i += 8) {
        const quint64 enciphered = qFromLittleEndian<quint64>(body + i);
        qToLittleEndian<quint64>(enciphered ^ (enciphered << 8 | last) ^ key, body + i);
        last = enciphered >> 56;
    }
    for (; i < size; ++i) {
        const quint8 enciphered = body[i];
        body[i] = enciphered ^ quint8(last) ^ parts[i & 7];
        last = enciphered;
    }
}

} // namespace

StoreCipher::StoreCipher(quint64 key)
    : storeKeyValue(key)
{
    for (int i = 0; i < 8; ++i)
        parts[i] = quint8(key >> (8 * i));
}

StoreCipher StoreCipher::forStore()
{
    StoreCipher cipher(BuildConfig::storeKey);
    cipher.setCompressionMode(AlwaysCompress);
    cipher.setProtectionMode(Sha1Hash);
    return cipher;
}

QByteArray StoreCipher::encrypt(const QByteArray &plain)
{
    QByteArray data = plain;
    quint8 flags = 0;
    if (compression == AlwaysCompress || compression == CompressWhenShorter) {
        QByteArray packed = ZlibFrame::compress(plain);
        // qCompress gives nothing only when zlib ran out of memory; storing the plain data
        // under the compressed flag would make the file unreadable.
        if (packed.isEmpty())
            return QByteArray();
        if (compression == AlwaysCompress || packed.size() < plain.size()) {
            data = std::move(packed);
            flags |= Compressed;
        }
    }

    QByteArray integrity;
    if (protection == Checksum) {
        flags |= HasChecksum;
        integrity.resize(checksumSize);
        qToBigEndian<quint16>(qChecksum(data.constData(), uint(data.size())), integrity.data());
    } else if (protection == Sha1Hash) {
        flags |= HasSha1;
        integrity = sha1(data.constData(), data.size());
    }

    QByteArray result;
    result.reserve(3 + integrity.size() + data.size());
    result.append(formatVersion);
    result.append(char(flags));
    result.append(char(QRandomGenerator::global()->generate() & 0xFF));
    result.append(integrity);
    result.append(data);

    encipherChain(reinterpret_cast<uchar *>(result.data()) + 2, result.size() - 2, parts);
    error = NoError;
    return result;
}

QByteArray StoreCipher::decrypt(const QByteArray &cipher)
{
    if (cipher.size() < 3)
        return QByteArray();
    if (cipher.at(0) != formatVersion) {
        error = UnsupportedVersion;
        qWarning("Invalid version or not a cyphertext.");
        return QByteArray();
    }
    const quint8 flags = quint8(cipher.at(1));

    QByteArray body = cipher.mid(2);
    decipherChain(reinterpret_cast<uchar *>(body.data()), body.size(), parts);

    int dataStart = 1; // after the random byte
    bool intact = true;
    if (flags & HasChecksum) {
        if (body.size() - dataStart < checksumSize) {
            error = IntegrityFailed;
            return QByteArray();
        }
        const quint16 stored = qFromBigEndian<quint16>(body.constData() + dataStart);
        dataStart += checksumSize;
        intact = qChecksum(body.constData() + dataStart, uint(body.size() - dataStart)) == stored;
    } else if (flags & HasSha1) {
        if (body.size() - dataStart < sha1Size) {
            error = IntegrityFailed;
            return QByteArray();
        }
        const QByteArray stored = body.mid(dataStart, sha1Size);
        dataStart += sha1Size;
        intact = sha1(body.constData() + dataStart, body.size() - dataStart) == stored;
    }
    if (!intact) {
        error = IntegrityFailed;
        return QByteArray();
    }

    QByteArray data = body.mid(dataStart);
    if (flags & Compressed) {
        QByteArray plain;
        // A stream that does not unpack is as unusable as one that fails the check; reporting
        // success with an empty result would hide the damage from the caller.
        if (!ZlibFrame::uncompress(data, plainLimit, &plain)) {
            error = IntegrityFailed;
            return QByteArray();
        }
        data = std::move(plain);
    }
    error = NoError;
    return data;
}
