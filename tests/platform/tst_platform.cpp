#include "platform/platform.h"

#include <QDesktopServices>
#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

// Stands in for the browser: QDesktopServices hands matching URLs to it.
class UrlSink : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> urls;

public slots:
    void open(const QUrl &url) { urls.append(url); }
};

class TestPlatform : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir home;

private slots:
    void initTestCase()
    {
        QVERIFY(home.isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path() + QStringLiteral("/config")));
        QDir().mkpath(home.path() + QStringLiteral("/run"));
        QFile::setPermissions(home.path() + QStringLiteral("/run"),
            QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(home.path() + QStringLiteral("/run")));
    }

    void singleInstanceIsExclusive()
    {
        QVERIFY(Platform::acquireSingleInstance(QStringLiteral("Mutex: Korvina Test")));
        // A second holder, even in this process, is refused while the first lives.
        QVERIFY(!Platform::acquireSingleInstance(QStringLiteral("Mutex: Korvina Test")));
        QVERIFY(Platform::acquireSingleInstance(QStringLiteral("Mutex: Another Name")));
    }

    void freeDiskBytes()
    {
        QVERIFY(Platform::freeDiskBytes(home.path()) > 0);
        QCOMPARE(Platform::freeDiskBytes(home.path() + QStringLiteral("/missing/dir")), qint64(-1));
    }

    void tickCountAdvances()
    {
        const quint32 before = Platform::tickCount();
        // Differences are taken modulo 2^32, as callers must across the wrap. Waits for the
        // counter to move rather than timing it.
        QTRY_VERIFY(quint32(Platform::tickCount() - before) >= 20);
    }

    void playerNameRoundTrip()
    {
        QVERIFY(Platform::readPlayerName().isEmpty());
        QVERIFY(Platform::writePlayerName(QStringLiteral("John_Smith")));
        QCOMPARE(Platform::readPlayerName(), QStringLiteral("John_Smith"));
        QVERIFY(Platform::playerNameStorePath().startsWith(home.path()));
        QVERIFY(Platform::writePlayerName(QStringLiteral("Иван Петров")));
        QCOMPARE(Platform::readPlayerName(), QStringLiteral("Иван Петров"));
    }

    void openUrlOpensOnlyWebPages_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("opened"); // empty: nothing is opened
        QTest::newRow("https") << "https://korvina-rp.example/donate"
                               << "https://korvina-rp.example/donate";
        QTest::newRow("http, quote and blank encoded") << "http://korvina-rp.example/a\" -x b"
                                                       << "http://korvina-rp.example/a%22%20-x%20b";
        QTest::newRow("upper-case scheme") << "HTTPS://korvina-rp.example/"
                                           << "https://korvina-rp.example/";
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("no host") << "https:///etc/passwd"
                                 << "";
        QTest::newRow("file") << "file:///C:/Windows/System32/cmd.exe"
                              << "";
        QTest::newRow("program path") << "C:\\Windows\\System32\\cmd.exe"
                                      << "";
    }

    void openUrlOpensOnlyWebPages()
    {
        QFETCH(QString, url);
        QFETCH(QString, opened);
        UrlSink browser;
        // Every scheme, a missing one included, reaches the stand-in instead of the desktop.
        for (const char *scheme : { "http", "https", "file", "ms-settings", "c", "" })
            QDesktopServices::setUrlHandler(QLatin1String(scheme), &browser, "open");
        QCOMPARE(Platform::openUrl(url), !opened.isEmpty());
        for (const char *scheme : { "http", "https", "file", "ms-settings", "c", "" })
            QDesktopServices::unsetUrlHandler(QLatin1String(scheme));
        QStringList urls;
        for (const QUrl &each : qAsConst(browser.urls))
            urls.append(QString::fromLatin1(each.toEncoded()));
        QCOMPARE(urls, opened.isEmpty() ? QStringList() : QStringList { opened });
    }
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
