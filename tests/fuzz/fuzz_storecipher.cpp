// Ciphertexts and zlib frames from anywhere: decrypt must fail cleanly or give back what
// encrypt turns into the same plaintext again, with memory bounded by the limits.
#include "buildconfig.h"
#include "files/zlibframe.h"
#include "fuzzcheck.h"
#include "service/storecipher.h"

#include <QByteArray>
#include <QtGlobal>

#include <cstdint>

namespace {

void discardMessages(QtMsgType, const QMessageLogContext &, const QString &) { }

constexpr qint64 fuzzPlainLimit = 16 * 1024 * 1024;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = (qInstallMessageHandler(discardMessages), true);
    Q_UNUSED(quiet);
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));

    // As a stored file.
    StoreCipher cipher = StoreCipher::forStore();
    cipher.setPlainSizeLimit(fuzzPlainLimit);
    const QByteArray plain = cipher.decrypt(input);
    check(plain.size() <= fuzzPlainLimit);
    if (cipher.errorState() == StoreCipher::NoError && size >= 3) {
        StoreCipher again = StoreCipher::forStore();
        check(again.decrypt(again.encrypt(plain)) == plain);
    } else {
        check(plain.isEmpty());
    }

    // As the data field behind a valid header and hash, which is where a forger who knows the
    // key would put a hostile zlib frame.
    StoreCipher forger(BuildConfig::storeKey);
    forger.setCompressionMode(StoreCipher::NeverCompress);
    forger.setProtectionMode(size % 2 ? StoreCipher::Sha1Hash : StoreCipher::Checksum);
    QByteArray forged = forger.encrypt(input);
    forged[1] = char(forged[1] | StoreCipher::Compressed);
    const QByteArray unpacked = cipher.decrypt(forged);
    check(unpacked.size() <= fuzzPlainLimit);

    // As a bare frame, against qUncompress where that is safe to call (a small claim).
    QByteArray out;
    if (ZlibFrame::uncompress(input, fuzzPlainLimit, &out)) {
        check(out == unpacked);
        const quint32 claimed = size >= 4
            ? quint32(data[0]) << 24 | quint32(data[1]) << 16 | quint32(data[2]) << 8 | data[3]
            : 0;
        check(out.size() <= qint64(claimed));
        if (claimed <= (1u << 20))
            check(qUncompress(input) == out);
    }
    return 0;
}
