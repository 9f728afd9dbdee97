#include "files/zlibframe.h"

#include <QtEndian>
#include <QtTest>

namespace {

QByteArray withPrefix(const QByteArray &framed, quint32 prefix)
{
    QByteArray bytes = framed;
    qToBigEndian(prefix, bytes.data());
    return bytes;
}

} // namespace

class TestZlibFrame : public QObject
{
    Q_OBJECT

private slots:
    void matchesQtFraming_data()
    {
        QTest::addColumn<QByteArray>("plain");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("one byte") << QByteArray("x");
        QByteArray mixed;
        for (quint32 i = 0; i < 300000; ++i)
            mixed += char((i * 7919u) % 251u);
        QTest::newRow("300 kB") << mixed;
        // Ratio near zlib's maximum: the first buffer is far smaller than the result.
        QTest::newRow("8 MiB of zeros") << QByteArray(8 * 1024 * 1024, '\0');
    }

    void matchesQtFraming()
    {
        QFETCH(QByteArray, plain);
        const QByteArray framed = ZlibFrame::compress(plain);
        QCOMPARE(framed, qCompress(plain, 9));
        QCOMPARE(qFromBigEndian<quint32>(framed.constData()), quint32(plain.size()));
        QByteArray out("stale");
        QVERIFY(ZlibFrame::uncompress(framed, plain.size(), &out));
        QCOMPARE(out, plain);
    }

    void refused_data()
    {
        QTest::addColumn<QByteArray>("framed");
        const QByteArray megabyte = qCompress(QByteArray(1 << 20, 'k'), 9);
        QTest::newRow("nothing") << QByteArray();
        QTest::newRow("three bytes") << QByteArray(3, '\0');
        QTest::newRow("bare nonzero prefix") << QByteArray("\0\0\0\1", 4);
        QTest::newRow("claims 4 GiB") << withPrefix(megabyte, 0xffffffffu);
        QTest::newRow("claims 2 GiB") << withPrefix(megabyte, 0x7fffffffu);
        QTest::newRow("inflates beyond prefix") << withPrefix(megabyte, (1 << 20) - 1);
        QTest::newRow("prefix zero") << withPrefix(megabyte, 0);
        QTest::newRow("truncated stream") << megabyte.left(megabyte.size() / 2);
        QTest::newRow("stream without its end") << megabyte.left(megabyte.size() - 4);
        QByteArray damaged = megabyte;
        damaged[8] = char(damaged[8] ^ 0x55);
        QTest::newRow("damaged stream") << damaged;
        QTest::newRow("not zlib") << QByteArray("\0\0\0\x10garbage garbage!", 20);
    }

    void refused()
    {
        QFETCH(QByteArray, framed);
        QByteArray out("stale");
        QVERIFY(!ZlibFrame::uncompress(framed, 1 << 30, &out));
        QVERIFY(out.isEmpty());
    }

    void boundedByLimit()
    {
        const QByteArray framed = qCompress(QByteArray(5000, 'a'), 9);
        QByteArray out;
        QVERIFY(!ZlibFrame::uncompress(framed, 4999, &out));
        QVERIFY(ZlibFrame::uncompress(framed, 5000, &out));
        QCOMPARE(out.size(), 5000);
        // Output short of its prefix is what qUncompress accepts too.
        QVERIFY(ZlibFrame::uncompress(withPrefix(framed, 6000), 6000, &out));
        QCOMPARE(out, QByteArray(5000, 'a'));
        QVERIFY(ZlibFrame::uncompress(QByteArray(4, '\0'), 0, &out));
        QVERIFY(out.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestZlibFrame)
#include "tst_zlibframe.moc"
