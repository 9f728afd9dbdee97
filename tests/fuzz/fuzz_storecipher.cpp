// Ciphertexts and zlib frames from anywhere: decrypt must fail cleanly or give back what
// encrypt turns into the same plaintext again, with memory bounded by the limits.
#include "buildconfig.h"
#include "files/zlibframe.h"
#include "fuzzcheck.h"
#include "service/storecipher.h"

#include <QtEndian>

constexpr qint64 fuzzPlainLimit = 16 * 1024 * 1024;

void fuzz(const QByteArray &input)
{
    discardQtMessages();

    // As a stored file.
    StoreCipher cipher = StoreCipher::forStore();
    cipher.setPlainSizeLimit(fuzzPlainLimit);
    const QByteArray plain = cipher.decrypt(input);
    check(plain.size() <= fuzzPlainLimit);
    if (cipher.errorState() == StoreCipher::NoError && input.size() >= 3) {
        StoreCipher again = StoreCipher::forStore();
        check(again.decrypt(again.encrypt(plain)) == plain);
    } else {
        check(plain.isEmpty());
    }

    // As the data field behind a valid header and hash, which is where a forger who knows the
    // key would put a hostile zlib frame.
    StoreCipher forger(BuildConfig::storeKey);
    forger.setCompressionMode(StoreCipher::NeverCompress);
    forger.setProtectionMode(input.size() % 2 ? StoreCipher::Sha1Hash : StoreCipher::Checksum);
    QByteArray forged = forger.encrypt(input);
    forged[1] = char(forged[1] | StoreCipher::Compressed);
    const QByteArray unpacked = cipher.decrypt(forged);
    check(unpacked.size() <= fuzzPlainLimit);

    // As a bare frame, against qUncompress where that is safe to call (a small claim).
    QByteArray out;
    if (ZlibFrame::uncompress(input, fuzzPlainLimit, &out)) {
        check(out == unpacked);
        const quint32 claimed = input.size() >= 4 ? qFromBigEndian<quint32>(input.constData()) : 0;
        check(out.size() <= qint64(claimed));
        if (claimed <= (1u << 20))
            check(qUncompress(input) == out);
    }
}
