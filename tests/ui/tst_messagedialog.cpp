#include "ui/messagedialog.h"
#include "uitest.h"

#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QtTest>

#include <functional>

class TestMessageDialog : public QObject
{
    Q_OBJECT

private:
    // Runs action on the dialog that is modal next, from inside its event loop.
    static void whenModal(std::function<void(MessageDialog *)> action)
    {
        QTimer::singleShot(0, [action] {
            auto *dialog = qobject_cast<MessageDialog *>(QApplication::activeModalWidget());
            if (dialog)
                action(dialog);
        });
    }

private slots:
    void initTestCase() { UiTest::loadResources(); }

    void answers_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("question");
        QTest::addColumn<QString>("press");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("shown"); // the title, then the buttons
        const int information = MessageDialog::Information, warning = MessageDialog::Warning;
        const QString ok = QStringLiteral("btnOkTrigger");
        QTest::newRow("ok") << information << 0 << ok << 1 << "Информация btnOkTrigger";
        QTest::newRow("yes") << warning << 1 << "btnYesTrigger" << 1
                             << "Предупреждение btnNoTrigger btnYesTrigger";
        QTest::newRow("no") << int(MessageDialog::Error) << 1 << "btnNoTrigger" << 0
                            << "Ошибка btnNoTrigger btnYesTrigger";
        QTest::newRow("other set: the form's three")
            << warning << 5 << "btnYesTrigger" << 1
            << "Предупреждение btnNoTrigger btnOkTrigger btnYesTrigger";
        QTest::newRow("escape on a question")
            << warning << 1 << "" << 0 << "Предупреждение btnNoTrigger btnYesTrigger";
        QTest::newRow("escape on a message")
            << information << 0 << "" << 0 << "Информация btnOkTrigger";
    }

    void answers()
    {
        QFETCH(int, kind);
        QFETCH(int, question);
        QFETCH(QString, press);
        QFETCH(int, result);
        QFETCH(QString, shown);
        UiTest::OverlayCounter host;
        QString text;
        QStringList seen;
        whenModal([&](MessageDialog *dialog) {
            text = dialog->text();
            for (QPushButton *button : dialog->findChildren<QPushButton *>()) {
                if (button->isVisible())
                    seen << button->objectName();
            }
            seen.sort();
            seen.prepend(dialog->title());
            if (press.isEmpty())
                QTest::keyClick(dialog, Qt::Key_Escape);
            else
                QTest::mouseClick(dialog->findChild<QPushButton *>(press), Qt::LeftButton);
        });
        const QString blanks = QStringLiteral("  \n Продолжить?\n\t ");
        QCOMPARE(showMessage(&host, kind, blanks, question), result);
        QCOMPARE(text, QStringLiteral("Продолжить?"));
        QCOMPARE(seen.join(' '), shown);
        QCOMPARE(host.history, (QList<int> { 1, 0 }));
        QVERIFY(!host.findChild<MessageDialog *>());

        // Without a parent nothing is dimmed.
        whenModal([](MessageDialog *dialog) { QTest::keyClick(dialog, Qt::Key_Escape); });
        QCOMPARE(showMessage(nullptr, kind, blanks, question), 0);
    }

    void draggingSpringsBackToKeepHalfOnScreen_data()
    {
        const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
        QTest::addColumn<QPoint>("dropAt");
        QTest::addColumn<QPoint>("settled");
        QTest::newRow("inside") << QPoint(100, 80) << QPoint(100, 80);
        QTest::newRow("far left") << QPoint(-300, 80) << QPoint(-205, 80);
        QTest::newRow("above") << QPoint(50, -200) << QPoint(50, -130);
        QTest::newRow("right and below") << QPoint(screen.width(), screen.height() + 50)
                                         << QPoint(screen.width() - 205, screen.height() - 130);
    }

    void draggingSpringsBackToKeepHalfOnScreen()
    {
        QFETCH(QPoint, dropAt);
        QFETCH(QPoint, settled);
        MessageDialog dialog;
        dialog.move(10, 10);
        dialog.show();
        // The pointer's place on the screen moves the dialog; the place inside it stays.
        const QPoint grab(40, 30);
        const auto send = [&dialog, grab](QEvent::Type type, const QPoint &at, bool held) {
            const Qt::MouseButton button
                = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
            QMouseEvent event(type, grab, at + grab, button, held ? Qt::LeftButton : Qt::NoButton,
                Qt::NoModifier);
            QApplication::sendEvent(&dialog, &event);
        };
        send(QEvent::MouseButtonPress, dialog.pos(), true);
        send(QEvent::MouseMove, dropAt, true);
        QCOMPARE(dialog.pos(), dropAt);
        send(QEvent::MouseButtonRelease, dropAt, false);
        QCOMPARE(dialog.pos(), settled);
        // Once released, moving the pointer no longer moves the dialog.
        send(QEvent::MouseMove, QPoint(0, 0), false);
        QCOMPARE(dialog.pos(), settled);
    }
};

QTEST_MAIN(TestMessageDialog)
#include "tst_messagedialog.moc"
