#include "sync/spacecheck.h"
#include "sync/transfertext.h"

#include <QTest>

class TestTransferText : public QObject
{
    Q_OBJECT

private slots:
    void progress_data()
    {
        // As the player sees them side by side: the size pair, then the speed.
        QTest::addColumn<quint64>("received");
        QTest::addColumn<quint64>("total");
        QTest::addColumn<qint64>("speed");
        QTest::addColumn<QString>("text");
        QTest::newRow("bytes, not measured yet")
            << quint64(0) << quint64(1023) << qint64(-1) << "0/1023 Байт (? МБ/с)";
        QTest::newRow("kilobytes from 1024, idle")
            << quint64(512) << quint64(1024) << qint64(0) << "0.50/1.00 КБ (0 Байт/с)";
        QTest::newRow("kilobytes, bytes a second")
            << quint64(1536) << quint64(1048575) << qint64(1023) << "1.50/1024.00 КБ (1023 Байт/с)";
        QTest::newRow("megabytes, kilobytes a second")
            << quint64(1048576) << quint64(3 * 1048576 + 524288) << qint64(1024)
            << "1.00/3.50 МБ (1.00 КБ/с)";
        QTest::newRow("beyond 4 GiB, megabytes a second")
            << quint64(0) << quint64(5) * 1073741824 << qint64(2621440)
            << "0.00/5120.00 МБ (2.50 МБ/с)";
    }

    void progress()
    {
        QFETCH(quint64, received);
        QFETCH(quint64, total);
        QFETCH(qint64, speed);
        QFETCH(QString, text);
        QCOMPARE(TransferText::sizePair(received, total) + TransferText::speed(speed), text);
    }

    void spaceShortfall_data()
    {
        QTest::addColumn<quint64>("total");
        QTest::addColumn<qint64>("free");
        QTest::addColumn<qint32>("shortfall");
        const quint64 gib = 1073741824;
        const qint64 mib = 1048576;
        QTest::newRow("1 GiB with 10240 MiB free") << gib << 10240 * mib << -5192;
        QTest::newRow("1 GiB with 4096 MiB free") << gib << 4096 * mib << 952;
        QTest::newRow("nothing to fetch still needs the reserve") << quint64(0) << 2999 * mib << 1;
        QTest::newRow("exactly enough") << quint64(0) << 3000 * mib << 0;
        QTest::newRow("rounded down to 512 KiB and 1 MiB")
            << quint64(524287) << 3000 * mib + mib - 1 << 0;
        QTest::newRow("failed query") << gib << qint64(-1) << 1;
        // 2^35 bytes to fetch is 65536 units of 512 KiB; 2^44 free bytes is 2^24 MiB.
        QTest::newRow("large volume")
            << (quint64(1) << 35) << (qint64(1) << 44) << 65536 + 3000 - (1 << 24);
        // The shifted values are truncated to 32 bits: 2^51 bytes to fetch wraps to 0 units.
        QTest::newRow("32-bit truncation") << (quint64(1) << 51) << 4096 * mib << 3000 - 4096;
    }

    void spaceShortfall()
    {
        QFETCH(quint64, total);
        QFETCH(qint64, free);
        QFETCH(qint32, shortfall);
        QCOMPARE(SpaceCheck::shortfall(total, free), shortfall);
    }
};

QTEST_GUILESS_MAIN(TestTransferText)
#include "tst_transfertext.moc"
