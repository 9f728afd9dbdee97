#include "settings/gamesettings.h"
#include "settings/settingsdialog.h"
#include "ui/animcontrols.h"
#include "ui/messagedialog.h"
#include "uitest.h"

#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {

// Answers every message dialog that opens with "Ок" and records its text and the overlay
// count while it was open.
class MessageCatcher : public QObject
{
public:
    explicit MessageCatcher(UiTest::OverlayCounter *host)
        : host(host)
    {
        timer.setInterval(10);
        connect(&timer, &QTimer::timeout, this, [this] {
            auto *box = qobject_cast<MessageDialog *>(QApplication::activeModalWidget());
            if (!box)
                return;
            texts.append(box->text());
            overlays.append(this->host->count);
            box->accept();
        });
        timer.start();
    }
    UiTest::OverlayCounter *host;
    QTimer timer;
    QStringList texts;
    QList<int> overlays;
};

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void toggle(CustomCheckbox *box)
{
    QTest::mouseClick(box->track(), Qt::LeftButton, Qt::NoModifier, QPoint(25, 10));
}

} // namespace

class TestSettingsDialog : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir documents;
    QString userFiles() const
    {
        return documents.filePath(QStringLiteral("GTA San Andreas User Files"));
    }
    QString switchesFile() const { return userFiles() + QStringLiteral("/listva.cfg"); }
    QString gameSettingsFile() const { return userFiles() + QStringLiteral("/gta_sa.set"); }
    QString stateFile() const { return documents.filePath(QStringLiteral("korvina_launcher.bin")); }

    static void write(const QString &path, const QByteArray &bytes)
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

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

    void formLayout()
    {
        GameSettings settings(documents.path());
        SettingsDialog dialog(&settings, SettingsDialog::Repair());
        QCOMPARE(dialog.size(), QSize(410, 380));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Настройки"));
        const struct
        {
            const char *name;
            QRect geometry;
            const char *text;
        } parts[] = {
            { "shadowWidget", QRect(15, 15, 380, 340), nullptr },
            { "bodyWidget", QRect(15, 15, 380, 340), nullptr },
            { "settingsLabel", QRect(100, 10, 180, 30), "" },
            { "treesLabel", QRect(90, 50, 200, 20), "Листва" },
            { "grassLabel", QRect(90, 85, 200, 20), "Трава" },
            { "modpackLabel", QRect(90, 120, 200, 20), "Модпак" },
            { "winterLabel", QRect(90, 155, 200, 20), "Зимний модпак" },
            { "rebornLabel", QRect(90, 190, 200, 20), "Реборн" },
            { "removeCache", QRect(90, 225, 200, 40), "Починить игру" },
            { "btnOk", QRect(90, 275, 200, 40), "Сохранить" },
        };
        for (const auto &part : parts) {
            auto *widget = dialog.findChild<QWidget *>(QLatin1String(part.name));
            QVERIFY2(widget, part.name);
            QCOMPARE(widget->geometry(), part.geometry);
            if (auto *label = qobject_cast<QLabel *>(widget))
                QCOMPARE(label->text(), QString::fromUtf8(part.text));
            if (auto *button = qobject_cast<QPushButton *>(widget))
                QCOMPARE(button->text(), QString::fromUtf8(part.text));
        }
        QCOMPARE(dialog.findChild<QWidget *>(QStringLiteral("bodyWidget"))->styleSheet(),
            QStringLiteral(
                "#bodyWidget {\nbackground: #0B2255;\nborder-top: 2px solid #00A3FF;\n}"));
        QCOMPARE(dialog.findChild<QWidget *>(QStringLiteral("shadowWidget"))->styleSheet(),
            QStringLiteral("background: #ffffff;"));
        auto *title = dialog.findChild<QLabel *>(QStringLiteral("settingsLabel"))
                          ->findChild<CustomLabel *>();
        QCOMPARE(title->labelText(), QStringLiteral("Настройки"));
        QCOMPARE(title->labelFont().pointSize(), 80);
    }

    void statesComeFromTheFile_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QString>("shown"); // list grass modpack winter reborn
        QTest::addColumn<QByteArray>("saved");
        // "list" is shown inverted: the switch means the foliage is on.
        QTest::newRow("no file: defaults")
            << QByteArray() << "10110" << QByteArray("grass=0\nlist=0\nmodpack=1\n");
        QTest::newRow("all set")
            << QByteArray("list=1\ngrass=1\nmodpack=0\nwinter=0\nreborn=1\nother=5\n") << "01001"
            << QByteArray("grass=1\nlist=1\nmodpack=0\nother=1\nreborn=1\nwinter=0\n");
    }

    void statesComeFromTheFile()
    {
        QFETCH(QByteArray, before);
        QFETCH(QString, shown);
        QFETCH(QByteArray, saved);
        if (!before.isEmpty())
            write(switchesFile(), before);
        GameSettings settings(documents.path());
        SettingsDialog dialog(&settings, SettingsDialog::Repair());
        QString states;
        for (const char *key : { "list", "grass", "modpack", "winter", "reborn" })
            states += dialog.checkbox(QLatin1String(key))->isChecked() ? '1' : '0';
        QCOMPARE(states, shown);
        dialog.btnOk();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(readAll(switchesFile()), saved);
    }

    void switchesChangeTheSettingsAtOnce()
    {
        UiTest::OverlayCounter host;
        MessageCatcher messages(&host);
        GameSettings settings(documents.path());
        SettingsDialog dialog(&settings, SettingsDialog::Repair(), &host);
        dialog.show();

        toggle(dialog.checkbox(QStringLiteral("list")));
        QCOMPARE(settings.value(QStringLiteral("list"), false), true);
        toggle(dialog.checkbox(QStringLiteral("reborn")));
        QCOMPARE(settings.value(QStringLiteral("reborn"), false), true);
        toggle(dialog.checkbox(QStringLiteral("winter")));
        QCOMPARE(settings.value(QStringLiteral("winter"), true), false);
        QVERIFY(messages.texts.isEmpty());

        // Switching the grass on warns first, with the window dimmed under both dialogs.
        toggle(dialog.checkbox(QStringLiteral("grass")));
        QCOMPARE(messages.texts.size(), 1);
        QVERIFY(
            messages.texts.at(0).startsWith(QStringLiteral("ОСТОРОЖНО! Включение этой настройки")));
        QVERIFY(messages.texts.at(0).endsWith(QStringLiteral("(в меню графики)")));
        QCOMPARE(messages.overlays.at(0), 1);
        QCOMPARE(settings.value(QStringLiteral("grass"), false), true);
        toggle(dialog.checkbox(QStringLiteral("grass")));
        QCOMPARE(messages.texts.size(), 1);
        QCOMPARE(settings.value(QStringLiteral("grass"), true), false);
        QCOMPARE(host.count, 0);

        // Nothing is written until "Сохранить", which is what Return does.
        QVERIFY(!QFile::exists(switchesFile()));
        QWidget *focus = dialog.focusWidget();
        QTest::keyClick(focus ? focus : &dialog, Qt::Key_Return);
        QCOMPARE(messages.texts.size(), 1);
        QCOMPARE(readAll(switchesFile()),
            QByteArray("grass=0\nlist=1\nmodpack=1\nreborn=1\nwinter=0\n"));
        QVERIFY(!dialog.isVisible());
    }

    void repairDeletesAndRestartsOnlyWhenReady()
    {
        write(gameSettingsFile(), "settings");
        write(stateFile(), "state");
        write(switchesFile(), "grass=1\n");
        UiTest::OverlayCounter host;
        MessageCatcher messages(&host);
        GameSettings settings(documents.path());
        bool ready = false;
        int restarts = 0;
        SettingsDialog::Repair repair;
        repair.readyToPlay = [&ready] { return ready; };
        repair.startSync = [&] {
            // The window clears its readiness when the new run starts.
            ready = false;
            ++restarts;
            QVERIFY(!QFile::exists(gameSettingsFile()));
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
        QCOMPARE(restarts, 0);

        ready = true;
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(messages.texts, QStringList({ wait, done }));
        QVERIFY(!QFile::exists(gameSettingsFile()));
        QVERIFY(!QFile::exists(stateFile()));
        QCOMPARE(restarts, 1);
        // The switches file is the player's and stays; the dialog stays open.
        QCOMPARE(readAll(switchesFile()), QByteArray("grass=1\n"));
        QVERIFY(dialog.isVisible());

        // Until the new run is ready, and again when there is nothing left to delete.
        QTest::mouseClick(button, Qt::LeftButton);
        ready = true;
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(messages.texts, QStringList({ wait, done, wait, done }));
        QCOMPARE(restarts, 2);

        // A file that cannot be deleted is named, and the ready game is left as it is.
        QVERIFY(QDir().mkpath(gameSettingsFile()));
        ready = true;
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(messages.texts.last(),
            QStringLiteral("Не удалось удалить gta_sa.set! Закройте игру и попробуйте снова."));
        QCOMPARE(restarts, 2);
    }
};

QTEST_MAIN(TestSettingsDialog)
#include "tst_settingsdialog.moc"
