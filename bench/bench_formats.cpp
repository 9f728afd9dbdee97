// Throughput of the local formats: the store cipher on 64 MiB, and the text list, normalisation
// and fingerprints of a list of 100,000 entries holding 50,000 IMG elements.
#include "files/filesystem.h"
#include "service/storecipher.h"

#include <QCryptographicHash>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <random>

namespace {

constexpr int cipherBytes = 64 * 1024 * 1024;
constexpr int entryCount = 100000;
constexpr int archiveCount = 10;
constexpr int elementsPerArchive = 5000;

// Half of it repetitive like game text and model data, half noise like packed textures.
QByteArray gameLikeData(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    std::mt19937 random(1);
    for (int i = 0; i < size; ++i)
        bytes[i] = (i / 65536) % 2 ? char(random()) : char("korvina data "[i % 13]);
    return bytes;
}

QString digestOf(int i)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(QByteArray::number(i), QCryptographicHash::Md5).toHex());
}

void fillList(FileSystem &list)
{
    std::mt19937 random(2);
    for (int d = 0; d < 500; ++d)
        list.directories.append(QStringLiteral("data/dir%1").arg(d));
    for (int i = 0; i < entryCount - archiveCount; ++i) {
        FileEntry entry;
        entry.name = QStringLiteral("file%1.dat").arg(i);
        entry.path = QStringLiteral("data/dir%1/").arg(i % 500) + entry.name;
        entry.size = random() % 10000000;
        entry.md5 = digestOf(i);
        entry.mtime = 1700000000 + i;
        list.entries.append(entry);
    }
    for (int a = 0; a < archiveCount; ++a) {
        FileEntry archive;
        archive.kind = FileEntry::img_archive;
        archive.name = QStringLiteral("archive%1.img").arg(a);
        archive.path = QStringLiteral("models/") + archive.name;
        archive.imgKey = a;
        archive.partCount = 8;
        archive.packedSize = 90000000;
        list.entries.append(archive);
        QVector<FileEntry> &elements = list.imgContents[a];
        for (int e = 0; e < elementsPerArchive; ++e) {
            FileEntry element;
            element.name = QStringLiteral("element%1.dff").arg(e);
            element.size = 2048 * (1 + random() % 64);
            element.md5 = digestOf(a * elementsPerArchive + e);
            elements.append(element);
        }
    }
    std::shuffle(list.entries.begin(), list.entries.end(), random);
    for (QVector<FileEntry> &elements : list.imgContents)
        std::shuffle(elements.begin(), elements.end(), random);
}

double mibPerSecond(qint64 bytes, qint64 nanoseconds)
{
    return (double(bytes) / (1024.0 * 1024.0)) / (double(nanoseconds) / 1e9);
}

double milliseconds(qint64 nanoseconds)
{
    return double(nanoseconds) / 1e6;
}

} // namespace

int main()
{
    QElapsedTimer timer;

    const QByteArray plain = gameLikeData(cipherBytes);
    StoreCipher cipher = StoreCipher::forStore();
    timer.start();
    const QByteArray encrypted = cipher.encrypt(plain);
    const qint64 encryptTime = timer.nsecsElapsed();
    timer.restart();
    const QByteArray decrypted = cipher.decrypt(encrypted);
    const qint64 decryptTime = timer.nsecsElapsed();
    std::printf("store cipher, 64 MiB (half repetitive, half noise), compress + SHA-1:\n");
    std::printf("  encrypt  %8.1f MiB/s  (%.0f ms, ciphertext %d bytes)\n",
        mibPerSecond(cipherBytes, encryptTime), milliseconds(encryptTime), encrypted.size());
    std::printf("  decrypt  %8.1f MiB/s  (%.0f ms)%s\n", mibPerSecond(cipherBytes, decryptTime),
        milliseconds(decryptTime), decrypted == plain ? "" : "  MISMATCH");

    StoreCipher plainCipher(1);
    plainCipher.setCompressionMode(StoreCipher::NeverCompress);
    plainCipher.setProtectionMode(StoreCipher::NoProtection);
    timer.restart();
    const QByteArray chained = plainCipher.encrypt(plain);
    const qint64 chainTime = timer.nsecsElapsed();
    std::printf("  XOR chain alone %8.1f MiB/s\n", mibPerSecond(cipherBytes, chainTime));

    FileSystem list;
    fillList(list);
    std::printf("file list, %d entries (%d archives) with %d IMG elements:\n", entryCount,
        archiveCount, archiveCount * elementsPerArchive);

    timer.restart();
    list.normalize();
    std::printf("  normalize            %8.1f ms\n", milliseconds(timer.nsecsElapsed()));

    QByteArray text;
    timer.restart();
    list.writeText(text, true);
    const qint64 writeTime = timer.nsecsElapsed();
    std::printf("  writeText (times)    %8.1f ms  (%d bytes, %.1f MiB/s)\n",
        milliseconds(writeTime), text.size(), mibPerSecond(text.size(), writeTime));

    FileSystem reread;
    timer.restart();
    reread.readText(text, true);
    const qint64 readTime = timer.nsecsElapsed();
    std::printf("  readText (times)     %8.1f ms  (%.1f MiB/s)\n", milliseconds(readTime),
        mibPerSecond(text.size(), readTime));

    timer.restart();
    const QString timed = reread.fingerprint(true);
    std::printf("  fingerprint(true)    %8.1f ms\n", milliseconds(timer.nsecsElapsed()));
    timer.restart();
    const QString digested = reread.fingerprint(false);
    std::printf("  fingerprint(false)   %8.1f ms\n", milliseconds(timer.nsecsElapsed()));

    timer.restart();
    const QByteArray sealed = FileSystem::sealPayload(text);
    const qint64 sealTime = timer.nsecsElapsed();
    timer.restart();
    const QByteArray unsealed = FileSystem::unsealPayload(sealed);
    const qint64 unsealTime = timer.nsecsElapsed();
    std::printf("  seal state           %8.1f ms  (%d bytes sealed)\n", milliseconds(sealTime),
        sealed.size());
    std::printf("  unseal state         %8.1f ms%s\n", milliseconds(unsealTime),
        unsealed == text ? "" : "  MISMATCH");
    if (timed != list.fingerprint(true) || digested != list.fingerprint(false))
        std::printf("  FINGERPRINT MISMATCH after the round trip\n");
    return 0;
}
