#include "app/mainwindow.h"

#include "app/buildinfo.h"
#include "app/gamestarter.h"
#include "app/logcategories.h"
#include "app/runstate.h"
#include "buildconfig.h"
#include "platform/platform.h"
#include "service/loadthread.h"
#include "settings/gamesettings.h"
#include "settings/settingsdialog.h"
#include "sync/syncthread.h"
#include "ui/animcontrols.h"
#include "ui/focusmark.h"
#include "ui/images.h"
#include "ui/messagedialog.h"
#include "ui/newslist.h"
#include "ui/serverlist.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QGraphicsDropShadowEffect>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QThread>

#include <cmath>

namespace {

const int progressFullWidth = 470;

// Stops a worker thread: asks it to leave its event loop and polls until it has.
void stopThread(QThread *thread)
{
    if (!thread || !thread->isRunning())
        return;
    thread->requestInterruption();
    thread->quit();
    while (!thread->wait(100)) {
    }
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
{
    settings = new GameSettings;
    ui->setupUi(this);
    setCentralWidget(ui->centralWidget);

    servers = new ServerList(ui->serverListWidget);
    news = new NewsList(ui->newsListWidget);

    ui->nicknameField->setValidator(new QRegularExpressionValidator(
            QRegularExpression(QStringLiteral("[A-Za-z_]{3,20}")), ui->nicknameField));
    setUpNickname();

    ui->overlayWidget->resize(900, 500);
    ui->overlayWidget->hide();

    setUpDecorations();

    const QString site = QStringLiteral("https://") + QLatin1String(BuildConfig::siteHost);
    connectWebLink(ui->siteBtn, site + QLatin1Char('/'));
    connectWebLink(ui->forumBtn,
                   QStringLiteral("https://") + QLatin1String(BuildConfig::forumHost) + QLatin1Char('/'));
    connectWebLink(ui->donateBtn, site + QStringLiteral("/donate"));

    const QString nickname = prefilledNickname(Platform::readPlayerName());
    if (!nickname.isEmpty())
        ui->nicknameField->setText(nickname);

    connect(ui->btnExitTrigger, &QPushButton::released, this, &MainWindow::btnExitClick);
    connect(ui->btnHideTrigger, &QPushButton::released, this, &MainWindow::btnHideClick);
    connect(ui->settingsBtnTrigger, &QPushButton::released, this, &MainWindow::btnSettingsClick);
    connect(ui->btnJoinGame, &QPushButton::clicked, this, &MainWindow::btnJoinGameClick);
    connect(ui->btnRefresh, &QPushButton::clicked, this, &MainWindow::btnRefreshClick);
    connect(ui->btnRetry, &QPushButton::clicked, this, &MainWindow::btnRetryClick);
    setUpKeyboard();

    gameDir = QCoreApplication::applicationDirPath() + QStringLiteral("/gtacr");
    if (!QDir(gameDir).exists())
        QDir().mkpath(gameDir);
}

MainWindow::~MainWindow()
{
    quitRequested = true;
    stopThread(loaderThread);
    stopThread(sync.thread);
    for (const SyncRun &run : qAsConst(retiredRuns))
        stopThread(run.thread);

    delete loaderThread;
    delete loader;
    delete sync.worker;
    delete sync.thread;
    for (const SyncRun &run : qAsConst(retiredRuns)) {
        delete run.worker;
        delete run.thread;
    }
    delete settings;
    delete ui;
}

void MainWindow::setUpDecorations()
{
    const QString montserrat = QStringLiteral("Montserrat");
    setMouseTracking(true);
    ui->serverListWidget->setMouseTracking(true);
    ui->newsListWidget->setMouseTracking(true);

    // The images are drawn by code at the screen's density (Picture), not by the style sheets.
    auto *body = new Picture(
        QStringLiteral(":/images/body.png"), ui->centralWidget, Qt::AlignLeft | Qt::AlignTop);
    body->setGeometry(0, 0, 900, 550);
    body->lower();
    new Picture(QStringLiteral(":/images/logo.png"), ui->headerLogo);
    new Picture(QStringLiteral(":/images/close_h.png"), ui->btnExitTrigger);
    new Picture(QStringLiteral(":/images/minimize_h.png"), ui->btnHideTrigger);
    new Picture(QStringLiteral(":/images/settings_h.png"), ui->settingsBtnTrigger,
        Qt::AlignRight | Qt::AlignVCenter);
    new Picture(
        QStringLiteral(":/images/refresh.png"), ui->btnRefresh, Qt::AlignLeft | Qt::AlignVCenter);

    for (QPushButton *button :
         { ui->btnExitTrigger, ui->btnHideTrigger, ui->settingsBtnTrigger, ui->btnRefresh })
        new AnimButton(button);
    ui->btnRefresh->setCursor(Qt::PointingHandCursor);

    ui->btnJoinGame->setFont(QFont(montserrat, 10, 75));
    ui->btnJoinGame->setCursor(Qt::PointingHandCursor);
    ui->btnJoinGame->lower();
    joinButton = new AnimBgButton(ui->btnJoinGame);
    joinButton->setBackgroundColors(QColor(38, 239, 94, 0), QColor(38, 239, 94, 255));
    joinButton->setOutlineColors(QColor(255, 255, 255, 255), QColor(38, 239, 94, 255));
    joinButton->setEnabled(false);

    for (QPushButton *button : { ui->siteBtn, ui->forumBtn, ui->donateBtn }) {
        button->setFont(QFont(montserrat, 9, 57));
        button->setCursor(Qt::PointingHandCursor);
        auto *hover = new HeaderButton(button);
        hover->setStyleSheet(QStringLiteral("background: rgba(11, 34, 85, 250);"));
        new Picture(QStringLiteral(":/images/headerBtnHover.png"), hover,
            Qt::AlignBottom | Qt::AlignHCenter);
        hover->show();
    }

    ui->korvinaLabel->setFont(QFont(montserrat, 11, 75));
    ui->launcherLabel->setFont(QFont(montserrat, 11, 35));
    ui->launcherLabel->setStyleSheet(QStringLiteral("color: rgba(255, 255, 255, 128);"));
    ui->settingsBtnTrigger->setFont(QFont(montserrat, 10, 45));
    ui->btnRefresh->setFont(QFont(montserrat, 10, 45));
    ui->settingsBtnTrigger->setCursor(Qt::PointingHandCursor);

    const auto makeLabel = [&](QLabel *placeholder, int size, int weight, const QColor &color,
                               Qt::Alignment alignment, const QString &text) {
        auto *label = new CustomLabel(placeholder, 5);
        label->setLook(QFont(montserrat, size, weight), color, int(alignment), text);
        return label;
    };
    const Qt::Alignment leftBottom = Qt::AlignLeft | Qt::AlignBottom;
    serversTitle = makeLabel(ui->serversLabel, 80, 75, Qt::white, leftBottom,
                             QStringLiteral("Сервера"));
    newsTitle = makeLabel(ui->newsLabel, 80, 75, Qt::white, leftBottom, QStringLiteral("Новости"));
    buildText = makeLabel(ui->buildLabel, 40, 50, QColor(255, 255, 255, 75), leftBottom,
                          QStringLiteral("Версия %1 от %2")
                                  .arg(BuildInfo::launcherVersion(),
                                       BuildInfo::formatBuildDate(BuildInfo::buildDate())));
    ui->nicknameLabel->setText(QString());
    nicknameTitle = makeLabel(ui->nicknameLabel, 50, 75, Qt::white, leftBottom,
                              QStringLiteral("Ваш никнейм"));
    // Montserrat's bold Cyrillic runs about 3 px wider than this placeholder; a barely visible
    // tightening keeps the last letter from being cut off.
    QFont nicknameFont = nicknameTitle->labelFont();
    nicknameFont.setLetterSpacing(QFont::PercentageSpacing, 96);
    nicknameTitle->setLabelFont(nicknameFont);
    progressLeft = makeLabel(ui->progressBarState1, 40, 75, Qt::white, Qt::AlignCenter,
                             QString());
    progressShadow = new QGraphicsDropShadowEffect(progressLeft);
    progressShadow->setBlurRadius(2);
    progressShadow->setColor(QColor(QStringLiteral("#000000")));
    progressShadow->setOffset(1, 1);
    progressLeft->setGraphicsEffect(progressShadow);
    progressRight = makeLabel(ui->progressBarState2, 30, 50, Qt::white, Qt::AlignCenter,
                              QString());
    // A transfer's text names a file deep in the game's tree, then why and when it is retried:
    // what does not fit gives way in the middle of the path.
    progressLeft->setFit(CustomLabel::Fit::Path);
    progressRight->setFit(CustomLabel::Fit::Path);
    failureText = makeLabel(ui->progressBarError, 40, 75, Qt::white, Qt::AlignCenter, QString());
    failureText->setFit(CustomLabel::Fit::Path);
    ui->progressBarError->hide();
    ui->btnRetry->setFont(QFont(montserrat, 8, 57));
    ui->btnRetry->setCursor(Qt::PointingHandCursor);
    retryButton = new AnimBgButton(ui->btnRetry);
    retryButton->setBackgroundColors(QColor(15, 41, 98, 255), QColor(0, 163, 255, 255));
    ui->btnRetry->hide();
    syncerSetProgressText(QStringLiteral("Загрузка списка серверов и новостей..."), QString());
}

void MainWindow::setUpNickname()
{
    // The rule stands beside the field, and turns to what was refused when a key is.
    ui->nicknameHint->setFont(QFont(QStringLiteral("Montserrat"), 8, 50));
    ui->nicknameHint->setStyleSheet(QStringLiteral("color: rgba(255, 255, 255, 110);"));
    connect(ui->nicknameField, &QLineEdit::inputRejected, this, &MainWindow::nicknameRefused);
    // The example must not look like a name already typed in. After the style sheet's polish,
    // which would give it the text's own colour.
    ui->nicknameField->ensurePolished();
    QPalette palette = ui->nicknameField->palette();
    palette.setColor(QPalette::PlaceholderText, QColor(255, 255, 255, 90));
    ui->nicknameField->setPalette(palette);
    connect(ui->nicknameField, &QLineEdit::textEdited, this, [this] {
        ui->nicknameHint->setText(QStringLiteral("Латиница и «_», 3–20"));
        ui->nicknameHint->setStyleSheet(QStringLiteral("color: rgba(255, 255, 255, 110);"));
    });
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui->nicknameField && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            btnJoinGameClick(false);
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::nicknameRefused()
{
    const bool full = ui->nicknameField->text().length() >= 20
            && !ui->nicknameField->hasSelectedText();
    ui->nicknameHint->setText(full ? QStringLiteral("Не больше 20 символов")
                                   : QStringLiteral("Только латиница и «_»"));
    ui->nicknameHint->setStyleSheet(QStringLiteral("color: #FFC700;"));
}

void MainWindow::setUpKeyboard()
{
    focusMark = new FocusMark(this);
    // Return joins from the field and from the button; the window's other buttons take it too.
    // Through a filter, not returnPressed(): that is only sent for a name the rule accepts,
    // and a refused one must be told why.
    ui->nicknameField->installEventFilter(this);
    const QList<QPushButton *> buttons = { ui->siteBtn, ui->forumBtn, ui->donateBtn,
                                           ui->settingsBtnTrigger, ui->btnHideTrigger,
                                           ui->btnExitTrigger, ui->btnRefresh, ui->btnJoinGame,
                                           ui->btnRetry };
    for (QPushButton *button : buttons) {
        button->setAutoDefault(true);
        button->setFocusPolicy(Qt::StrongFocus);
    }
    // Reading order: the header from left to right, then the servers' column from top to
    // bottom; the news cards, made later, come last.
    QList<QWidget *> order;
    for (QPushButton *button : buttons)
        order.append(button);
    order.insert(7, ui->nicknameField);
    for (int i = ServerList::cardCount - 1; i >= 0; --i)
        order.insert(7, servers->card(i));
    for (int i = 1; i < order.size(); ++i)
        setTabOrder(order.at(i - 1), order.at(i));
}

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    // The window opens where the player types: the nickname, and Return joins from there.
    // Not earlier: a change of the window's flags before it is shown takes the focus away.
    if (!focusWidget())
        ui->nicknameField->setFocus(Qt::OtherFocusReason);
}

void MainWindow::connectWebLink(QWidget *button, const QString &url)
{
    connect(static_cast<QPushButton *>(button), &QPushButton::clicked, this,
            [url] { Platform::openUrl(url); });
}

QString MainWindow::prefilledNickname(const QString &stored)
{
    QString nickname;
    for (const QChar c : stored) {
        const ushort u = c.unicode();
        if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || u == '_')
            nickname.append(c);
    }
    while (nickname.endsWith(QLatin1Char('_')))
        nickname.chop(1);
    while (nickname.startsWith(QLatin1Char('_')))
        nickname.remove(0, 1);
    return nickname.simplified();
}

int MainWindow::progressFillWidth(quint64 currentValue, quint64 maxValue)
{
    if (maxValue == 0)
        return 0;
    const double ratio = double(currentValue) / double(maxValue);
    if (ratio > 1)
        return progressFullWidth;
    return int(std::floor(progressFullWidth * ratio));
}

void MainWindow::startLoader()
{
    loaderThread = new QThread;
    loader = new LoadThread(news);
    loader->moveToThread(loaderThread);
    connect(loaderThread, &QThread::started, loader, &LoadThread::start);
    connect(loader, &LoadThread::serverListAdd, servers, &ServerList::addElement);
    connect(loader, &LoadThread::serverListLoaded, this, &MainWindow::serverListLoaded);
    connect(loader, &LoadThread::newsListLoaded, this, &MainWindow::newsListLoaded);
    connect(loader, &LoadThread::newsImageLoaded, this, &MainWindow::newsImageLoaded);
    connect(loader, &LoadThread::loadFinish, this, &MainWindow::loadFinish);
    connect(loader, &LoadThread::updateFailed, this, &MainWindow::updateFailed);
    connect(loader, &LoadThread::setState, this, &MainWindow::syncerSetProgressText);
    connect(loader, &LoadThread::setProgress, this, &MainWindow::syncerSetProgressState);
    loaderThread->start(QThread::InheritPriority);
}

void MainWindow::startSync()
{
    clearFailure();
    readyToPlay = false;
    joinButton->setEnabled(false);
    stopThread(loaderThread);

    // A run still finishing is kept until its own thread reports that it has ended, so that
    // its late finished() can never take the new run with it.
    if (sync.thread)
        retiredRuns.append(sync);

    sync.worker = new SyncThread(gameDir, this);
    connect(sync.worker, &SyncThread::setProgressText, this, &MainWindow::syncerSetProgressText);
    connect(sync.worker, &SyncThread::setProgressState, this,
            &MainWindow::syncerSetProgressState);
    connect(sync.worker, &SyncThread::finish, this, &MainWindow::syncerFinish);
    sync.thread = new QThread(this);
    sync.worker->moveToThread(sync.thread);
    connect(sync.thread, &QThread::started, sync.worker, &SyncThread::start);
    connect(sync.thread, &QThread::finished, this, &MainWindow::syncerThreadFinished);
    sync.thread->start(QThread::InheritPriority);
}

void MainWindow::setOverlay(bool on)
{
    if (on) {
        ++overlays;
        ui->overlayWidget->show();
        ui->overlayWidget->raise();
    } else {
        --overlays;
        if (overlays < 1)
            ui->overlayWidget->hide();
    }
}

void MainWindow::mousePressEvent(QMouseEvent *event)
{
    QMainWindow::mousePressEvent(event);
    if (event->button() == Qt::LeftButton) {
        dragging = true;
        pressPosition = event->pos();
    }
}

void MainWindow::mouseReleaseEvent(QMouseEvent *event)
{
    QMainWindow::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && dragging)
        dragging = false;
}

