#include "ui/messagedialog.h"
#include "uitest.h"

#include <QGuiApplication>
#include <QLabel>
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

    static QPushButton *button(MessageDialog *dialog, const char *name)
    {
        return dialog->findChild<QPushButton *>(QLatin1String(name));
    }

    static QWidget *body(MessageDialog *dialog)
    {
        return dialog->findChild<QWidget *>(QStringLiteral("bodyWidget"));
    }

private slots:
    void initTestCase() { UiTest::loadResources(); }

    void kinds_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("look"); // icon|title|accent
        QTest::newRow("information") << 0 << ":/images/info.png|Информация|#00A3FF";
        QTest::newRow("warning") << 1 << ":/images/alert.png|Предупреждение|#FFC700";
        QTest::newRow("error") << 2 << ":/images/error.png|Ошибка|#FF5050";
        QTest::newRow("unknown") << 7 << "||";
    }

    void kinds()
    {
        QFETCH(int, kind);
        QFETCH(QString, look);
        const QStringList parts = look.split(QLatin1Char('|'));
        MessageDialog dialog;
        dialog.setKind(kind);
        QCOMPARE(dialog.title(), parts.at(1));
        QCOMPARE(dialog.findChild<QLabel *>(QStringLiteral("headerLabel"))->styleSheet(),
            QStringLiteral("background-image: url(%1); background-position: left center; "
                           "background-repeat: no-repeat;")
                .arg(parts.at(0)));
        QCOMPARE(body(&dialog)->styleSheet(),
            QStringLiteral("#bodyWidget {background: #0B2255;border-top: 2px solid %1;}")
                .arg(parts.at(2)));
        if (kind < 3)
            QVERIFY(!QPixmap(parts.at(0)).isNull());
    }

    void formLayout()
    {
        MessageDialog dialog;
        QCOMPARE(dialog.size(), QSize(410, 260));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("KorvinaNet"));
        QVERIFY(dialog.testAttribute(Qt::WA_TranslucentBackground));
        const struct
        {
            const char *name;
            QRect geometry;
        } parts[] = {
            { "shadowWidget", QRect(15, 15, 380, 230) },
            { "bodyWidget", QRect(15, 15, 380, 230) },
            { "headerLabel", QRect(60, 20, 260, 31) },
            { "textLabel", QRect(30, 60, 320, 80) },
            { "btnOkTrigger", QRect(110, 160, 160, 40) },
            { "btnYesTrigger", QRect(25, 160, 160, 40) },
            { "btnNoTrigger", QRect(195, 160, 160, 40) },
        };
        for (const auto &part : parts) {
            auto *widget = dialog.findChild<QWidget *>(QLatin1String(part.name));
            QVERIFY2(widget, part.name);
            QCOMPARE(widget->geometry(), part.geometry);
        }
        QCOMPARE(button(&dialog, "btnOkTrigger")->text(), QStringLiteral("Ок"));
        QCOMPARE(button(&dialog, "btnYesTrigger")->text(), QStringLiteral("Да"));
        QCOMPARE(button(&dialog, "btnNoTrigger")->text(), QStringLiteral("Нет"));
        QVERIFY(button(&dialog, "btnNoTrigger")
                    ->styleSheet()
                    .startsWith(QLatin1String(
                        "border-radius: 4px;\ncolor: #ffffff; \nborder: none; \npadding: 0;")));
        // The body lies above the shadow.
        const QObjectList order = dialog.children();
        QVERIFY(order.indexOf(body(&dialog))
            > order.indexOf(dialog.findChild<QWidget *>(QStringLiteral("shadowWidget"))));
    }

    void answers_data()
    {
        QTest::addColumn<int>("question");
        QTest::addColumn<QString>("press");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("visible");
        const QString ok = QStringLiteral("btnOkTrigger");
        const QString yesNo = QStringLiteral("btnNoTrigger btnYesTrigger");
        QTest::newRow("ok") << 0 << ok << 1 << ok;
        QTest::newRow("yes") << 1 << "btnYesTrigger" << 1 << yesNo;
        QTest::newRow("no") << 1 << "btnNoTrigger" << 0 << yesNo;
        QTest::newRow("other set: the form's three")
            << 5 << "btnYesTrigger" << 1 << "btnNoTrigger btnOkTrigger btnYesTrigger";
        QTest::newRow("escape on a question") << 1 << "" << 0 << yesNo;
        QTest::newRow("escape on a message") << 0 << "" << 0 << ok;
    }

    void answers()
    {
        QFETCH(int, question);
        QFETCH(QString, press);
        QFETCH(int, result);
        QFETCH(QString, visible);
        UiTest::OverlayCounter host;
        QString shown;
        QStringList buttons;
        whenModal([&](MessageDialog *dialog) {
            shown = dialog->text();
            for (QPushButton *button : dialog->findChildren<QPushButton *>()) {
                if (button->isVisible())
                    buttons << button->objectName();
            }
            if (press.isEmpty())
                QTest::keyClick(dialog, Qt::Key_Escape);
            else
                QTest::mouseClick(dialog->findChild<QPushButton *>(press), Qt::LeftButton);
        });
        const QString text = QStringLiteral("  \n Продолжить?\n\t ");
        QCOMPARE(showMessage(&host, MessageDialog::Warning, text, question), result);
        QCOMPARE(shown, QStringLiteral("Продолжить?"));
        buttons.sort();
        QCOMPARE(buttons.join(' '), visible);
        QCOMPARE(host.history, (QList<int> { 1, 0 }));
        QVERIFY(!host.findChild<MessageDialog *>());

        // Without a parent nothing is dimmed.
        whenModal([](MessageDialog *dialog) { QTest::keyClick(dialog, Qt::Key_Escape); });
        QCOMPARE(showMessage(nullptr, MessageDialog::Error, text, question), 0);
    }

    void nestedDialogsKeepTheOverlay()
    {
        UiTest::OverlayCounter host;
        QList<int> inner;
        whenModal([&](MessageDialog *outer) {
            whenModal([&](MessageDialog *dialog) {
                inner = host.history;
                QTest::keyClick(dialog, Qt::Key_Escape);
            });
            showMessage(&host, MessageDialog::Information, QStringLiteral("inner"), 0);
            inner.append(host.count);
            outer->reject();
        });
        showMessage(&host, MessageDialog::Information, QStringLiteral("outer"), 0);
        // Counted up to two while both were open, one after the inner closed, none at the end.
        QCOMPARE(inner, (QList<int> { 1, 2, 1 }));
        QCOMPARE(host.count, 0);
    }

    void draggingSpringsBackToKeepHalfOnScreen_data()
    {
        const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
        QTest::addColumn<QPoint>("dropAt");
        QTest::addColumn<QPoint>("settled");
        QTest::newRow("inside") << QPoint(100, 80) << QPoint(100, 80);
        QTest::newRow("far left") << QPoint(-300, 80) << QPoint(-205, 80);
        QTest::newRow("exactly half left") << QPoint(-205, 80) << QPoint(-205, 80);
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
        const QPoint grab(40, 30);
        QMouseEvent press(QEvent::MouseButtonPress, grab, dialog.pos() + grab, Qt::LeftButton,
            Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&dialog, &press);
        QMouseEvent move(
            QEvent::MouseMove, grab, dropAt + grab, Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&dialog, &move);
        QCOMPARE(dialog.pos(), dropAt);
        QMouseEvent release(QEvent::MouseButtonRelease, grab, dropAt + grab, Qt::LeftButton,
            Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(&dialog, &release);
        QCOMPARE(dialog.pos(), settled);

        // Once released, moving the pointer no longer moves the dialog.
        QMouseEvent later(
            QEvent::MouseMove, grab, QPoint(0, 0), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(&dialog, &later);
        QCOMPARE(dialog.pos(), settled);
    }
};

QTEST_MAIN(TestMessageDialog)
#include "tst_messagedialog.moc"
