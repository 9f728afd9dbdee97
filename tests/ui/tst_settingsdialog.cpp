#include "settings/gamesettings.h"
#include "settings/settingsdialog.h"
#include "testfiles.h"
#include "ui/animcontrols.h"
#include "ui/focusmark.h"
#include "uitest.h"

#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

class TestSettingsDialog : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir documents;
    QString userFiles() const { return documents.filePath("GTA San Andreas User Files"); }
    QString switchesFile() const { return userFiles() + "/listva.cfg"; }
    QString gameSettingsFile() const { return userFiles() + "/gta_sa.set"; }
    QString stateFile() const { return documents.filePath("korvina_launcher.bin"); }

private slots:
    void initTestCase()
    {
        QVERIFY(documents.isValid());
        UiTest::loadResources();
    }

    void init()
    {
        QDir(userFiles()).removeRecursively();
        QVERIFY(QDir().mkpath(userFiles()));
        QFile::remove(stateFile());
    }

    void statesComeFromTheFile()
    {
        QVERIFY(TestFiles::writeFile(
            switchesFile(), "list=1\ngrass=1\nmodpack=0\nwinter=0\nreborn=1\nother=5\n"));
        GameSettings settings(documents.path());
        SettingsDialog dialog(&settings, SettingsDialog::Repair());
        QString states;
        for (const char *key : { "list", "grass", "modpack", "winter", "reborn" })
            states += dialog.checkbox(QLatin1String(key))->isChecked() ? '1' : '0';
        // "list" is shown inverted: the switch means the foliage is on.
        QCOMPARE(states, QStringLiteral("01001"));
        dialog.btnOk();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(TestFiles::readFile(switchesFile()),
            QByteArray("grass=1\nlist=1\nmodpack=0\nother=1\nreborn=1\nwinter=0\n"));
    }

    void switchesChangeTheSettingsAtOnce()
    {
        QVERIFY(TestFiles::writeFile(gameSettingsFile(), "settings"));
        UiTest::OverlayCounter host;
        UiTest::DialogCloser messages([&host] { return host.count; });
        GameSettings settings(documents.path());
        SettingsDialog::Repair repair;
        repair.readyToPlay = [] { return true; };
        SettingsDialog dialog(&settings, repair, &host);
        dialog.show();

        for (const char *key : { "list", "reborn", "winter", "grass", "grass" }) {
            QTest::mouseClick(dialog.checkbox(QLatin1String(key))->track(), Qt::LeftButton,
                Qt::NoModifier, QPoint(25, 10));
        }
        QCOMPARE(settings.value(QStringLiteral("reborn"), false), true);
        // Only switching the grass on warns, with the window dimmed under both dialogs.
        QCOMPARE(messages.texts.size(), 1);
        QVERIFY(
            messages.texts.at(0).startsWith(QStringLiteral("ОСТОРОЖНО! Включение этой настройки")));
        QCOMPARE(messages.overlays, QList<int> { 1 });
        QCOMPARE(host.count, 0);

        // Nothing is written until "Сохранить", which is what Return does, never the repair.
        QVERIFY(!QFile::exists(switchesFile()));
        QWidget *focus = dialog.focusWidget();
        QTest::keyClick(focus ? focus : &dialog, Qt::Key_Return);
        QCOMPARE(messages.texts.size(), 1);
        QVERIFY(QFile::exists(gameSettingsFile()));
        QCOMPARE(TestFiles::readFile(switchesFile()),
            QByteArray("grass=0\nlist=1\nmodpack=1\nreborn=1\nwinter=0\n"));
        QVERIFY(!dialog.isVisible());
    }

    void keyboardReachesTheSwitchesAndEscapeCloses()
    {
        GameSettings settings(documents.path());
        SettingsDialog dialog(&settings, SettingsDialog::Repair());
        dialog.show();
        QApplication::setActiveWindow(&dialog);
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        QWidget *track = dialog.checkbox(QStringLiteral("reborn"))->track();
        for (int i = 0; i < 10 && !track->hasFocus(); ++i)
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QVERIFY(track->hasFocus());
        auto *mark = dialog.findChild<FocusMark *>();
        QCOMPARE(mark->markedWidget(), track);
        QVERIFY(mark->isVisible());
        QTest::keyClick(track, Qt::Key_Space);
        QVERIFY(dialog.checkbox(QStringLiteral("reborn"))->isChecked());
        QCOMPARE(settings.value(QStringLiteral("reborn"), false), true);
        // A click takes the mark away: the mouse leaves no frame behind.
        QTest::mouseClick(track, Qt::LeftButton, Qt::NoModifier, QPoint(25, 10));
        QVERIFY(!mark->isVisible());
        QTest::keyClick(track, Qt::Key_Escape);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QVERIFY(!QFile::exists(switchesFile()));
    }

    void repairDeletesAndRestartsOnlyWhenReady()
    {
        QVERIFY(TestFiles::writeFile(gameSettingsFile(), "settings"));
        QVERIFY(TestFiles::writeFile(stateFile(), "state"));
        QVERIFY(TestFiles::writeFile(switchesFile(), "grass=1\n"));
        UiTest::OverlayCounter host;
        UiTest::DialogCloser messages([&host] { return host.count; });
        GameSettings settings(documents.path());
        bool ready = false;
        SettingsDialog::Repair repair;
        repair.readyToPlay = [&ready] { return ready; };
        repair.startSync = [&] {
            // The window clears its readiness when the new run starts.
            ready = false;
            messages.texts << (QFile::exists(gameSettingsFile()) ? "restart too early" : "restart");
        };
        repair.stateFile = stateFile();
        SettingsDialog dialog(&settings, repair, &host);
        dialog.show();
        auto *button = dialog.findChild<QPushButton *>(QStringLiteral("removeCache"));
        const QString wait = QStringLiteral("Дождитесь окончания загрузки!");
        const QString done = QStringLiteral("Кэш-файлы и настройки успешно удалены!");
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(messages.texts, QStringList { wait });
        QVERIFY(QFile::exists(gameSettingsFile()));
        QVERIFY(QFile::exists(stateFile()));

        ready = true;
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(messages.texts, QStringList({ wait, done, "restart" }));
        QVERIFY(!QFile::exists(gameSettingsFile()));
        QVERIFY(!QFile::exists(stateFile()));
        // The switches file is the player's and stays; the dialog stays open.
        QCOMPARE(TestFiles::readFile(switchesFile()), QByteArray("grass=1\n"));
        QVERIFY(dialog.isVisible());

        // Again when there is nothing left to delete.
        ready = true;
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(messages.texts, QStringList({ wait, done, "restart", done, "restart" }));

        // A file that cannot be deleted is named, and the ready game is left as it is: its
        // state too, or the next start would check every file again.
        QVERIFY(QDir().mkpath(gameSettingsFile()));
        QVERIFY(TestFiles::writeFile(stateFile(), "state"));
        ready = true;
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(messages.texts.mid(5),
            QStringList { "Не удалось удалить gta_sa.set! Закройте игру и попробуйте снова." });
        QVERIFY(QFile::exists(stateFile()));
        QVERIFY(ready);
    }
};

QTEST_MAIN(TestSettingsDialog)
#include "tst_settingsdialog.moc"