void MainWindow::mouseMoveEvent(QMouseEvent *event)
{
    QMainWindow::mouseMoveEvent(event);
    if (dragging)
        move(event->globalPos() - pressPosition);
}

void MainWindow::btnExitClick()
{
    quitRequested = true;
    hide();
    QCoreApplication::quit();
}

void MainWindow::btnHideClick()
{
    showMinimized();
}

void MainWindow::btnSettingsClick()
{
    setOverlay(true);
    SettingsDialog::Repair repair;
    repair.readyToPlay = [this] { return readyToPlay; };
    repair.startSync = [this] { startSync(); };
    repair.stateFile = QCoreApplication::applicationDirPath() + QStringLiteral("/korvina_launcher.bin");
    auto *dialog = new SettingsDialog(settings, repair, this);
    dialog->setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    dialog->exec();
    delete dialog;
    setOverlay(false);
}

void MainWindow::btnJoinGameClick(bool)
{
    if (!readyToPlay) {
        showMessage(this, MessageDialog::Information,
                    QStringLiteral("Игра ещё не готова. Пожалуйста, подождите."), 0);
        return;
    }
    const QString nickname = ui->nicknameField->text();
    if (nickname.length() < 3 || nickname.length() > 20) {
        showMessage(this, MessageDialog::Information,
                    QStringLiteral("Укажите никнейм от 3 до 20 символов: латинские буквы и «_», "
                                   "например Ivan_Ivanov"),
                    0);
        return;
    }
    if (servers->currentAddress().isEmpty()) {
        showMessage(this, MessageDialog::Information, QStringLiteral("Выберите сервер из списка"), 0);
        return;
    }
    hide();
    auto *starter = new GameStarter;
    connect(starter, &GameStarter::startFinished, this, &MainWindow::gameStartFinished);
    connect(starter, &GameStarter::startRefused, this, &MainWindow::gameStartRefused);
    connect(starter, &GameStarter::startFinished, starter, &QObject::deleteLater);
    connect(starter, &GameStarter::startRefused, starter, &QObject::deleteLater);
    starter->gameDir = gameDir;
    starter->nickname = nickname;
    starter->host = servers->currentAddress();
    starter->port = QString::number(servers->currentPort());
    starter->start(settings->value(QStringLiteral("reborn"), false));
}

