#include "buildconfig.h"
#include "service/imagecache.h"
#include "service/storecipher.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray patterned(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = 12345;
    for (int i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        // Half noise, half runs: compressible, but not trivially.
        bytes[i] = (i / 4096) % 2 ? char(state >> 24) : char(i / 64);
    }
    return bytes;
}

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

// A ciphertext whose data field is dataField, protected by SHA-1, with the compressed flag:
// what a forger who knows the key can produce.
QByteArray forgeCompressed(const QByteArray &dataField)
{
    StoreCipher cipher(BuildConfig::storeKey);
    cipher.setCompressionMode(StoreCipher::NeverCompress);
    cipher.setProtectionMode(StoreCipher::Sha1Hash);
    QByteArray forged = cipher.encrypt(dataField);
    forged[1] = char(forged[1] | StoreCipher::Compressed);
    return forged;
}

QByteArray bigEndian32(quint32 value)
{
    QByteArray bytes(4, Qt::Uninitialized);
    qToBigEndian(value, bytes.data());
    return bytes;
}

} // namespace

class TestStoreCipher : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void storeFormat();
    void checksumFormat();
    void compressionModes();
    void everyAlteredBodyByteIsRefused();
    void truncationsAreRefused();
    void otherKeyIsRefused();
    void otherVersionIsRefused();
    void tooShortLeavesErrorState();
    void twoEncryptionsDiffer();
    void hostileCompressedData_data();
    void hostileCompressedData();

    void cachePathIsDigestOfAddress();
    void cacheRoundTrip();
    void cacheMissesAndDamage();
    void cacheDirectoryThatCannotExist();
};

void TestStoreCipher::roundTrip_data()
{
    QTest::addColumn<QByteArray>("plain");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("one byte") << QByteArray(1, 'x');
    QTest::newRow("text") << QByteArray("[directories]\ndata\n");
    QTest::newRow("several MiB") << patterned(5 * 1024 * 1024 + 7);
}

void TestStoreCipher::roundTrip()
{
    QFETCH(QByteArray, plain);
    StoreCipher cipher = StoreCipher::forStore();
    const QByteArray encrypted = cipher.encrypt(plain);
    QVERIFY(!encrypted.isEmpty());
    QCOMPARE(cipher.decrypt(encrypted), plain);
    QCOMPARE(cipher.errorState(), qint32(StoreCipher::NoError));
}

void TestStoreCipher::storeFormat()
{
    const QByteArray plain = patterned(10000);
    StoreCipher cipher = StoreCipher::forStore();
    QCOMPARE(cipher.key(), BuildConfig::storeKey);
    QCOMPARE(cipher.compressionMode(), 1);
    QCOMPARE(cipher.protectionMode(), 2);
    const QByteArray encrypted = cipher.encrypt(plain);
    const QByteArray compressed = qCompress(plain, 9);

    QCOMPARE(quint8(encrypted[0]), quint8(0x1C));
    QCOMPARE(quint8(encrypted[1]), quint8(0x05));
    QCOMPARE(encrypted.size(), compressed.size() + 23);
    // Body: random byte, SHA-1 of the data field, then qCompress framing at level 9.
    const QByteArray body = decipherBody(encrypted, BuildConfig::storeKey);
    QCOMPARE(body.mid(1, 20), QCryptographicHash::hash(compressed, QCryptographicHash::Sha1));
    QCOMPARE(body.mid(21), compressed);

    // The empty plaintext compresses to four zero bytes.
    const QByteArray empty = decipherBody(cipher.encrypt(QByteArray()), BuildConfig::storeKey);
    QCOMPARE(empty.mid(21), QByteArray(4, '\0'));
}

void TestStoreCipher::checksumFormat()
{
    // The CRC-16 of ISO 3309 (X.25) has the check value 0x906E.
    QCOMPARE(qChecksum("123456789", 9), quint16(0x906E));

    StoreCipher cipher(0x0123456789abcdefULL);
    cipher.setCompressionMode(StoreCipher::NeverCompress);
    const QByteArray encrypted = cipher.encrypt("123456789");
    QCOMPARE(quint8(encrypted[1]), quint8(0x02));
    QCOMPARE(encrypted.size(), 2 + 1 + 2 + 9);
    const QByteArray body = decipherBody(encrypted, 0x0123456789abcdefULL);
    QCOMPARE(body.mid(1),
        QByteArray("\x90\x6e"
                   "123456789"));
    QCOMPARE(cipher.decrypt(encrypted), QByteArray("123456789"));
}

