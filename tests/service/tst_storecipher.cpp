#include "buildconfig.h"
#include "service/imagecache.h"
#include "service/storecipher.h"
#include "testfiles.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

// Undoes the XOR chain independently of the code under test, to look at the body's layout.
QByteArray decipherBody(const QByteArray &cipher, quint64 key)
{
    QByteArray body = cipher.mid(2);
    quint8 last = 0;
    for (int i = 0; i < body.size(); ++i) {
        const quint8 enciphered = quint8(body[i]);
        body[i] = char(enciphered ^ last ^ quint8(key >> (8 * (i % 8))));
        last = enciphered;
    }
    return body;
}

} // namespace

class TestStoreCipher : public QObject
{
    Q_OBJECT

private slots:
    void storeFormat_data()
    {
        QTest::addColumn<QByteArray>("plain");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("one byte") << QByteArray(1, 'x');
        QTest::newRow("10000 bytes") << TestFiles::bytes(10000, 1);
    }

    void storeFormat()
    {
        QFETCH(QByteArray, plain);
        StoreCipher cipher = StoreCipher::forStore();
        const QByteArray encrypted = cipher.encrypt(plain);
        const QByteArray compressed = qCompress(plain, 1);
        QCOMPARE(encrypted.left(2), QByteArray("\x1c\x05"));
        QCOMPARE(encrypted.size(), compressed.size() + 23);
        // Body: random byte, SHA-1 of the data field, then qCompress framing (level 1).
        const QByteArray body = decipherBody(encrypted, BuildConfig::storeKey);
        QCOMPARE(body.mid(1, 20), QCryptographicHash::hash(compressed, QCryptographicHash::Sha1));
        QCOMPARE(body.mid(21), compressed);
        QCOMPARE(cipher.decrypt(encrypted), plain);
        QCOMPARE(cipher.errorState(), qint32(StoreCipher::NoError));

        // The random byte takes 256 values; a few tries rule out a chance collision.
        QByteArray again = cipher.encrypt(plain);
        for (int i = 0; i < 8 && again == encrypted; ++i)
            again = cipher.encrypt(plain);
        // The chain carries the random byte forward: the bodies differ beyond their first byte.
        QVERIFY(again.mid(3) != encrypted.mid(3));
    }

    void alteredOrTruncatedIsRefused()
    {
        StoreCipher cipher = StoreCipher::forStore();
        const QByteArray encrypted = cipher.encrypt("korvina state");
        for (int i = 2; i < encrypted.size(); ++i) {
            for (const quint8 mask : { 0x01, 0x80, 0xff }) {
                QByteArray altered = encrypted;
                altered[i] = char(altered[i] ^ mask);
                QVERIFY2(cipher.decrypt(altered).isEmpty(), qPrintable(QString::number(i)));
                QCOMPARE(cipher.errorState(), qint32(StoreCipher::IntegrityFailed));
            }
        }
        for (int size = 3; size < encrypted.size(); ++size) {
            QVERIFY(cipher.decrypt(encrypted.left(size)).isEmpty());
            QCOMPARE(cipher.errorState(), qint32(StoreCipher::IntegrityFailed));
        }
        // Files of the other modes are read too, though the launcher writes none: here a
        // CRC-16 over uncompressed data.
        StoreCipher checksummed(1);
        QCOMPARE(checksummed.decrypt(checksummed.encrypt("ab")), QByteArray("ab"));
        QVERIFY(checksummed.decrypt(checksummed.encrypt(QByteArray()).left(4)).isEmpty());
        QCOMPARE(checksummed.errorState(), qint32(StoreCipher::IntegrityFailed));
    }

    void refused_data()
    {
        QTest::addColumn<QByteArray>("cipher");
        QTest::addColumn<qint32>("errorState");
        StoreCipher otherKey(BuildConfig::storeKey ^ 0x0100);
        otherKey.setProtectionMode(StoreCipher::Sha1Hash);
        QTest::newRow("other key")
            << otherKey.encrypt("written by another build") << qint32(StoreCipher::IntegrityFailed);
        QByteArray otherVersion = StoreCipher::forStore().encrypt("x");
        otherVersion[0] = char(0x1D);
        QTest::newRow("other version") << otherVersion << qint32(StoreCipher::UnsupportedVersion);
        QTest::newRow("three bytes of text")
            << QByteArray("abc") << qint32(StoreCipher::UnsupportedVersion);
        // Hostile data behind a valid hash, as a forger who knows the key can make it; how every
        // kind of bad frame fails is the frame's tests'.
        StoreCipher forger(BuildConfig::storeKey);
        forger.setCompressionMode(StoreCipher::NeverCompress);
        forger.setProtectionMode(StoreCipher::Sha1Hash);
        QByteArray forged = forger.encrypt(QByteArray(4, '\xff') + qCompress("x").mid(4));
        forged[1] = char(forged[1] | StoreCipher::Compressed);
        QTest::newRow("prefix claims 4 GiB") << forged << qint32(StoreCipher::IntegrityFailed);
    }

    void refused()
    {
        QFETCH(QByteArray, cipher);
        QFETCH(qint32, errorState);
        StoreCipher reader = StoreCipher::forStore();
        if (errorState == StoreCipher::UnsupportedVersion)
            QTest::ignoreMessage(QtWarningMsg, "Invalid version or not a cyphertext.");
        QVERIFY(reader.decrypt(cipher).isEmpty());
        QCOMPARE(reader.errorState(), errorState);
    }

    void imageCache()
    {
        QTemporaryDir dir;
        const ImageCache cache(dir.path() + "/nested/launcher");
        const QString address = QStringLiteral("https://korvina.example/новости/1.png");
        QCOMPARE(cache.cachePath(address),
            dir.path() + "/nested/launcher/cache/"
                + QCryptographicHash::hash(address.toUtf8(), QCryptographicHash::Md5).toHex());
        const QByteArray picture = TestFiles::bytes(70000, 2);
        QVERIFY(cache.writeCache(address, picture));
        QByteArray read;
        QVERIFY(cache.readCache(address, read));
        QCOMPARE(read, picture);
        // The file holds the bare ciphertext and nothing else.
        QByteArray bytes = TestFiles::readFile(cache.cachePath(address));
        QCOMPARE(StoreCipher::forStore().decrypt(bytes), picture);

        // A damaged file reads as not cached; a later write replaces it.
        bytes[100] = char(bytes[100] ^ 1);
        QVERIFY(TestFiles::writeFile(cache.cachePath(address), bytes));
        QVERIFY(!cache.readCache(address, read));
        QVERIFY(cache.writeCache(address, "second"));
        QVERIFY(cache.readCache(address, read));
        QCOMPARE(read, QByteArray("second"));
        // A pipe in place of a picture is not opened: that would wait for a writer forever.
        const QString piped = cache.cachePath("http://a/piped.png");
        QCOMPARE(::mkfifo(QFile::encodeName(piped).constData(), 0600), 0);
        QVERIFY(!cache.readCache("http://a/piped.png", read));
        QVERIFY(QFile::remove(piped));

        // A file where the cache directory should be: nothing can be cached, nothing breaks.
        QVERIFY(TestFiles::writeFile(dir.path() + "/cache", QByteArray()));
        QVERIFY(!ImageCache(dir.path()).writeCache(address, "picture"));
        QVERIFY(!ImageCache(dir.path()).readCache(address, read));
    }
};

QTEST_GUILESS_MAIN(TestStoreCipher)
#include "tst_storecipher.moc"
