#pragma once

#include "service/releasesignature.h"

#include <QEventLoop>
#include <QObject>
#include <QString>

class QFile;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;
class QUrl;

// The launcher's self-update, run by the start-up loader on its thread: asks the service
// whether a newer launcher is due and, if so, downloads its installer over HTTPS, retrying a
// few times, and starts it detached. Reports through setState() and setProgress().
class SelfUpdate : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        QString launcherDir; // where the installer goes; the executable's directory if empty
        int requestTimeoutMs = 3000; // per attempt of the update check
        int watchdogIntervalMs = 1000; // one stall / retry tick
        int installDelayMs = 1000; // pause between the finished download and the start
        // With a release key (raw Ed25519), the installer starts only when download_url + ".sig"
        // is a valid signature of it as the announced version, and that version is newer.
        QByteArray releasePublicKey = ReleaseSignature::builtInKey();
    };

    explicit SelfUpdate(const Options &options, QObject *parent = nullptr);
    ~SelfUpdate() override;

    // The "updates" call to the service at baseUrl; sets the three fields below.
    void checkUpdates(const QString &baseUrl);
    // Downloads until an attempt succeeds, then starts the installer. Returns false without
    // starting anything when the installer file cannot be written, maxAttempts attempts
    // failed, a release key is set and the installer's signature does not verify (the
    // installer is then deleted), the installer does not start, or the launcher stops.
    bool downloadAndInstall();

    bool updateRequired = false;
    QString latestVersion;
    QString downloadUrl;

    QString installerPath() const;
    // "<received>/<total> МБ" in MiB with two decimals.
    static QString progressText(qint64 bytesRead, qint64 totalBytes);

    static constexpr qint64 readBufferBytes = 5 * 1024 * 1024;
    // Far above any installer of the launcher.
    static constexpr qint64 maxInstallerBytes = 512 * 1024 * 1024;
    static constexpr int stallLimitTicks = 10;
    static constexpr int retryWaitTicks = 3;
    static constexpr int maxRedirects = 10;
    // An address that is refused or broken stays so: the player is not kept waiting for it.
    static constexpr int maxAttempts = 5;
    // Shown when the installer file could not be reopened after a redirect.
    static constexpr int fileErrorCode = 99;

signals:
    void setState(const QString &left, const QString &right);
    void setProgress(quint64 currentValue, quint64 maxValue);

public slots:
    void networkFinished();
    void networkReadyRead();
    void networkProgress(qint64 bytesRead, qint64 totalBytes);
    void networkUpdate();

private:
    bool startAttempt();
    void send(const QUrl &url);
    bool appendAvailable();
    void failAttempt(int errorCode);
    void endLoop();
    void releaseReply();
    void releaseFile();
    bool installerSigned();
    bool startInstaller();

    Options options;
    QNetworkAccessManager *manager = nullptr;
    QNetworkReply *reply = nullptr;
    QFile *file = nullptr;
    // A child, so that it moves to the loader's thread with its owner.
    QEventLoop eventLoop { this };
    bool downloadFailed = false;
    int retryCountdown = 0;
    int lastError = 0;
    int stallTicks = 0;
    QTimer *watchdog = nullptr;
    int redirects = 0;
    bool writeFailed = false;
    qint64 written = 0; // body bytes of the current hop
    bool attemptSucceeded = false;
    bool loopEndedHere = false;
};
