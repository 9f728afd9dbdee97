#include "releasesigner.h"

#include "service/releasesignature.h"

#include <QFile>
#include <QSaveFile>

#include <memory>
#include <openssl/evp.h>
#include <openssl/pem.h>

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;

Key rawPrivateKey(const QByteArray &seed)
{
    return Key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr,
                   reinterpret_cast<const unsigned char *>(seed.constData()), size_t(seed.size())),
        &EVP_PKEY_free);
}

QByteArray rawKey(EVP_PKEY *key, bool isPrivate)
{
    QByteArray raw(ReleaseSignature::publicKeyBytes, '\0');
    size_t size = size_t(raw.size());
    auto *bytes = reinterpret_cast<unsigned char *>(raw.data());
    const int done = isPrivate ? EVP_PKEY_get_raw_private_key(key, bytes, &size)
                               : EVP_PKEY_get_raw_public_key(key, bytes, &size);
    return done == 1 && size == size_t(raw.size()) ? raw : QByteArray();
}

} // namespace

bool ReleaseSigner::generateKey(const QString &keyPath, QByteArray *publicHex, QString *error)
{
    const std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
        EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr), &EVP_PKEY_CTX_free);
    EVP_PKEY *made = nullptr;
    if (!context || EVP_PKEY_keygen_init(context.get()) != 1
        || EVP_PKEY_keygen(context.get(), &made) != 1) {
        *error = QStringLiteral("cannot make an Ed25519 key");
        return false;
    }
    const Key key(made, &EVP_PKEY_free);
    const Bio memory(BIO_new(BIO_s_mem()), &BIO_free);
    char *pem = nullptr;
    long pemSize = 0;
    if (!memory
        || PEM_write_bio_PrivateKey(memory.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr)
            != 1
        || (pemSize = BIO_get_mem_data(memory.get(), &pem)) <= 0) {
        *error = QStringLiteral("cannot write the key");
        return false;
    }
    QFile file(keyPath);
    if (file.exists()) {
        *error = keyPath + QStringLiteral(": exists; a key is never replaced");
        return false;
    }
    // The private key is the one thing that lets anybody feed every player's launcher.
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)
        || !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner)
        || file.write(pem, pemSize) != pemSize || !file.flush()) {
        *error = QStringLiteral("cannot write ") + keyPath;
        if (file.isOpen())
            file.remove();
        return false;
    }
    *publicHex = rawKey(key.get(), false).toHex();
    return true;
}

bool ReleaseSigner::load(const QString &keyPath, QString *error)
{
    privateKey.clear();
    QFile file(keyPath);
    // A key file is a few hundred bytes; anything much larger is not one.
    if (!file.open(QIODevice::ReadOnly) || file.size() > 64 * 1024) {
        *error = QStringLiteral("cannot read the signing key ") + keyPath;
        return false;
    }
    const QByteArray pem = file.readAll();
    const Bio memory(BIO_new_mem_buf(pem.constData(), pem.size()), &BIO_free);
    const Key key(
        memory ? PEM_read_bio_PrivateKey(memory.get(), nullptr, nullptr, nullptr) : nullptr,
        &EVP_PKEY_free);
    if (!key || EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519) {
        *error = QStringLiteral("not an Ed25519 private key: ") + keyPath;
        return false;
    }
    privateKey = rawKey(key.get(), true);
    if (privateKey.isEmpty()) {
        *error = QStringLiteral("not an Ed25519 private key: ") + keyPath;
        return false;
    }
    return true;
}

QByteArray ReleaseSigner::publicHex() const
{
    const Key key = rawPrivateKey(privateKey);
    return key ? rawKey(key.get(), false).toHex() : QByteArray();
}

QByteArray ReleaseSigner::sign(const QByteArray &message) const
{
    const Key key = rawPrivateKey(privateKey);
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(
        EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    QByteArray signature(ReleaseSignature::signatureBytes, '\0');
    size_t size = size_t(signature.size());
    if (!key || !context
        || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1
        || EVP_DigestSign(context.get(), reinterpret_cast<unsigned char *>(signature.data()), &size,
               reinterpret_cast<const unsigned char *>(message.constData()), size_t(message.size()))
            != 1
        || size != size_t(signature.size()))
        return QByteArray();
    return signature;
}

bool ReleaseSigner::writeSignature(const QByteArray &message, const QString &signaturePath) const
{
    const QByteArray signature = sign(message);
    QSaveFile out(signaturePath);
    return !signature.isEmpty() && out.open(QIODevice::WriteOnly)
        && out.write(signature) == signature.size() && out.commit();
}
