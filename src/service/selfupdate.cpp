#include "service/selfupdate.h"

#include "app/logcategories.h"
#include "app/runstate.h"
#include "buildconfig.h"
#include "files/ownfile.h"
#include "platform/platform.h"
#include "service/httprequest.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <memory>

namespace {

QString mebibytes(qint64 bytes)
{
    return QString::number(double(qMax<qint64>(bytes, 0)) / 1024 / 1024, 'f', 2);
}

} // namespace

SelfUpdate::SelfUpdate(const Options &options, QObject *parent)
    : QObject(parent)
    , options(options)
{
    if (this->options.launcherDir.isEmpty())
        this->options.launcherDir = QCoreApplication::applicationDirPath();
}

SelfUpdate::~SelfUpdate()
{
    releaseReply();
    releaseFile();
}

QString SelfUpdate::installerPath() const
{
    return options.launcherDir + QStringLiteral("/update_installer.exe");
}

QString SelfUpdate::progressText(qint64 bytesRead, qint64 totalBytes)
{
    return QStringLiteral("%1/%2 МБ").arg(mebibytes(bytesRead), mebibytes(totalBytes));
}

void SelfUpdate::checkUpdates(const QString &baseUrl)
{
    HttpRequest request = HttpRequest::serviceCall(baseUrl, QStringLiteral("updates"));
    request.addParam(QStringLiteral("version"), QLatin1String(BuildConfig::launcherVersion));
    if (!request.sendGet(3, options.requestTimeoutMs))
        return;
    if (checkQuit())
        return;
    // The service decides; no versions are compared here.
    const QJsonObject answer = QJsonDocument::fromJson(request.response()).object();
    if (answer.value(QLatin1String("act")).toString().toLower() != QLatin1String("update"))
        return;
    updateRequired = true;
    latestVersion = answer.value(QLatin1String("latest_version")).toString();
    downloadUrl = answer.value(QLatin1String("download_url")).toString();
    qCInfo(lcUpdate).noquote() << "the service announces launcher" << latestVersion << "at"
                               << QUrl(downloadUrl).adjusted(QUrl::RemoveQuery | QUrl::RemoveUserInfo).toString();
}

bool SelfUpdate::downloadAndInstall()
{
    emit setState(QStringLiteral("Загрузка обновления..."), QString());
    for (int failed = 0;; ++failed) {
        if (failed == maxAttempts)
            return false;
        if (checkQuit())
            return false;
        if (!startAttempt())
            return false;
        eventLoop.exec();
        delete watchdog;
        watchdog = nullptr;
        // The loop also ends when the thread is told to quit; an attempt cut off that way is
        // neither a success nor a failure to retry.
        if (quitRequested || !loopEndedHere) {
            releaseReply();
            if (file) {
                file->close();
                file->remove();
            }
            releaseFile();
            checkQuit();
            return false;
        }
        if (attemptSucceeded)
            break;
    }
    // Held from before its check until it has started, so that what the key signed is what
    // runs: on Windows nothing can change or replace it in between.
    auto held = std::make_unique<Platform::HeldFile>(installerPath());
    if (!options.releasePublicKey.isEmpty() && (!held->held() || !installerSigned())) {
        // Never run what the operator's key did not sign, nor leave it lying about.
        qCWarning(lcUpdate) << "the installer's signature does not hold; it is not started";
        held.reset();
        QFile::remove(installerPath());
        return false;
    }
    emit setState(QStringLiteral("Установка обновления..."), QString());
    emit setProgress(100, 100);
    QThread::msleep(ulong(options.installDelayMs));
    return startInstaller();
}

bool SelfUpdate::startAttempt()
{
    downloadFailed = false;
    retryCountdown = 0;
    lastError = 0;
    stallTicks = 0;
    redirects = 0;
    writeFailed = false;
    attemptSucceeded = false;
    loopEndedHere = false;

    file = new QFile(installerPath());
    if (!OwnFile::clearLink(installerPath())
        || !file->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        releaseFile();
        return false;
    }
    delete watchdog;
    watchdog = new QTimer(this);
    watchdog->setInterval(options.watchdogIntervalMs);
    connect(watchdog, &QTimer::timeout, this, &SelfUpdate::networkUpdate);
    watchdog->start();
    if (!manager)
        manager = new QNetworkAccessManager(this);

    // What is downloaded here is run with the launcher's rights: never take it over plain HTTP.
    const QUrl url(downloadUrl, QUrl::TolerantMode);
    if (url.scheme() != QLatin1String("https")) {
        file->close();
        failAttempt(QNetworkReply::ProtocolUnknownError);
        releaseFile();
        return true;
    }
    send(url);
    return true;
}

void SelfUpdate::send(const QUrl &url)
{
    QNetworkRequest request(url);
    // Redirects are followed by hand, so that each one truncates the file and is checked.
    request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setMaximumRedirectsAllowed(maxRedirects);
    written = 0;
    reply = manager->get(request);
    reply->setReadBufferSize(readBufferBytes);
    connect(reply, &QNetworkReply::finished, this, &SelfUpdate::networkFinished);
    connect(reply, &QNetworkReply::readyRead, this, &SelfUpdate::networkReadyRead);
    connect(reply, &QNetworkReply::downloadProgress, this, &SelfUpdate::networkProgress);
}

void SelfUpdate::networkReadyRead()
{
    if (!reply || sender() != reply)
        return;
    if (!appendAvailable())
        return;
    if (quitRequested) {
        reply->abort();
        return;
    }
    stallTicks = 0;
}

