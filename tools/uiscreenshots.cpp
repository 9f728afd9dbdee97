// Renders the launcher's windows with made-up content into PNG files, for the README and for
// checking the look without a display: the main window while loading, downloading, offline and
// ready, the settings dialog and the message kinds.
//
//     QT_QPA_PLATFORM=offscreen build/tools/korvina-ui-screenshots docs/screenshots
//
// Under X (Xvfb) the pictures are taken from the screen with ImageMagick's import, so that
// they show what the windows really painted, faults of partial repaints included.

#include "app/mainwindow.h"
#include "settings/gamesettings.h"
#include "settings/settingsdialog.h"
#include "ui/messagedialog.h"
#include "ui/newslist.h"
#include "ui/resources.h"
#include "ui/serverlist.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEnterEvent>
#include <QFontDatabase>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QKeyEvent>
#include <QProcess>
#include <QRadialGradient>
#include <QTemporaryDir>
#include <QTextStream>

#include <cmath>

namespace {

void settle(int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

// A stand-in news picture: a sky, a sun and a skyline, in colours picked by the seed.
QImage newsPicture(int seed)
{
    static const QColor skies[][2] = {
        { QColor(255, 140, 90), QColor(120, 40, 140) },
        { QColor(60, 190, 255), QColor(20, 60, 160) },
        { QColor(255, 200, 80), QColor(230, 80, 60) },
        { QColor(120, 255, 200), QColor(20, 100, 140) },
    };
    QImage image(180, 120, QImage::Format_ARGB32_Premultiplied);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, 120);
    sky.setColorAt(0, skies[seed % 4][1]);
    sky.setColorAt(1, skies[seed % 4][0]);
    p.fillRect(image.rect(), sky);
    QRadialGradient sun(130 - seed * 17 % 80, 60, 30);
    sun.setColorAt(0, QColor(255, 250, 220));
    sun.setColorAt(0.5, QColor(255, 230, 170, 200));
    sun.setColorAt(1, QColor(255, 230, 170, 0));
    p.fillRect(image.rect(), sun);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(15, 20, 50, 230));
    int x = 0;
    int step = 7 + seed;
    while (x < 180) {
        const int w = 10 + (x * 7 + step * 13) % 18;
        const int h = 20 + (x * 11 + step * 5) % 45;
        p.drawRect(x, 120 - h, w, h);
        x += w + 2;
        step += 3;
    }
    return image;
}

bool onScreen()
{
    return QGuiApplication::platformName() == QLatin1String("xcb");
}

// The window as the screen shows it, dialogs above it included.
QImage shoot(QWidget &window)
{
    if (!onScreen())
        return window.grab().toImage();
    settle(200);
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("screen.png"));
    QProcess::execute(QStringLiteral("import"),
        { QStringLiteral("-window"), QStringLiteral("root"), file });
    const qreal ratio = window.devicePixelRatioF();
    const QRect area(window.geometry().topLeft() * ratio, window.geometry().size() * ratio);
    return QImage(file).copy(area);
}

