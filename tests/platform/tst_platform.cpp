#include "platform/platform.h"

#include <QDesktopServices>
#include <QtTest>

// Stands in for the browser: QDesktopServices hands matching URLs to it.
class UrlSink : public QObject
{
    Q_OBJECT

public:
    QStringList urls;

public slots:
    void open(const QUrl &url) { urls.append(QString::fromLatin1(url.toEncoded())); }
};

// The Win32 side (single instance, free space, tick counter, registry, documents folder,
// detached start) runs under wine in win32native_test.cpp; of the portable side, the single
// instance runs with real launchers in app/singleinstance.sh, the nickname store and the game
// start in app/tst_gamestarter.cpp.
class TestPlatform : public QObject
{
    Q_OBJECT

private slots:
    void openUrlOpensOnlyWebPages_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("opened"); // empty: nothing is opened
        QTest::newRow("http, quote and blank encoded") << "http://korvina-rp.example/a\" -x b"
                                                       << "http://korvina-rp.example/a%22%20-x%20b";
        QTest::newRow("upper-case scheme") << "HTTPS://korvina-rp.example/"
                                           << "https://korvina-rp.example/";
        QTest::newRow("empty") << QString() << QString();
        QTest::newRow("no host") << "https:///etc/passwd" << QString();
        QTest::newRow("file") << "file:///C:/Windows/System32/cmd.exe" << QString();
        QTest::newRow("program path") << "C:\\Windows\\System32\\cmd.exe" << QString();
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
        QCOMPARE(browser.urls, opened.isEmpty() ? QStringList() : QStringList { opened });
    }
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
