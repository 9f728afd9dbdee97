#include "service/httprequest.h"

#include "app/logcategories.h"
#include "app/runstate.h"
#include "buildconfig.h"

#include <QCryptographicHash>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QTimer>
#include <QUrl>

#include <memory>

namespace {

const char servicePath[] = "/api_v2.php";

} // namespace

HttpRequest::HttpRequest(const QString &url)
    : url(url)
{
}

void HttpRequest::addParam(const QString &key, const QString &value)
{
    parameters.insert(key, value);
}

QByteArray HttpRequest::encodedParameters() const
{
    QByteArray query;
    for (auto it = parameters.constBegin(); it != parameters.constEnd(); ++it) {
        // toPercentEncoding keeps exactly A-Z a-z 0-9 - . _ ~ and writes upper-case hex.
        query += it.key().toUtf8() + '=' + it.value().toUtf8().toPercentEncoding() + '&';
    }
    query.chop(1);
    return query;
}

bool HttpRequest::sendGet(int attempts, int timeoutMs)
{
    for (int attempt = 0; attempt < attempts; ++attempt) {
        // Retrying for a launcher that is closing would only delay its end.
        if (attempt > 0 && quitRequested.load(std::memory_order_relaxed))
            return false;
        if (exchange(timeoutMs))
            return true;
    }
    return false;
}

bool HttpRequest::exchange(int timeoutMs)
{
    // Declared first, so that it outlives (and is released after) every reply it made.
    std::unique_ptr<QNetworkAccessManager> own;
    if (!network)
        own = std::make_unique<QNetworkAccessManager>();
    QNetworkAccessManager &manager = network ? *network : *own;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setInterval(timeoutMs);
    QEventLoop loop;

    const QString query = QString::fromLatin1(encodedParameters());
    QUrl address(url, QUrl::TolerantMode);
    const bool secure = address.scheme() == QLatin1String("https");
    for (int responses = 1;; ++responses) {
        if (!query.isEmpty())
            address.setQuery(query, QUrl::StrictMode);
        QNetworkRequest request(address);
        request.setHeader(QNetworkRequest::UserAgentHeader, userAgent());
        request.setAttribute(
            QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);

        const std::unique_ptr<QNetworkReply> reply(manager.get(request));
        // Read as it arrives, so that an endless or inflating answer is cut off at the limit
        // instead of growing in memory.
        reply->setReadBufferSize(256 * 1024);
        QByteArray received;
        // Reads what is there, one byte past the limit at most; false once over it.
        const auto take = [&] {
            received += reply->read(qMax<qint64>(0, limit - received.size()) + 1);
            return received.size() <= limit;
        };
        QObject::connect(reply.get(), &QNetworkReply::readyRead, &loop, [&] {
            if (!take())
                reply->abort();
        });
        QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QObject::connect(&timer, &QTimer::timeout, reply.get(), &QNetworkReply::abort);
        timer.start();
        // Returns at once, with the reply unfinished, when the thread was asked to quit.
        loop.exec();
        timer.stop();

        if (received.size() > limit || !reply->isFinished()
            || reply->error() != QNetworkReply::NoError) {
            // Host and path only: the query of a service call carries its signature.
            qCWarning(lcService).nospace()
                << "no answer from "
                << address.adjusted(QUrl::RemoveQuery | QUrl::RemoveUserInfo).toString() << ": "
                << (received.size() > limit ? "answer over its size limit"
                        : !reply->isFinished() ? "stopped"
                                               : "network error")
                << " " << int(reply->error()) << ", HTTP status "
                << reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            return false;
        }
        const QUrl target = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
        if (target.isEmpty()) {
            if (!take() || isTruncated(reply.get(), received.size()))
                return false;
            body = received;
            return true;
        }
        address = reply->url().resolved(target);
        // Never from HTTPS down to clear text, where anyone on the way could answer.
        if (responses >= redirectBudget || (secure && address.scheme() != QLatin1String("https")))
            return false;
    }
}

QString HttpRequest::makeSalt()
{
    QByteArray bytes(20, Qt::Uninitialized);
    for (char &byte : bytes)
        byte = char(QRandomGenerator::global()->generate() & 0xFF);
    return QString::fromLatin1(bytes.toBase64());
}

QString HttpRequest::signData(const QString &data, const QString &salt)
{
    const QByteArray signedText = (data + salt + QLatin1String(BuildConfig::serviceKey)).toUtf8();
    return QString::fromLatin1(
        QCryptographicHash::hash(signedText, QCryptographicHash::Md5).toHex());
}

HttpRequest HttpRequest::serviceCall(const QString &baseUrl, const QString &operation)
{
    return serviceCall(baseUrl, operation, makeSalt());
}

HttpRequest HttpRequest::serviceCall(
    const QString &baseUrl, const QString &operation, const QString &salt)
{
    HttpRequest request(baseUrl + QLatin1String(servicePath));
    request.addParam(QStringLiteral("data"), operation);
    request.addParam(QStringLiteral("hash"), signData(operation, salt));
    request.addParam(QStringLiteral("sig"), salt);
    return request;
}

bool HttpRequest::isTruncated(const QNetworkReply *reply, qint64 bodyBytes)
{
    // A compressed transfer announces the compressed length; nothing to compare then.
    const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
    if (!encoding.isEmpty() && encoding != "identity")
        return false;
    bool known = false;
    const qint64 announced = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
    return known && announced != bodyBytes;
}

QString HttpRequest::userAgent()
{
    return QStringLiteral("KorvinaNet/") + QLatin1String(BuildConfig::launcherVersion);
}
