#include "service/loadthread.h"

#include "app/logcategories.h"
#include "app/runstate.h"
#include "buildconfig.h"
#include "files/filesystem.h"
#include "service/extraca.h"
#include "service/httprequest.h"
#include "service/imagecache.h"
#include "service/newssink.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <QUrl>

#include <cmath>

namespace {

const char serverCacheName[] = "/korvina_servers.bin";

// A number, or a string of decimal digits; the low 16 bits of it.
ushort readPort(const QJsonValue &value)
{
    if (value.isString()) {
        bool ok = false;
        const qulonglong number = value.toString().toULongLong(&ok);
        return ok ? ushort(number) : 0;
    }
    const double number = value.toDouble();
    if (!(number >= 0) || number >= 18446744073709551616.0)
        return 0;
    return ushort(quint64(std::floor(number)));
}

} // namespace

LoadThread::LoadThread(NewsSink *news)
    : LoadThread(news, Options())
{
}

LoadThread::LoadThread(NewsSink *news, const Options &options)
    : news(news)
    , options(options)
{
    if (this->options.launcherDir.isEmpty())
        this->options.launcherDir = QCoreApplication::applicationDirPath();
    SelfUpdate::Options updateOptions;
    updateOptions.launcherDir = this->options.launcherDir;
    updateOptions.requestTimeoutMs = this->options.requestTimeoutMs;
    updateOptions.watchdogIntervalMs = this->options.watchdogIntervalMs;
    updateOptions.installDelayMs = this->options.installDelayMs;
    // A child, so that it moves to the loader's thread with it.
    update = new SelfUpdate(updateOptions, this);
    connect(update, &SelfUpdate::setState, this, &LoadThread::setState);
    connect(update, &SelfUpdate::setProgress, this, &LoadThread::setProgress);
}

QList<LoadThread::ServerEntry> LoadThread::builtInServers()
{
    return builtInServers(QLatin1String(BuildConfig::siteHost));
}

QList<LoadThread::ServerEntry> LoadThread::builtInServers(const QString &siteHost)
{
    const QString host = QUrl(QStringLiteral("https://") + siteHost).host();
    return { { QStringLiteral("Korvina RP #1"), host, 7771 },
        { QStringLiteral("Korvina RP #2"), host, 7772 } };
}

void LoadThread::start()
{
    if (checkQuit())
        return;
    // Here rather than before the window shows: reading certificates loads the TLS library, and
    // the loader is the first to use the network; everything else that does starts after it.
    installExtraCaCertificates();
    emit setState(QStringLiteral("Проверка доступности серверов..."), QString());
    baseUrl = selectHost(options.endpoints, options.requestTimeoutMs);
    emit setState(QStringLiteral("Проверка обновлений..."), QString());
    update->checkUpdates(baseUrl);
    emit setState(QStringLiteral("Загрузка списка серверов..."), QString());
    loadServers();
    emit setState(QStringLiteral("Загрузка новостей..."), QString());
    loadNews();
    emit setState(QStringLiteral("Загрузка изображений..."), QString());
    loadImages();
    if (update->updateRequired) {
        const bool started = update->downloadAndInstall();
        if (checkQuit() || (started && !waitForHandOver()))
            return;
        qCWarning(lcUpdate) << (started ? "the installer did not close the launcher in time"
                                        : "the update could not be installed")
                            << "- going on with this version";
        emit updateFailed(started);
    }
    if (checkQuit())
        return;
    emit loadFinish();
}

bool LoadThread::waitForHandOver()
{
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < options.handOverWaitMs) {
        if (checkQuit())
            return false;
        QThread::msleep(100);
    }
    return !checkQuit();
}

void LoadThread::loadServers()
{
    HttpRequest request = HttpRequest::serviceCall(baseUrl, QStringLiteral("servers"));
    QList<ServerEntry> servers;
    if (request.sendGet(3, options.requestTimeoutMs)
        && parseServers(request.response(), &servers)) {
        // Cached only when it is a server list: a maintenance page must not replace a good
        // cache, which the next run without the service reads back.
        FileSystem::writeSealedFile(
            QLatin1String(serverCacheName), request.response(), options.launcherDir);
        if (checkQuit())
            return;
        announceServers(servers);
        return;
    }
    if (checkQuit())
        return;
    const QByteArray cached
        = FileSystem::readSealedFile(QLatin1String(serverCacheName), options.launcherDir);
    const bool fromCache = !cached.isEmpty() && parseServers(cached, &servers);
    if (!fromCache)
        servers = builtInServers();
    qCWarning(lcService) << "no server list from the service; shown:"
                         << (fromCache ? "the cached list" : "the built-in list");
    announceServers(servers);
}

bool LoadThread::parseServers(const QByteArray &json, QList<ServerEntry> *servers)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isArray())
        return false;
    QList<ServerEntry> parsed;
    for (const QJsonValue &element : document.array()) {
        const QJsonObject server = element.toObject();
        parsed.append({ server.value(QLatin1String("new_name")).toString(),
            server.value(QLatin1String("addr")).toString(),
            readPort(server.value(QLatin1String("port"))) });
    }
    *servers = parsed;
    return true;
}

void LoadThread::announceServers(const QList<ServerEntry> &servers)
{
    for (const ServerEntry &server : servers)
        emit serverListAdd(server.name, server.addr, server.port);
    emit serverListLoaded();
}

void LoadThread::loadNews()
{
    if (!news)
        return;
    HttpRequest request = HttpRequest::serviceCall(baseUrl, QStringLiteral("news"));
    if (!request.sendGet(3, options.requestTimeoutMs)) {
        qCWarning(lcService) << "no news from the service";
        return;
    }
    if (checkQuit())
        return;
    const QJsonArray items = QJsonDocument::fromJson(request.response()).array();
    for (const QJsonValue &element : items) {
        const QJsonObject item = element.toObject();
        const uint index = news->addNews(item.value(QLatin1String("caption")).toString(),
            item.value(QLatin1String("text")).toString(),
            item.value(QLatin1String("date")).toString(),
            item.value(QLatin1String("link")).toString());
        newsImages.insert(index, item.value(QLatin1String("image")).toString());
    }
    emit newsListLoaded();
}

void LoadThread::loadImages()
{
    QThread::msleep(ulong(options.imageDelayMs));
    const ImageCache cache(options.launcherDir);
    for (auto it = newsImages.constBegin(); it != newsImages.constEnd(); ++it) {
        if (checkQuit())
            return;
        const QString &address = it.value();
        QByteArray data;
        if (!cache.readCache(address, data)) {
            HttpRequest request(address);
            request.setBodyLimit(8 * 1024 * 1024); // a picture shown at 90 x 90
            if (!request.sendGet(1, options.requestTimeoutMs) || request.response().isEmpty())
                continue;
            // Cached before decoding: a picture that does not decode is not fetched again.
            data = request.response();
            cache.writeCache(address, data);
        }
        const QImage picture = QImage::fromData(data);
        if (picture.width() != 0)
            emit newsImageLoaded(it.key(), picture);
    }
}
