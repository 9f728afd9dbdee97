#include "ui/animcontrols.h"
#include "uitest.h"

#include <QtTest>

class TestAnimControls : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { UiTest::loadResources(); }

    void textThatDoesNotFitEndsInAnEllipsisAfterAWord_data()
    {
        QTest::addColumn<QSize>("box");
        QTest::addColumn<double>("factor");
        QTest::addColumn<int>("alignment");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("elided");
        const QString words = QStringLiteral(
            "Две новые фракции и переработанная система работ ждут вас на всех серверах проекта");
        QTest::newRow("one line") << QSize(170, 20) << 4.0 << int(Qt::AlignLeft | Qt::AlignVCenter)
                                  << words << true;
        QTest::newRow("wrapped") << QSize(175, 40) << 5.5
                                 << int(Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap)
                                 << words + QLatin1Char(' ') + words << true;
        QTest::newRow("fits") << QSize(175, 40) << 5.5
                              << int(Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap)
                              << QStringLiteral("Две новые фракции") << false;
    }

    void textThatDoesNotFitEndsInAnEllipsisAfterAWord()
    {
        QFETCH(QSize, box);
        QFETCH(double, factor);
        QFETCH(int, alignment);
        QFETCH(QString, text);
        QFETCH(bool, elided);
        QLabel placeholder;
        placeholder.resize(box);
        const QFont font(QStringLiteral("Montserrat"), 38, 60);
        const auto drawn = [&](const QString &shown, bool elide) {
            auto *label = new CustomLabel(&placeholder, factor);
            label->setElided(elide);
            label->setLook(font, Qt::white, alignment, shown);
            label->draw();
            return label->pixmap(Qt::ReturnByValue).toImage();
        };
        const QImage shown = drawn(text, true);
        // Drawn as it is, the text would be cut off at the edge.
        QCOMPARE(shown == drawn(text, false), !elided);
        // The same picture as some leading words plus "…" drawn as they are (or the whole text).
        const QStringList words = text.split(QLatin1Char(' '));
        QString match;
        for (int n = 1; n <= words.size() && match.isEmpty(); ++n) {
            const QString candidate = words.mid(0, n).join(QLatin1Char(' '))
                + (n < words.size() ? QStringLiteral("\u2026") : QString());
            if (drawn(candidate, false) == shown)
                match = candidate;
        }
        QVERIFY(!match.isEmpty());
        QCOMPARE(match.endsWith(QChar(0x2026)), elided);
    }
};

QTEST_MAIN(TestAnimControls)
#include "tst_animcontrols.moc"