void MainWindow::gameStartRefused(const QString &message)
{
    // Nothing was started: give the player the window back instead of quitting.
    show();
    showMessage(this, MessageDialog::Error, message, 0);
}

void MainWindow::btnRefreshClick(bool)
{
    servers->refreshAll();
}

void MainWindow::serverListLoaded()
{
    servers->restoreSelection();
}

void MainWindow::newsListLoaded()
{
    newsAnswered = true;
    news->build();
    news->reveal();
}

void MainWindow::newsImageLoaded(uint idx, const QImage &image)
{
    news->setPicture(idx, QPixmap::fromImage(image));
}

void MainWindow::updateFailed(bool installerStarted)
{
    showMessage(this, MessageDialog::Error,
                installerStarted
                        ? QStringLiteral("Не удалось установить обновление лаунчера. Вы можете "
                                         "продолжить игру с текущей версией.")
                        : QStringLiteral("Не удалось загрузить обновление лаунчера. Вы можете "
                                         "продолжить игру с текущей версией."),
                0);
}

void MainWindow::loadFinish()
{
    if (news->count() == 0)
        news->setNote(newsAnswered ? QStringLiteral("Новостей пока нет")
                                   : QStringLiteral("Не удалось загрузить новости. Проверьте "
                                                    "подключение к интернету."));
    startSync();
}

