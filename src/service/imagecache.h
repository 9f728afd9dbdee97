#pragma once

// The news picture cache: one enciphered file per picture address below the launcher's
// directory, so that pictures are fetched from the network only once.

#include <QByteArray>
#include <QString>

class ImageCache
{
public:
    // baseDir is the launcher's own directory; the cache lives in its "/cache".
    explicit ImageCache(const QString &baseDir);
    // The cache of the running launcher, below QCoreApplication::applicationDirPath().
    ImageCache();

    QString cacheDir() const;
    // The cache file of an address: the MD5 of its UTF-8 bytes, in lower-case hexadecimal.
    QString cachePath(const QString &address) const;
    // False when nothing usable is cached for the address.
    bool readCache(const QString &address, QByteArray &data) const;
    // False when the picture could not be cached; the caller carries on without it.
    bool writeCache(const QString &address, const QByteArray &data) const;

private:
    bool ensureCacheDir() const;

    QString base;
};
