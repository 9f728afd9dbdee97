#include "ui/messagedialog.h"
#include "uitest.h"

#include <QPushButton>
#include <QTimer>
#include <QtTest>

class TestMessageDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { UiTest::loadResources(); }

    void answers_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("question");
        QTest::addColumn<QString>("press");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("shown"); // the title, then the buttons
        // The launcher only informs; one row checks a question's two buttons.
        QTest::newRow("ok") << int(MessageDialog::Information) << 0 << "btnOkTrigger" << 1
                            << "Информация btnOkTrigger";
        QTest::newRow("escape") << int(MessageDialog::Error) << 0 << "" << 0
                                << "Ошибка btnOkTrigger";
        QTest::newRow("yes") << int(MessageDialog::Warning) << 1 << "btnYesTrigger" << 1
                             << "Предупреждение btnNoTrigger btnYesTrigger";
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
        // Answered from inside the dialog's event loop.
        QTimer::singleShot(0, [&] {
            auto *dialog = qobject_cast<MessageDialog *>(QApplication::activeModalWidget());
            if (!dialog)
                return;
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
    }
};

QTEST_MAIN(TestMessageDialog)
#include "tst_messagedialog.moc"