void TestStoreCipher::compressionModes()
{
    StoreCipher cipher(42);
    cipher.setProtectionMode(StoreCipher::NoProtection);
    QCOMPARE(quint8(cipher.encrypt(QByteArray(1000, 'a'))[1]), quint8(0x01));
    // Not shorter when compressed: stored plain.
    QCOMPARE(quint8(cipher.encrypt("ab")[1]), quint8(0x00));
    cipher.setCompressionMode(StoreCipher::NeverCompress);
    QCOMPARE(quint8(cipher.encrypt(QByteArray(1000, 'a'))[1]), quint8(0x00));
    cipher.setCompressionMode(7);
    QCOMPARE(cipher.encrypt("ab").size(), 2 + 1 + 2);
    QCOMPARE(cipher.decrypt(cipher.encrypt("ab")), QByteArray("ab"));
}

void TestStoreCipher::everyAlteredBodyByteIsRefused()
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
}

void TestStoreCipher::truncationsAreRefused()
{
    StoreCipher cipher = StoreCipher::forStore();
    const QByteArray encrypted = cipher.encrypt("a list that is truncated");
    for (int size = 3; size < encrypted.size(); ++size) {
        QVERIFY(cipher.decrypt(encrypted.left(size)).isEmpty());
        QCOMPARE(cipher.errorState(), qint32(StoreCipher::IntegrityFailed));
    }
    StoreCipher checksummed(1);
    const QByteArray shortBody = checksummed.encrypt(QByteArray()).left(4);
    QVERIFY(checksummed.decrypt(shortBody).isEmpty());
    QCOMPARE(checksummed.errorState(), qint32(StoreCipher::IntegrityFailed));
}

void TestStoreCipher::otherKeyIsRefused()
{
    StoreCipher writer = StoreCipher::forStore();
    const QByteArray encrypted = writer.encrypt("written by another build");
    StoreCipher reader(BuildConfig::storeKey ^ 0x0100);
    reader.setCompressionMode(StoreCipher::AlwaysCompress);
    reader.setProtectionMode(StoreCipher::Sha1Hash);
    QVERIFY(reader.decrypt(encrypted).isEmpty());
    QCOMPARE(reader.errorState(), qint32(StoreCipher::IntegrityFailed));
}

void TestStoreCipher::otherVersionIsRefused()
{
    StoreCipher cipher = StoreCipher::forStore();
    QByteArray encrypted = cipher.encrypt("x");
    encrypted[0] = char(0x1D);
    QTest::ignoreMessage(QtWarningMsg, "Invalid version or not a cyphertext.");
    QVERIFY(cipher.decrypt(encrypted).isEmpty());
    QCOMPARE(cipher.errorState(), qint32(StoreCipher::UnsupportedVersion));
}

void TestStoreCipher::tooShortLeavesErrorState()
{
    StoreCipher cipher = StoreCipher::forStore();
    QTest::ignoreMessage(QtWarningMsg, "Invalid version or not a cyphertext.");
    cipher.decrypt("abc");
    QCOMPARE(cipher.errorState(), qint32(StoreCipher::UnsupportedVersion));
    QVERIFY(cipher.decrypt(QByteArray("\x1c\x05", 2)).isEmpty());
    QVERIFY(cipher.decrypt(QByteArray()).isEmpty());
    QCOMPARE(cipher.errorState(), qint32(StoreCipher::UnsupportedVersion));
}

void TestStoreCipher::twoEncryptionsDiffer()
{
    StoreCipher cipher = StoreCipher::forStore();
    const QByteArray plain(300, 'q');
    // The random byte takes 256 values; a few tries rule out a chance collision.
    QByteArray first = cipher.encrypt(plain);
    QByteArray second = cipher.encrypt(plain);
    for (int i = 0; i < 8 && first == second; ++i)
        second = cipher.encrypt(plain);
    QVERIFY(first != second);
    QCOMPARE(first.size(), second.size());
    // The chain carries the random byte forward: the bodies differ beyond their first byte.
    QVERIFY(first.mid(3) != second.mid(3));
    QCOMPARE(cipher.decrypt(first), plain);
    QCOMPARE(cipher.decrypt(second), plain);
}