bool SelfUpdate::appendAvailable()
{
    const QByteArray data = reply->readAll();
    // A short write would leave a cut installer that looks complete: fail the attempt. So does
    // an answer that never ends, before it fills the disk.
    if (!file || !file->isOpen() || written + data.size() > maxInstallerBytes
        || file->write(data) != data.size()) {
        writeFailed = true;
        if (!reply->isFinished())
            reply->abort();
        return false;
    }
    written += data.size();
    return true;
}

void SelfUpdate::networkProgress(qint64 bytesRead, qint64 totalBytes)
{
    if (!reply || sender() != reply)
        return;
    if (quitRequested) {
        reply->abort();
        return;
    }
    emit setState(QStringLiteral("Загрузка обновления (v%1)...").arg(latestVersion),
        progressText(bytesRead, totalBytes));
    emit setProgress(quint64(qMax<qint64>(bytesRead, 0)), quint64(qMax<qint64>(totalBytes, 0)));
}

void SelfUpdate::networkFinished()
{
    if (!reply || sender() != reply)
        return;
    if (reply->bytesAvailable() > 0 && !writeFailed)
        appendAvailable();
    if (file && file->isOpen()) {
        file->flush();
        file->close();
    }
    if (quitRequested) {
        endLoop();
        return;
    }
    lastError = reply->error();
    if (lastError == QNetworkReply::NoError && writeFailed)
        lastError = QNetworkReply::OperationCanceledError;
    // A connection closed mid-body may be reported as a success; the installer must be whole.
    const QUrl target = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    if (lastError == QNetworkReply::NoError && target.isEmpty()
        && HttpRequest::isTruncated(reply, written))
        lastError = QNetworkReply::RemoteHostClosedError;
    if (lastError != QNetworkReply::NoError)
        failAttempt(lastError);

    if (!downloadFailed && !target.isEmpty()) {
        releaseReply();
        const QUrl next(target.toString(), QUrl::TolerantMode);
        if (++redirects > maxRedirects) {
            failAttempt(QNetworkReply::TooManyRedirectsError);
        } else if (next.scheme() != QLatin1String("https")) {
            failAttempt(QNetworkReply::InsecureRedirectError);
        } else if (!file || !file->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            // Neither a reply nor a file is left: a failed attempt, which the watchdog's
            // countdown ends like any other.
            failAttempt(fileErrorCode);
        } else {
            send(next);
            return;
        }
        releaseFile();
        return;
    }

    releaseReply();
    releaseFile();
    if (downloadFailed)
        return;
    retryCountdown = 0;
    lastError = 0;
    attemptSucceeded = true;
    endLoop();
}

void SelfUpdate::networkUpdate()
{
    if (quitRequested) {
        if (reply)
            reply->abort();
        endLoop();
        return;
    }
    if (downloadFailed && retryCountdown != 0 && lastError != 0) {
        if (--retryCountdown == 0)
            endLoop();
    }
    if (reply && ++stallTicks >= stallLimitTicks)
        reply->abort();
}

void SelfUpdate::failAttempt(int errorCode)
{
    if (file) {
        file->close();
        file->remove();
    }
    downloadFailed = true;
    retryCountdown = retryWaitTicks;
    lastError = errorCode;
    qCWarning(lcUpdate) << "the installer's download failed with error" << errorCode;
    emit setState(QStringLiteral("Загрузка обновления (v%1): произошла ошибка (%2)...")
                      .arg(latestVersion)
                      .arg(errorCode),
        QString());
    emit setProgress(0, 100);
}

void SelfUpdate::endLoop()
{
    loopEndedHere = true;
    eventLoop.quit();
}

void SelfUpdate::releaseReply()
{
    if (!reply)
        return;
    // Often called from the reply's own finished(): delete it later, and hear nothing more.
    reply->disconnect(this);
    if (!reply->isFinished())
        reply->abort();
    reply->deleteLater();
    reply = nullptr;
}

void SelfUpdate::releaseFile()
{
    delete file;
    file = nullptr;
}

bool SelfUpdate::installerSigned()
{
    // Only a newer launcher: an old installer, signed once, announced again would go back to
    // what a later release fixed. The signature binds the version, so the announcement cannot
    // lie about it.
    if (!ReleaseSignature::isNewerVersion(
            latestVersion, QString::fromLatin1(BuildConfig::launcherVersion)))
        return false;
    QFile installer(installerPath());
    if (!installer.open(QIODevice::ReadOnly))
        return false;
    QCryptographicHash sha256(QCryptographicHash::Sha256);
    if (!sha256.addData(&installer))
        return false;
    const QByteArray message = ReleaseSignature::installerMessage(latestVersion, sha256.result());
    return ReleaseSignature::fetchAndVerify(downloadUrl, message.constData(), message.size(),
        options.releasePublicKey, 3, options.requestTimeoutMs);
}

bool SelfUpdate::startInstaller()
{
    const QString path = installerPath();
#ifdef Q_OS_WIN
    // Started like the game: its quoted path is the whole command line, with no arguments.
    return Platform::startDetached(
        QLatin1Char('"') + QDir::toNativeSeparators(path) + QLatin1Char('"'),
        QDir::toNativeSeparators(options.launcherDir));
#else
    // Other systems run only what is marked executable.
    QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner | QFile::ExeUser);
    return QProcess::startDetached(path, QStringList(), options.launcherDir);
#endif
}