void MainWindow::gameStartFinished()
{
    btnExitClick();
}

void MainWindow::syncerFinish(bool ready)
{
    // A worker that was replaced may still report; only the current run decides readiness.
    if (sender() && sender() != sync.worker)
        return;
    if (!ready)
        return;
    readyToPlay = true;
    joinButton->setEnabled(true);
    // A run that could not fetch the file list ends ready too, so that the game can be played
    // as it is; it must not look like "Готово к игре!", which claims a check that never
    // happened.
    if (lastLeft == QString::fromUtf8(SyncThread::fileListError)) {
        qCInfo(lcApp) << "offline: the game can be played as it is, unchecked";
        showFailure(QStringLiteral("Проверьте подключение к интернету. Играть можно и без "
                                   "проверки файлов."));
        return;
    }
    qCInfo(lcApp) << "ready to play";
    syncerSetProgressText(QStringLiteral("Готово к игре!"), QString());
    syncerSetProgressState(100, 100);
}

void MainWindow::syncerThreadFinished()
{
    auto *finished = qobject_cast<QThread *>(sender());
    if (finished && finished == sync.thread) {
        delete sync.worker;
        delete sync.thread;
        sync = SyncRun();
        // Ended without the game ready: the worker's last text says why, and the player may
        // try again without restarting the launcher.
        if (!readyToPlay && !quitRequested) {
            const bool noList = lastLeft == QString::fromUtf8(SyncThread::fileListError);
            qCWarning(lcApp).noquote() << "not ready to play:" << lastLeft;
            showFailure(noList ? QStringLiteral("Игра ещё не скачана: для этого нужно "
                                                "подключение к интернету.")
                               : QStringLiteral("Исправьте причину и нажмите «Повторить»."));
        }
        return;
    }
    for (int i = 0; i < retiredRuns.size(); ++i) {
        if (retiredRuns.at(i).thread == finished) {
            delete retiredRuns.at(i).worker;
            delete retiredRuns.at(i).thread;
            retiredRuns.remove(i);
            return;
        }
    }
}