// tabs: how often Tab is pressed in the dialog before the picture is taken.
QImage grabWithDialog(MainWindow &window, QDialog &dialog, int tabs = 0)
{
    window.setOverlay(true);
    dialog.show();
    const QPoint centre = window.geometry().center() + QPoint(0, 10);
    dialog.move(centre - QPoint(dialog.width() / 2, dialog.height() / 2));
    // Without a window manager nothing activates a window but a request for the input focus.
    if (onScreen())
        QProcess::execute(QStringLiteral("xdotool"),
            { QStringLiteral("windowfocus"), QString::number(dialog.winId()) });
    settle(300);
    for (int i = 0; i < tabs; ++i) {
        QWidget *focus = QApplication::focusWidget();
        QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
        QApplication::sendEvent(focus ? focus : &dialog, &tab);
        settle(100);
    }
    QImage shot;
    if (onScreen()) {
        shot = shoot(window);
    } else {
        shot = window.grab().toImage();
        const QImage top = dialog.grab().toImage();
        QPainter p(&shot);
        p.drawImage((shot.width() - top.width()) / 2, (shot.height() - top.height()) / 2 + 10, top);
    }
    dialog.hide();
    window.setOverlay(false);
    return shot;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    initLauncherResources();
    for (const QString &font : QDir(QStringLiteral(":/fonts")).entryList())
        QFontDatabase::addApplicationFont(QStringLiteral(":/fonts/") + font);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots");
    QDir().mkpath(out);
    const auto save = [&out](const QImage &image, const char *name) {
        const QString path = out + QLatin1Char('/') + QLatin1String(name);
        image.save(path);
        QTextStream(stdout) << path << '\n';
    };

    MainWindow window;
    window.setWindowFlags(Qt::FramelessWindowHint);
    window.show();
    settle(300);
    save(shoot(window), "mainwindow-loading.png");

    struct Server
    {
        const char *name;
        int players, total;
    };
    const Server servers[] = { { "Korvina #1", 734, 1000 }, { "Korvina #2", 412, 1000 },
        { "Korvina #3", 1000, 1000 }, { "Korvina #4", 57, 500 }, { "Korvina Test", 0, 0 } };
    ServerList *list = window.serverList();
    list->setQueryFactory({});
    for (const Server &server : servers)
        list->addElement(QString::fromLatin1(server.name), QStringLiteral("127.0.0.1"), 7777);
    for (int i = 0; i < int(std::size(servers)); ++i)
        list->card(i)->infoUpdated(servers[i].players, servers[i].total);
    list->serverClicked(1);

    const char *const news[][3] = {
        { "Открытие зимнего сезона",
            "На всех серверах выпал снег: включите зимний модпак в "
            "настройках лаунчера, чтобы увидеть город в новом свете.",
            "12.12" },
        { "Обновление 2.0: новые фракции и работы в Лос-Сантосе",
            "Две новые фракции, переработанная система работ и десятки исправлений. Подробности "
            "и полный список изменений читайте на форуме проекта.",
            "05.12" },
        { "Турнир гонщиков", "Регистрация на ночные гонки по Сан-Фиерро открыта до пятницы.",
            "28.11" },
        { "Технические работы", "В четверг с 6:00 до 8:00 по Москве сервера будут недоступны.",
            "20.11" },
        { "Конкурс скриншотов", "Лучшие кадры недели попадут на главную страницу сайта.", "14.11" },
    };
    NewsList *newsList = window.newsList();
    for (const auto &item : news)
        newsList->addNews(QString::fromUtf8(item[0]), QString::fromUtf8(item[1]),
            QString::fromUtf8(item[2]), QStringLiteral("https://example.org/news"));
    window.newsListLoaded();
    for (int i = 0; i < int(std::size(news)); ++i)
        window.newsImageLoaded(uint(i), newsPicture(i));
    window.syncerSetProgressText(QStringLiteral("Проверка файлов игры..."),
        QStringLiteral("models/gta3.img - 412 МБ из 1.2 ГБ"));
    window.syncerSetProgressState(34, 100);
    settle(1800);
    save(shoot(window), "mainwindow-syncing.png");

    window.syncerSetProgressText(
        QStringLiteral("Скачивание pack_2026/textures/vehicles/infernus_tuned_body_diffuse.txd: "
                       "нет связи с сервером файлов, повтор через 12..."),
        QStringLiteral("1.20/4.50 МБ (? МБ/с)"));
    settle(300);
    save(shoot(window), "mainwindow-retrying.png");

    // Offline: the list could not be fetched, the game may be played as it is.
    window.syncerSetProgressText(
        QStringLiteral("Ошибка: не удалось получить список файлов"), QString());
    window.syncerFinish(true);
    settle(400);
    save(shoot(window), "mainwindow-offline.png");
    window.btnRetryClick();
    settle(300);

    window.syncerFinish(true);
    settle(400);
    save(shoot(window), "mainwindow-ready.png");

    // The hover looks: a header link's frame, a server card and the join button.
    const auto hover = [](QWidget *widget) {
        QEnterEvent event(QPointF(1, 1), QPointF(1, 1), QPointF(widget->mapToGlobal(QPoint(1, 1))));
        QApplication::sendEvent(widget, &event);
    };
    hover(window.findChild<QWidget *>(QStringLiteral("forumBtn")));
    hover(window.findChild<QWidget *>(QStringLiteral("btnJoinGame")));
    hover(window.findChild<QWidget *>(QStringLiteral("btnRefresh")));
    settle(400);
    save(shoot(window), "mainwindow-hover.png");
    const auto unhover = [](QWidget *widget) {
        QEvent event(QEvent::Leave);
        QApplication::sendEvent(widget, &event);
    };
    unhover(window.findChild<QWidget *>(QStringLiteral("forumBtn")));
    unhover(window.findChild<QWidget *>(QStringLiteral("btnJoinGame")));
    unhover(window.findChild<QWidget *>(QStringLiteral("btnRefresh")));
    settle(400);

    QTemporaryDir documents;
    GameSettings settings(documents.path());
    SettingsDialog dialog(&settings, SettingsDialog::Repair(), &window);
    dialog.setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    save(grabWithDialog(window, dialog), "settings.png");
    // The keyboard's round through the dialog: the mark moves, nothing else may change.
    save(grabWithDialog(window, dialog, 3), "settings-keyboard.png");

    const struct
    {
        int kind;
        int question;
        const char *text;
        const char *file;
    } messages[] = {
        { MessageDialog::Information, 0, "Игра ещё не готова. Пожалуйста, подождите.",
            "message-information.png" },
        { MessageDialog::Warning, 1, "Найдена новая версия лаунчера. Установить её сейчас?",
            "message-warning.png" },
        { MessageDialog::Error, 0, "Лаунчер уже запущен", "message-error.png" },
        { MessageDialog::Error, 0,
            "Не удалось загрузить обновление лаунчера. Вы можете продолжить игру с текущей "
            "версией.",
            "message-update-failed.png" },
    };
    for (const auto &message : messages) {
        MessageDialog box(&window);
        box.setKind(message.kind);
        box.setQuestion(message.question);
        box.setText(QString::fromUtf8(message.text));
        box.setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
        save(grabWithDialog(window, box), message.file);
    }
    return 0;
}