void TestStoreCipher::hostileCompressedData_data()
{
    QTest::addColumn<QByteArray>("dataField");
    const QByteArray stream = qCompress(QByteArray(1024 * 1024, '\0'), 9).mid(4);
    QTest::newRow("prefix claims 4 GiB") << bigEndian32(0xffffffffu) + stream;
    QTest::newRow("prefix claims 200 MiB, stream is tiny")
        << bigEndian32(200u << 20) + stream.left(20);
    QTest::newRow("inflates beyond prefix") << bigEndian32(10) + stream;
    QTest::newRow("damaged stream") << bigEndian32(100) + QByteArray(50, 'z');
}

void TestStoreCipher::hostileCompressedData()
{
    QFETCH(QByteArray, dataField);
    StoreCipher cipher = StoreCipher::forStore();
    QVERIFY(cipher.decrypt(forgeCompressed(dataField)).isEmpty());
    QCOMPARE(cipher.errorState(), qint32(StoreCipher::IntegrityFailed));
}

void TestStoreCipher::cachePathIsDigestOfAddress()
{
    const ImageCache cache("/base");
    const QString address = QStringLiteral("https://korvina.example/новости/1.png");
    QCOMPARE(cache.cachePath(address),
        "/base/cache/"
            + QCryptographicHash::hash(address.toUtf8(), QCryptographicHash::Md5).toHex());
    QVERIFY(cache.cachePath("http://a/B.png") != cache.cachePath("http://a/b.png"));
}

void TestStoreCipher::cacheRoundTrip()
{
    QTemporaryDir dir;
    const QString launcherDir = dir.path() + "/nested/launcher";
    const ImageCache cache(launcherDir);
    const QByteArray picture = patterned(70000);
    QVERIFY(cache.writeCache("http://a/1.png", picture));
    QByteArray read;
    QVERIFY(cache.readCache("http://a/1.png", read));
    QCOMPARE(read, picture);

    // The file holds the bare ciphertext and nothing else.
    QFile file(cache.cachePath("http://a/1.png"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(StoreCipher::forStore().decrypt(file.readAll()), picture);
    QCOMPARE(QDir(cache.cacheDir()).entryList(QDir::Files).size(), 1);

    // A later write for the same address replaces the file.
    QVERIFY(cache.writeCache("http://a/1.png", "second"));
    QVERIFY(cache.readCache("http://a/1.png", read));
    QCOMPARE(read, QByteArray("second"));
    QCOMPARE(QDir(cache.cacheDir()).entryList(QDir::Files).size(), 1);
}

void TestStoreCipher::cacheMissesAndDamage()
{
    QTemporaryDir dir;
    const ImageCache cache(dir.path());
    QByteArray read("untouched");
    QVERIFY(!cache.readCache("http://a/missing.png", read));
    QVERIFY(QDir(cache.cacheDir()).exists());

    QVERIFY(cache.writeCache("http://a/2.png", "picture"));
    QFile file(cache.cachePath("http://a/2.png"));
    QVERIFY(file.open(QIODevice::ReadWrite));
    QByteArray bytes = file.readAll();
    bytes[bytes.size() - 1] = char(bytes[bytes.size() - 1] ^ 1);
    file.seek(0);
    file.write(bytes);
    file.close();
    QVERIFY(!cache.readCache("http://a/2.png", read));

    // An empty picture is stored, but reads as not cached.
    QVERIFY(cache.writeCache("http://a/empty.png", QByteArray()));
    QVERIFY(!cache.readCache("http://a/empty.png", read));
    QCOMPARE(read, QByteArray("untouched"));
}

void TestStoreCipher::cacheDirectoryThatCannotExist()
{
    QTemporaryDir dir;
    QFile blocker(dir.path() + "/cache");
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const ImageCache cache(dir.path());
    QVERIFY(!cache.writeCache("http://a/1.png", "picture"));
    QByteArray read;
    QVERIFY(!cache.readCache("http://a/1.png", read));
}

QTEST_GUILESS_MAIN(TestStoreCipher)
#include "tst_storecipher.moc"