void MainWindow::showFailure(const QString &hint)
{
    ui->progressBarLayer->setStyleSheet(
            QStringLiteral("#progressBarLayer {\n\tbackground: #C83C3C;\n\tborder-radius: 4px;\n}"));
    syncerSetProgressState(100, 100);
    failureText->setLabelText(lastLeft);
    ui->progressBarError->show();
    ui->progressBarState1->hide();
    syncerSetProgressText(lastLeft, hint);
    ui->btnRetry->show();
    ui->btnRetry->raise();
}

void MainWindow::clearFailure()
{
    if (ui->btnRetry->isHidden())
        return;
    const bool hadFocus = ui->btnRetry->hasFocus();
    ui->btnRetry->hide();
    ui->progressBarError->hide();
    ui->progressBarState1->show();
    ui->progressBarLayer->setStyleSheet(
            QStringLiteral("#progressBarLayer {\n\tbackground: #26EF5E;\n\tborder-radius: 4px;\n}"));
    // The keyboard stays near where it was instead of falling back to the window.
    if (hadFocus)
        ui->nicknameField->setFocus(Qt::OtherFocusReason);
}

void MainWindow::btnRetryClick()
{
    qCInfo(lcApp) << "the player asks to try again";
    startSync();
}

void MainWindow::syncerSetProgressText(const QString &left, const QString &right)
{
    if (left != lastLeft) {
        lastLeft = left;
        progressLeft->setLabelText(left);
    }
    if (right != lastRight) {
        lastRight = right;
        progressRight->setLabelText(right);
    }
}

void MainWindow::syncerSetProgressState(quint64 currentValue, quint64 maxValue)
{
    QRect geometry = ui->progressBarLayer->geometry();
    geometry.setRight(geometry.left() + progressFillWidth(currentValue, maxValue));
    ui->progressBarLayer->setGeometry(geometry);
}
