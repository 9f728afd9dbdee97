#include "app/logcategories.h"
#include "app/runlog.h"
#include "service/httprequest.h"
#include "testcertificates.h"
#include "testfiles.h"
#include "testhttpserver.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using TestFiles::readFile;
using TestFiles::writeFile;

class TestRunLog : public QObject
{
    Q_OBJECT

private:
    static QStringList runs(const QString &directory)
    {
        return QDir(directory).entryList(
            { QStringLiteral("launcher-*") }, QDir::Files | QDir::System, QDir::Name);
    }

private slots:
    void keepsTheLastRuns_data()
    {
        QTest::addColumn<int>("earlier"); // runs logged before this one
        QTest::addColumn<int>("kept");
        QTest::newRow("first run") << 0 << 5;
        QTest::newRow("fewer runs than kept") << 2 << 5;
        QTest::newRow("more runs than kept") << 7 << 5;
        QTest::newRow("only this run kept") << 3 << 1;
    }

    void keepsTheLastRuns()
    {
        QFETCH(int, earlier);
        QFETCH(int, kept);
        QTemporaryDir dir;
        QStringList older;
        for (int i = 0; i < earlier; ++i) {
            older << QStringLiteral("launcher-2020010%1-120000-000.log").arg(i + 1);
            QVERIFY(writeFile(dir.filePath(older.last()), "an earlier run\n"));
        }
        QVERIFY(writeFile(dir.filePath("notes.txt"), "the player's own\n"));
        RunLog log(dir.path(), kept);
        QVERIFY(log.isOpen());
        const QStringList expected = older.mid(qMax(0, earlier - (kept - 1)))
            << QFileInfo(log.filePath()).fileName();
        QCOMPARE(runs(dir.path()), expected);
        QVERIFY(QFile::exists(dir.filePath("notes.txt")));
    }

    void stopsAtItsSizeCap()
    {
        QTemporaryDir dir;
        RunLog log(dir.path(), 5, 1000);
        log.install();
        for (int i = 0; i < 20; ++i)
            qCInfo(lcSync) << "cycle" << i << "plans 3 downloads and 1 deletion";
        const QByteArray written = readFile(log.filePath());
        QVERIFY(written.size() <= 1000);
        QVERIFY(written.contains("info korvina.sync: cycle 0 plans 3 downloads and 1 deletion\n"));
        QVERIFY(written.endsWith("log cut here: it reached its size limit\n"));
    }

    void neverWritesThroughALink_data()
    {
        QTest::addColumn<QString>("link"); // in place of the log directory, or of an old run
        QTest::newRow("the log directory") << "logs";
        QTest::newRow("an earlier run") << "logs/launcher-20200101-120000-000.log";
    }

    void neverWritesThroughALink()
    {
        QFETCH(QString, link);
        QTemporaryDir dir;
        const QString victim = dir.filePath("elsewhere/victim.txt");
        QVERIFY(writeFile(victim, "keep\n"));
        QVERIFY(QDir().mkpath(dir.filePath("logs")));
        QFile::remove(dir.filePath(link));
        QDir().rmdir(dir.filePath(link));
        QVERIFY(
            QFile::link(link == "logs" ? dir.filePath("elsewhere") : victim, dir.filePath(link)));
        {
            RunLog log(dir.filePath("logs"), 1);
            log.install();
            qCInfo(lcApp) << "the launcher starts";
            QVERIFY(log.isOpen());
        }
        QVERIFY(!QFileInfo(dir.filePath(link)).isSymLink());
        QCOMPARE(QDir(dir.filePath("elsewhere")).entryList(QDir::Files), QStringList("victim.txt"));
        QCOMPARE(readFile(victim), QByteArray("keep\n"));
    }

    void failedServiceCallLeavesNoSignature()
    {
        TestCertificates certificates;
        QVERIFY2(certificates.generate(), qPrintable(certificates.errorText()));
        certificates.trustInDefaultConfiguration();
        TestHttpServer service(&certificates);
        service.route("/api_v2.php", TestResponse::error(503));
        QVERIFY(service.listen());
        QTemporaryDir dir;
        RunLog log(dir.path());
        log.install();
        QVERIFY(!HttpRequest::serviceCall(service.baseUrl(), QStringLiteral("servers"))
                     .sendGet(1, 10000));
        const QByteArray written = readFile(log.filePath());
        // What a supporter needs: which host failed and how; the query carries the signature.
        QVERIFY(written.contains("no answer from \"" + service.url("/api_v2.php").toUtf8() + '"'));
        QCOMPARE(service.requests().size(), 1);
        QVERIFY(!service.requests().first().query.isEmpty());
        QVERIFY(!written.contains(service.requests().first().query));
        for (const char *secret : { "sig=", "hash=", "data=" })
            QVERIFY2(!written.contains(secret), secret);
    }
};

QTEST_GUILESS_MAIN(TestRunLog)
#include "tst_runlog.moc"
