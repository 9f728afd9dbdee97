// The sealed list container of FileSystem: magic, then the payload's ciphertext.
#include "files/filesystem.h"
#include "service/storecipher.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include "files/ownfile.h"

#include <QSaveFile>

namespace {

const QByteArray sealMagic = QByteArrayLiteral("KORVINABNRYLST01");
// Far above any state or server list; a larger file is not ours and is not read into memory.
constexpr qint64 maxSealedFileSize = StoreCipher::defaultPlainSizeLimit;

} // namespace

QByteArray FileSystem::sealPayload(const QByteArray &payload)
{
    const QByteArray cipherText = StoreCipher::forStore().encrypt(payload);
    if (cipherText.isEmpty())
        return QByteArray();
    return sealMagic + cipherText;
}

QByteArray FileSystem::unsealPayload(const QByteArray &fileBytes)
{
    if (!fileBytes.startsWith(sealMagic))
        return QByteArray();
    return StoreCipher::forStore().decrypt(fileBytes.mid(sealMagic.size()));
}

QByteArray FileSystem::readSealedFile(const QString &name)
{
    return readSealedFile(name, QCoreApplication::applicationDirPath());
}

QByteArray FileSystem::readSealedFile(const QString &name, const QString &launcherDir)
{
    QFile file(launcherDir + name);
    // A pipe or device in place of the file has no size to check and might never end; a pipe
    // is not even opened, since opening one waits for a writer that never comes.
    if (!QFileInfo(file).isFile() || !file.open(QIODevice::ReadOnly) || file.isSequential()
        || file.size() > maxSealedFileSize)
        return QByteArray();
    if (file.read(sealMagic.size()) != sealMagic)
        return QByteArray();
    return StoreCipher::forStore().decrypt(file.readAll());
}

bool FileSystem::writeSealedFile(const QString &name, const QByteArray &bytes)
{
    return writeSealedFile(name, bytes, QCoreApplication::applicationDirPath());
}

bool FileSystem::writeSealedFile(
    const QString &name, const QByteArray &bytes, const QString &launcherDir)
{
    const QByteArray sealed = sealPayload(bytes);
    if (sealed.isEmpty())
        return false;
    if (!OwnFile::clearLink(launcherDir + name))
        return false;
    QSaveFile file(launcherDir + name);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(sealed);
    return file.commit();
}
