#include "files/zlibframe.h"

#include <QRandomGenerator>
#include <QtEndian>
#include <QtTest>

class TestZlibFrame : public QObject
{
    Q_OBJECT

private slots:
    void matchesQtFraming_data()
    {
        QTest::addColumn<QByteArray>("plain");
        QTest::newRow("empty") << QByteArray();
        // Ratio near zlib's maximum: the first buffer is far smaller than the result.
        QTest::newRow("8 MiB of zeros") << QByteArray(8 * 1024 * 1024, '\0');
        // From 1 MiB on, the data is deflated in pieces joined into one stream.
        QByteArray lines;
        for (int i = 0; lines.size() < 6 * 1024 * 1024; ++i)
            lines += "data/f" + QByteArray::number(i) + ' ' + QByteArray::number(i % 960) + '\n';
        QTest::newRow("1 MiB less a byte") << lines.left((1 << 20) - 1);
        QTest::newRow("1 MiB") << lines.left(1 << 20);
        QTest::newRow("6 MiB of lines") << lines;
        QByteArray noise(3 * 1024 * 1024 + 5, Qt::Uninitialized);
        QRandomGenerator(15).fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);
        noise[noise.size() - 1] = 'n';
        QTest::newRow("3 MiB of noise") << noise;
    }

    void matchesQtFraming()
    {
        QFETCH(QByteArray, plain);
        const QByteArray framed = ZlibFrame::compress(plain);
        if (plain.size() < 1 << 20)
            QCOMPARE(framed, qCompress(plain, 1));
        else
            QCOMPARE(framed.mid(4, 2), QByteArray("\x78\x01")); // zlib, level 1
        QCOMPARE(qUncompress(framed), plain);
        QCOMPARE(qFromBigEndian<quint32>(framed.constData()), quint32(plain.size()));
        QByteArray out("stale");
        QVERIFY(ZlibFrame::uncompress(framed, plain.size(), &out));
        QCOMPARE(out, plain);
    }

    void refused_data()
    {
        QTest::addColumn<QByteArray>("framed");
        const QByteArray megabyte = qCompress(QByteArray(1 << 20, 'k'), 9);
        QTest::newRow("three bytes") << QByteArray(3, '\0');
        QTest::newRow("bare nonzero prefix") << QByteArray("\0\0\0\1", 4);
        QTest::newRow("claims 4 GiB") << QByteArray("\xff\xff\xff\xff", 4) + megabyte.mid(4);
        QTest::newRow("inflates beyond prefix 1 MiB - 1")
            << QByteArray("\0\x0f\xff\xff", 4) + megabyte.mid(4);
        QTest::newRow("stream without its end") << megabyte.left(megabyte.size() - 4);
        QByteArray damaged = megabyte;
        damaged[8] = char(damaged[8] ^ 0x55);
        QTest::newRow("damaged stream") << damaged;
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
        // The prefix must fit the limit; output short of it (6000) qUncompress accepts too.
        const QByteArray framed = qCompress(QByteArray(5000, 'a'), 9);
        QByteArray out;
        QVERIFY(!ZlibFrame::uncompress(framed, 4999, &out));
        QVERIFY(ZlibFrame::uncompress(QByteArray("\0\0\x17\x70", 4) + framed.mid(4), 6000, &out));
        QCOMPARE(out, QByteArray(5000, 'a'));
    }
};

QTEST_GUILESS_MAIN(TestZlibFrame)
#include "tst_zlibframe.moc"
