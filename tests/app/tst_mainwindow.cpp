#include "app/buildinfo.h"
#include "app/mainwindow.h"
#include "platform/platform.h"
#include "ui/animcontrols.h"
#include "ui/messagedialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QValidator>
#include <QtTest>

class TestMainWindow : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir home;

    static CustomLabel *renderer(MainWindow &window, const char *placeholder)
    {
        auto *host = window.findChild<QLabel *>(QLatin1String(placeholder));
        return host ? host->findChild<CustomLabel *>() : nullptr;
    }

    static int layerWidth(MainWindow &window)
    {
        return window.findChild<QLabel *>(QStringLiteral("progressBarLayer"))->width();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(home.isValid());
        qputenv("HOME", QFile::encodeName(home.path()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path() + QStringLiteral("/config")));
        qputenv("XDG_DOCUMENTS_DIR", QFile::encodeName(home.path() + QStringLiteral("/docs")));
    }

    void buildDate_data()
    {
        QTest::addColumn<QString>("compiler");
        QTest::addColumn<QString>("shown");
        QTest::newRow("example") << QStringLiteral("Nov 10 2021") << QStringLiteral("10.11.2021");
        QTest::newRow("padded day") << QStringLiteral("Dec  6 2026") << QStringLiteral("06.12.2026");
        QTest::newRow("january") << QStringLiteral("Jan 31 2030") << QStringLiteral("31.01.2030");
        QTest::newRow("short year") << QStringLiteral("Feb 01 21") << QStringLiteral("01.02.2021");
        QTest::newRow("not a month") << QStringLiteral("Foo 01 2021") << QString();
        QTest::newRow("month straddle") << QStringLiteral("anF 01 2021") << QString();
    }

    void buildDate()
    {
        QFETCH(QString, compiler);
        QFETCH(QString, shown);
        QCOMPARE(BuildInfo::formatBuildDate(compiler), shown);
    }

    void buildLabelShowsVersionAndDate()
    {
        MainWindow window;
        QCOMPARE(renderer(window, "buildLabel")->labelText(),
                 QStringLiteral("Версия 2.0.4.2 от %1")
                         .arg(BuildInfo::formatBuildDate(BuildInfo::buildDate())));
        QVERIFY(!BuildInfo::formatBuildDate(BuildInfo::buildDate()).isEmpty());
    }

    void nicknamePrefill_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("shown");
        QTest::newRow("underscores around") << QStringLiteral("__John_Smith__") << QStringLiteral("John_Smith");
        QTest::newRow("non-ascii and blank") << QStringLiteral("Jöhn Smith") << QStringLiteral("JhnSmith");
        QTest::newRow("underscores only") << QStringLiteral("___") << QString();
        QTest::newRow("digits dropped") << QStringLiteral("Ivan_2000") << QStringLiteral("Ivan");
        QTest::newRow("nothing stored") << QString() << QString();
    }

    void nicknamePrefill()
    {
        QFETCH(QString, stored);
        QFETCH(QString, shown);
        QVERIFY(Platform::writePlayerName(stored));
        MainWindow window;
        QCOMPARE(window.findChild<QLineEdit *>(QStringLiteral("nicknameField"))->text(), shown);
    }

    void nicknameValidator()
    {
        MainWindow window;
        const QValidator *validator =
                window.findChild<QLineEdit *>(QStringLiteral("nicknameField"))->validator();
        QVERIFY(validator);
        const auto state = [validator](QString text) {
            int position = text.size();
            return validator->validate(text, position);
        };
        QCOMPARE(state(QStringLiteral("John_Smith")), QValidator::Acceptable);
        QCOMPARE(state(QStringLiteral("abc")), QValidator::Acceptable);
        QCOMPARE(state(QString(20, QLatin1Char('a'))), QValidator::Acceptable);
        QCOMPARE(state(QStringLiteral("ab")), QValidator::Intermediate);
        QCOMPARE(state(QString()), QValidator::Intermediate);
        QCOMPARE(state(QString(21, QLatin1Char('a'))), QValidator::Invalid);
        QCOMPARE(state(QStringLiteral("John Smith")), QValidator::Invalid);
        QCOMPARE(state(QStringLiteral("Jöhn")), QValidator::Invalid);
    }

    void progressWidth()
    {
        MainWindow window;
        QCOMPARE(layerWidth(window), 0);
        const struct {
            quint64 current, maximum;
            int columns;
        } cases[] = { { 0, 0, 1 }, { 1, 0, 1 }, { 50, 100, 236 }, { 150, 100, 471 },
                      { 100, 100, 471 }, { 1, 3, 157 }, { 0, 100, 1 } };
        for (const auto &c : cases) {
            window.syncerSetProgressState(c.current, c.maximum);
            QCOMPARE(layerWidth(window), c.columns);
        }
        QCOMPARE(MainWindow::progressFillWidth(50, 100), 235);
        QCOMPARE(MainWindow::progressFillWidth(~quint64(0), 1), 470);
    }

    void progressTextsAreSetOnlyWhenChanged()
    {
        MainWindow window;
        CustomLabel *left = renderer(window, "progressBarState1");
        CustomLabel *right = renderer(window, "progressBarState2");
        QCOMPARE(left->labelText(), QStringLiteral("Загрузка списка серверов и новостей..."));

        window.syncerSetProgressText(QStringLiteral("A"), QStringLiteral("B"));
        QCOMPARE(left->labelText(), QStringLiteral("A"));
        QCOMPARE(right->labelText(), QStringLiteral("B"));
        // Marks on the renderers show whether the controller writes them again.
        left->setLabelText(QStringLiteral("mark"));
        right->setLabelText(QStringLiteral("mark"));
        window.syncerSetProgressText(QStringLiteral("A"), QStringLiteral("B"));
        QCOMPARE(left->labelText(), QStringLiteral("mark"));
        QCOMPARE(right->labelText(), QStringLiteral("mark"));
        window.syncerSetProgressText(QStringLiteral("C"), QStringLiteral("B"));
        QCOMPARE(left->labelText(), QStringLiteral("C"));
        QCOMPARE(right->labelText(), QStringLiteral("mark"));
    }

    void overlayNesting()
    {
        MainWindow window;
        window.show();
        QWidget *overlay = window.findChild<QWidget *>(QStringLiteral("overlayWidget"));
        QVERIFY(overlay->isHidden());
        QCOMPARE(overlay->size(), QSize(900, 500));
        window.setOverlay(true);
        window.setOverlay(true);
        QCOMPARE(window.overlayCount(), 2);
        window.setOverlay(false);
        QVERIFY(overlay->isVisible());
        window.setOverlay(false);
        QCOMPARE(window.overlayCount(), 0);
        QVERIFY(overlay->isHidden());
    }

    void joinChecks()
    {
        MainWindow window;
        window.show();
        auto *join = window.findChild<QPushButton *>(QStringLiteral("btnJoinGame"));
        auto *field = window.findChild<QLineEdit *>(QStringLiteral("nicknameField"));
        QVERIFY(!join->isEnabled());

        // Each check answers with a message dialog; close it from the event loop.
        QString message;
        const auto answer = [&message] {
            QTimer::singleShot(0, [&message] {
                QWidget *dialog = QApplication::activeModalWidget();
                QVERIFY(dialog);
                if (auto *box = qobject_cast<MessageDialog *>(dialog))
                    message = box->text();
                QTest::keyClick(dialog, Qt::Key_Escape);
            });
        };

        answer();
        window.btnJoinGameClick(false);
        QCOMPARE(message, QStringLiteral("Игра ещё не готова. Пожалуйста, подождите."));
        QCOMPARE(window.overlayCount(), 0);

        window.syncerFinish(true);
        QVERIFY(window.readyToPlay);
        QVERIFY(join->isEnabled());
        QCOMPARE(renderer(window, "progressBarState1")->labelText(), QStringLiteral("Готово к игре!"));
        QCOMPARE(layerWidth(window), 471);

        field->setText(QStringLiteral("ab"));
        answer();
        window.btnJoinGameClick(false);
        QCOMPARE(message, QStringLiteral("Укажите никнейм от 3 до 20 символов"));
        QVERIFY(window.isVisible());

        // The service listed no server: the stored choice selects none, and a join asks for one.
        window.serverListLoaded();
        field->setText(QStringLiteral("John_Smith"));
        answer();
        window.btnJoinGameClick(false);
        QCOMPARE(message, QStringLiteral("Выберите сервер из списка"));
        QVERIFY(window.isVisible());
    }

    void fileListErrorStaysWhenReady()
    {
        MainWindow window;
        const QString error = QStringLiteral("Ошибка: не удалось получить список файлов");
        window.syncerSetProgressText(error, QString());
        window.syncerFinish(true);
        // The player may still play, but is not told that the game was checked.
        QVERIFY(window.readyToPlay);
        QVERIFY(window.findChild<QPushButton *>(QStringLiteral("btnJoinGame"))->isEnabled());
        QCOMPARE(renderer(window, "progressBarState1")->labelText(), error);
    }

    void synchronisationRunsReplaceEachOther()
    {
        MainWindow window;
        QSignalSpy spy(&window, &QObject::destroyed);
        // Two runs back to back: the first run's late end must not take the second with it.
        window.startSync();
        window.startSync();
        QTRY_VERIFY(window.readyToPlay);
        QTRY_VERIFY(window.findChildren<QThread *>().isEmpty());
        window.startSync();
        QTRY_VERIFY(window.readyToPlay);
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
