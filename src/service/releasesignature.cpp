#include "service/releasesignature.h"

#include "buildconfig.h"
#include "service/httprequest.h"

#include <QStringList>

#include <cctype>
#include <memory>
#include <openssl/evp.h>

namespace ReleaseSignature {

namespace {

bool verifyOne(
    const char *message, qint64 size, const QByteArray &signature, const QByteArray &publicKey)
{
    if (signature.size() != signatureBytes || publicKey.size() != publicKeyBytes || size < 0)
        return false;
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
            reinterpret_cast<const unsigned char *>(publicKey.constData()), publicKeyBytes),
        &EVP_PKEY_free);
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(
        EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!key || !context
        || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return false;
    // Ed25519 takes the message whole: there is no streaming form of the pure scheme.
    return EVP_DigestVerify(context.get(),
               reinterpret_cast<const unsigned char *>(signature.constData()), signatureBytes,
               reinterpret_cast<const unsigned char *>(message), size_t(size))
        == 1;
}

} // namespace

QByteArray builtInKey()
{
    return keyFromHex(QByteArray(BuildConfig::releasePublicKey));
}

QByteArray keyFromHex(const QByteArray &hex)
{
    QByteArray keys;
    for (const QByteArray &one : hex.split(',')) {
        if (one.size() != 2 * publicKeyBytes)
            return QByteArray();
        for (const char c : one) {
            if (!std::isxdigit(static_cast<unsigned char>(c)))
                return QByteArray();
        }
        keys += QByteArray::fromHex(one);
    }
    return keys;
}

bool verify(const QByteArray &message, const QByteArray &signature, const QByteArray &publicKey)
{
    return verify(message.constData(), message.size(), signature, publicKey);
}

bool verify(
    const char *message, qint64 size, const QByteArray &signature, const QByteArray &publicKeys)
{
    if (publicKeys.isEmpty() || publicKeys.size() % publicKeyBytes != 0)
        return false;
    for (int at = 0; at < publicKeys.size(); at += publicKeyBytes) {
        if (verifyOne(message, size, signature, publicKeys.mid(at, publicKeyBytes)))
            return true;
    }
    return false;
}


QByteArray installerMessage(const QString &version, const QByteArray &sha256)
{
    return QByteArrayLiteral("korvina-installer-v1\n") + version.toUtf8() + '\n' + sha256.toHex()
        + '\n';
}

bool isNewerVersion(const QString &version, const QString &current)
{
    const QStringList next = version.split(QLatin1Char('.'));
    const QStringList now = current.split(QLatin1Char('.'));
    for (int i = 0; i < qMax(next.size(), now.size()); ++i) {
        bool numberA = true, numberB = true;
        const qulonglong a = i < next.size() ? next.at(i).toULongLong(&numberA) : 0;
        const qulonglong b = i < now.size() ? now.at(i).toULongLong(&numberB) : 0;
        if (!numberA || !numberB || (i < next.size() && next.at(i).isEmpty()))
            return false;
        if (a != b)
            return a > b;
    }
    return false;
}

bool fetchAndVerify(const QString &url, const char *message, qint64 size,
    const QByteArray &publicKey, int attempts, int timeoutMs, QNetworkAccessManager *network)
{
    HttpRequest request(url + QLatin1String(suffix));
    request.useNetwork(network);
    // A maintenance page in its place is cut off here, not read.
    request.setBodyLimit(signatureBytes);
    return request.sendGet(attempts, timeoutMs)
        && verify(message, size, request.response(), publicKey);
}

} // namespace ReleaseSignature
