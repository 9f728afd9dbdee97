#include "ui/animcontrols.h"
#include "ui/textfit.h"
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
            label->setFit(elide ? CustomLabel::Fit::Words : CustomLabel::Fit::Clip);
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

    void pathGivesWayInItsMiddle_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("room"); // characters
        QTest::addColumn<QString>("shown");
        const QString failed = QStringLiteral(
            "Скачивание pack_2026/textures/vehicles/infernus_body.txd: нет связи с сервером "
            "файлов, повтор через 12...");
        QTest::newRow("fits") << failed << 200 << failed;
        QTest::newRow("a directory goes first")
            << failed << 98
            << QStringLiteral("Скачивание pack_2026/…/vehicles/infernus_body.txd: нет связи с "
                              "сервером файлов, повтор через 12...");
        QTest::newRow("then the others")
            << failed << 90
            << QStringLiteral("Скачивание pack_2026/…/infernus_body.txd: нет связи с сервером "
                              "файлов, повтор через 12...");
        QTest::newRow("then the first one")
            << failed << 80
            << QStringLiteral("Скачивание …/infernus_body.txd: нет связи с сервером файлов, "
                              "повтор через 12...");
        QTest::newRow("then the front of the name")
            << failed << 69
            << QStringLiteral("Скачивание …body.txd: нет связи с сервером файлов, повтор через 12...");
        QTest::newRow("an archive's element")
            << QStringLiteral("Скачивание infernus.txd (models/cars/gta3.img)...") << 46
            << QStringLiteral("Скачивание infernus.txd (models/…/gta3.img)...");
        QTest::newRow("no path: words") << QStringLiteral("Проверка целостности старой копии игры")
                                        << 30 << QStringLiteral("Проверка целостности старой…");
    }

    void pathGivesWayInItsMiddle()
    {
        QFETCH(QString, text);
        QFETCH(int, room);
        QFETCH(QString, shown);
        const auto fits = [room](const QString &candidate) { return candidate.size() <= room; };
        QString fitted = fits(text) ? text : TextFit::path(text, fits);
        if (fitted.isEmpty())
            fitted = TextFit::words(text, fits);
        QCOMPARE(fitted, shown);
    }
};

QTEST_MAIN(TestAnimControls)
#include "tst_animcontrols.moc"
