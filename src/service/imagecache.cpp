#include "service/imagecache.h"

#include "service/storecipher.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include "files/ownfile.h"

#include <QSaveFile>

namespace {

// A cache file is the ciphertext of one picture; anything far larger is not one of ours.
constexpr qint64 maxCacheFileSize = qint64(64) * 1024 * 1024;

} // namespace

ImageCache::ImageCache(const QString &baseDir)
    : base(baseDir)
{
}

ImageCache::ImageCache()
    : ImageCache(QCoreApplication::applicationDirPath())
{
}

QString ImageCache::cacheDir() const
{
    return base + QStringLiteral("/cache");
}

QString ImageCache::cachePath(const QString &address) const
{
    const QByteArray digest
        = QCryptographicHash::hash(address.toUtf8(), QCryptographicHash::Md5).toHex();
    return cacheDir() + QLatin1Char('/') + QString::fromLatin1(digest);
}

bool ImageCache::ensureCacheDir() const
{
    return OwnFile::clearLink(cacheDir()) && QDir().mkpath(cacheDir());
}

bool ImageCache::readCache(const QString &address, QByteArray &data) const
{
    if (!ensureCacheDir())
        return false;
    QFile file(cachePath(address));
    // A pipe or device in place of the file has no size to check and might never end; a pipe
    // is not even opened, since opening one waits for a writer that never comes.
    if (!QFileInfo(file).isFile() || !file.open(QIODevice::ReadOnly) || file.isSequential()
        || file.size() > maxCacheFileSize)
        return false;
    const QByteArray cipherText = file.readAll();
    file.close();
    StoreCipher cipher = StoreCipher::forStore();
    cipher.setPlainSizeLimit(maxCacheFileSize);
    QByteArray plain = cipher.decrypt(cipherText);
    if (plain.isEmpty())
        return false;
    data = std::move(plain);
    return true;
}

bool ImageCache::writeCache(const QString &address, const QByteArray &data) const
{
    if (!ensureCacheDir())
        return false;
    const QByteArray cipherText = StoreCipher::forStore().encrypt(data);
    if (cipherText.isEmpty())
        return false;
    // Written aside and renamed, so that a crash never leaves a torn file that shadows the
    // picture until it is fetched again.
    QSaveFile file(cachePath(address));
    if (!OwnFile::clearLink(cachePath(address)) || !file.open(QIODevice::WriteOnly))
        return false;
    file.write(cipherText);
    return file.commit();
}
