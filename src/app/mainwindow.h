#pragma once

#include "ui/overlayhost.h"

#include <QMainWindow>
#include <QPixmap>
#include <QPoint>
#include <QString>
#include <QVector>

namespace Ui {
class MainWindow;
}

class AnimBgButton;
class FocusMark;
class CustomLabel;
class GameSettings;
class LoadThread;
class NewsList;
class QGraphicsDropShadowEffect;
class QThread;
class ServerList;
class SyncThread;

// The launcher's only window and the owner of its flow: loading, synchronisation, progress
// area, join and shutdown.
class MainWindow : public QMainWindow, public OverlayHost
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    void startLoader();
    void startSync();
    void setOverlay(bool on) override;

    QString gameDir;
    bool readyToPlay = false;

    ServerList *serverList() const { return servers; }
    NewsList *newsList() const { return news; }
    GameSettings *gameSettings() const { return settings; }
    int overlayCount() const { return overlays; }

    // The stored nickname as the field shows it: letters and "_" only, no "_" at the ends.
    static QString prefilledNickname(const QString &stored);
    // Pixel width of the progress fill for current of maximum (0..470).
    static int progressFillWidth(quint64 currentValue, quint64 maxValue);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void showEvent(QShowEvent *event) override;

public slots:
    void btnExitClick();
    void btnHideClick();
    void btnSettingsClick();
    void btnJoinGameClick(bool checked);
    void btnRefreshClick(bool checked);
    void serverListLoaded();
    void newsListLoaded();
    void newsImageLoaded(uint idx, const QImage &image);
    void loadFinish();
    void updateFailed(bool installerStarted);
    void gameStartFinished();
    void syncerFinish(bool ready);
    void syncerThreadFinished();
    void syncerSetProgressText(const QString &left, const QString &right);
    void syncerSetProgressState(quint64 currentValue, quint64 maxValue);
    void btnRetryClick();

private:
    struct SyncRun
    {
        QThread *thread = nullptr;
        SyncThread *worker = nullptr;
    };

    void setUpDecorations();
    void connectWebLink(QWidget *button, const QString &url);
    void gameStartRefused(const QString &message);
    void setUpKeyboard();
    void setUpNickname();
    // A run that ended without checking the game: the bar turns to an error with "Повторить"
    // and hint as its second line.
    void showFailure(const QString &hint);
    void clearFailure();
    void nicknameRefused();

    Ui::MainWindow *ui;
    bool dragging = false;
    QPoint pressPosition;
    GameSettings *settings = nullptr;
    AnimBgButton *joinButton = nullptr;
    ServerList *servers = nullptr;
    NewsList *news = nullptr;
    QThread *loaderThread = nullptr;
    LoadThread *loader = nullptr;
    SyncRun sync;
    // Runs replaced by a newer one whose threads have not finished yet.
    QVector<SyncRun> retiredRuns;
    CustomLabel *serversTitle = nullptr;
    CustomLabel *newsTitle = nullptr;
    CustomLabel *buildText = nullptr;
    CustomLabel *nicknameTitle = nullptr;
    CustomLabel *progressLeft = nullptr;
    CustomLabel *progressRight = nullptr;
    CustomLabel *failureText = nullptr; // the left text beside "Повторить"
    AnimBgButton *retryButton = nullptr;
    FocusMark *focusMark = nullptr;
    bool newsAnswered = false;
    QGraphicsDropShadowEffect *progressShadow = nullptr;
    QString lastLeft;
    QString lastRight;
    int overlays = 0;
};
