#include "sync/safepath.h"

#include <QTemporaryDir>
#include <QTest>

class TestSafePath : public QObject
{
    Q_OBJECT

private slots:
    void relativePaths_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("safe");
        QTest::newRow("plain file") << "gta_sa.exe" << true;
        QTest::newRow("nested") << "models/gta3.img" << true;
        QTest::newRow("dots inside a name") << "data/..x/a..b" << true;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("absolute") << "/etc/passwd" << false;
        QTest::newRow("drive letter") << "c:/windows/win.ini" << false;
        QTest::newRow("drive relative") << "c:win.ini" << false;
        QTest::newRow("backslash") << "models\\..\\..\\x" << false;
        QTest::newRow("parent") << "../outside" << false;
        QTest::newRow("parent inside") << "models/../../outside" << false;
        QTest::newRow("dot component") << "models/./gta3.img" << false;
        QTest::newRow("empty component") << "models//gta3.img" << false;
        QTest::newRow("trailing slash") << "models/" << false;
        QTest::newRow("nul") << QString("a") + QChar(0) + "b" << false;
        QTest::newRow("control character") << "data/a\tb.txt" << false;
        QTest::newRow("wildcard") << "data/a*.txt" << false;
        QTest::newRow("device name") << "models/Nul" << false;
        QTest::newRow("device name with a suffix") << "con.txt" << false;
        QTest::newRow("numbered device") << "data/com1.dat" << false;
        QTest::newRow("more than a device") << "data/com10.dat" << true;
        QTest::newRow("trailing dot") << "data/readme." << false;
        QTest::newRow("trailing blank") << "models /gta3.img" << false;
        QTest::newRow("thousands deep") << QString("a/").repeated(2000) + "x" << false;
        QTest::newRow("as deep as allowed")
            << QString("a/").repeated(SafePath::maxDepth - 1) + "x" << true;
        QTest::newRow("too long") << QString(SafePath::maxLength + 1, 'a') << false;
    }

    void relativePaths()
    {
        QFETCH(QString, path);
        QFETCH(bool, safe);
        QCOMPARE(SafePath::isSafeRelative(path), safe);
        QTemporaryDir dir;
        QCOMPARE(SafePath::resolve(dir.path(), path).isEmpty(), !safe);
    }

    void plainNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("plain");
        QTest::newRow("element") << "infernus.dff" << true;
        QTest::newRow("with slash") << "a/b.dff" << false;
        QTest::newRow("parent") << ".." << false;
        QTest::newRow("dot") << "." << false;
        QTest::newRow("backslash") << "..\\x" << false;
        QTest::newRow("empty") << "" << false;
    }

    void plainNames()
    {
        QFETCH(QString, name);
        QFETCH(bool, plain);
        QCOMPARE(SafePath::isPlainName(name), plain);
    }
};

QTEST_GUILESS_MAIN(TestSafePath)
#include "tst_safepath.moc"
