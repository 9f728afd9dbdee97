#pragma once

// The symmetric cipher of every local state and cache file: a keyed XOR chain over the data,
// preceded by a random byte and an integrity value, with optional zlib compression.

#include <QByteArray>

#include <array>

class StoreCipher
{
public:
    enum CompressionMode : qint32 {
        CompressWhenShorter = 0,
        AlwaysCompress = 1,
        NeverCompress = 2
    };
    enum ProtectionMode : qint32 { NoProtection = 0, Checksum = 1, Sha1Hash = 2 };
    enum ErrorState : qint32 { NoError = 0, UnsupportedVersion = 2, IntegrityFailed = 3 };

    static constexpr char formatVersion = 0x1C;
    enum Flag : quint8 { Compressed = 0x01, HasChecksum = 0x02, HasSha1 = 0x04 };
    // Nothing the launcher stores comes near this; a hostile file cannot make decrypt go beyond.
    static constexpr qint64 defaultPlainSizeLimit = qint64(256) * 1024 * 1024;

    explicit StoreCipher(quint64 key);

    // The settings every file of the launcher uses: the build's store key, always compressed,
    // protected by SHA-1.
    static StoreCipher forStore();

    quint64 key() const { return storeKeyValue; }
    const std::array<quint8, 8> &keyParts() const { return parts; }

    // 0: compress when it makes the data shorter, 1: always, any other value: never.
    qint32 compressionMode() const { return compression; }
    void setCompressionMode(qint32 mode) { compression = mode; }
    // 0: no integrity value, 1: CRC-16 (ISO 3309), 2: SHA-1.
    qint32 protectionMode() const { return protection; }
    void setProtectionMode(qint32 mode) { protection = mode; }
    // Result of the last operation, one of ErrorState.
    qint32 errorState() const { return error; }

    // Upper bound of the plaintext that decrypt unpacks from compressed data.
    qint64 plainSizeLimit() const { return plainLimit; }
    void setPlainSizeLimit(qint64 limit) { plainLimit = limit; }

    QByteArray encrypt(const QByteArray &plain);
    // Empty on failure, errorState() telling which.
    QByteArray decrypt(const QByteArray &cipher);

private:
    quint64 storeKeyValue;
    std::array<quint8, 8> parts;
    qint32 compression = CompressWhenShorter;
    qint32 protection = Checksum;
    qint32 error = NoError;
    qint64 plainLimit = defaultPlainSizeLimit;
};
