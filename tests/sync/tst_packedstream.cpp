#include "sync/digestpipe.h"
#include "sync/packedstream.h"
#include "testfiles.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QTest>
#include <QtEndian>

// The packed form with another length prefix (big-endian, as qCompress writes it).
static QByteArray withPrefix(QByteArray packed, quint32 prefix)
{
    qToBigEndian(prefix, packed.data());
    return packed;
}

// As a body arrives from the network: in pieces of any size, split anywhere (the prefix too).
static bool feedInPieces(
    const QByteArray &packed, quint32 expected, QByteArray *result, DigestPipe *digest = nullptr)
{
    QBuffer out(result);
    out.open(QIODevice::WriteOnly);
    PackedStream::Inflater inflater(expected, expected, &out, digest);
    static const int pieces[] = { 1, 2, 3, 5, 4093, 65536 };
    for (int at = 0, i = 0; at < packed.size(); at += pieces[i++ % 6]) {
        if (!inflater.feed(packed.constData() + at, qMin(pieces[i % 6], packed.size() - at)))
            return false;
    }
    return inflater.finished();
}

class TestPackedStream : public QObject
{
    Q_OBJECT

private slots:
    void roundTripWithQCompress_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("empty") << 0;
        QTest::newRow("one byte") << 1;
        QTest::newRow("one sector") << 2048;
        QTest::newRow("several chunks") << 3 * 1024 * 1024 + 17;
        // Past what is hashed in place: the rest is hashed on the digest's thread.
        QTest::newRow("large") << 6 * 1024 * 1024 + 5;
    }

    void roundTripWithQCompress()
    {
        QFETCH(int, size);
        const QByteArray data = TestFiles::bytes(size, 1);
        QByteArray packed = qCompress(data, 9);
        QBuffer in(&packed);
        in.open(QIODevice::ReadOnly);
        QByteArray result;
        QBuffer out(&result);
        out.open(QIODevice::WriteOnly);
        QCryptographicHash md5(QCryptographicHash::Md5);
        QVERIFY(PackedStream::unpack(in, out, quint32(size), &md5));
        QCOMPARE(result, data);
        QCOMPARE(md5.result(), QCryptographicHash::hash(data, QCryptographicHash::Md5));

        QByteArray fed;
        digest.reset();
        QVERIFY(feedInPieces(packed, quint32(size), &fed, &digest));
        QCOMPARE(fed, data);
        QCOMPARE(digest.result(), md5.result());

        const QByteArray ours = PackedStream::pack(data);
        QCOMPARE(ours.left(4), packed.left(4));
        QCOMPARE(qUncompress(ours), data);
        bool ok = false;
        QCOMPARE(PackedStream::unpack(ours, quint32(size), &ok), data);
        QVERIFY(ok);
    }

    void refusesWrongOrHostileData_data()
    {
        QTest::addColumn<QByteArray>("packed");
        QTest::addColumn<quint32>("expected");
        const QByteArray data = TestFiles::bytes(100000, 1);
        const QByteArray good = qCompress(data, 9);
        QByteArray flipped = good;
        flipped[good.size() / 2] = char(~flipped[good.size() / 2]);

        QTest::newRow("truncated") << good.left(good.size() / 2) << quint32(data.size());
        QTest::newRow("only the prefix") << good.left(4) << quint32(data.size());
        QTest::newRow("shorter than a prefix") << good.left(3) << quint32(data.size());
        QTest::newRow("other expected size") << good << quint32(data.size() - 1);
        QTest::newRow("prefix larger than the stream")
            << withPrefix(good, data.size() + 1) << quint32(data.size() + 1);
        QTest::newRow("prefix of gigabytes")
            << withPrefix(good, 0x7f0186a0) << quint32(data.size());
        QTest::newRow("inflates past its prefix")
            << withPrefix(qCompress(QByteArray(4 * 1024 * 1024, 'a'), 9), 10000) << quint32(10000);
        QTest::newRow("corrupted stream") << flipped << quint32(data.size());
        QTest::newRow("bytes after the stream") << good + "x" << quint32(data.size());
        QTest::newRow("not zlib at all") << QByteArray("\x00\x00\x00\x05hello", 9) << quint32(5);
    }

    void refusesWrongOrHostileData()
    {
        QFETCH(QByteArray, packed);
        QFETCH(quint32, expected);
        QBuffer in(&packed);
        in.open(QIODevice::ReadOnly);
        QByteArray result;
        QBuffer out(&result);
        out.open(QIODevice::WriteOnly);
        QVERIFY(!PackedStream::unpack(in, out, expected, nullptr));
        QVERIFY(quint64(result.size()) <= expected);
        QByteArray fed;
        QVERIFY(!feedInPieces(packed, expected, &fed));
        QVERIFY(quint64(fed.size()) <= expected);
    }

    void rangeOfLengths()
    {
        QByteArray packed = qCompress(TestFiles::bytes(3000, 1), 9);
        for (const auto &[low, high, intact] :
            { std::tuple { 1u, 4096u, true }, std::tuple { 3000u, 3000u, true },
                std::tuple { 3001u, 4096u, false }, std::tuple { 1u, 2999u, false } }) {
            QBuffer in(&packed);
            in.open(QIODevice::ReadOnly);
            QCOMPARE(PackedStream::isIntact(in, low, high), intact);
        }
    }

private:
    // One for every case, as the downloader keeps one for all its items.
    DigestPipe digest;
};

QTEST_GUILESS_MAIN(TestPackedStream)
#include "tst_packedstream.moc"
