#include "service/servicehosts.h"

#include "app/logcategories.h"
#include "app/runstate.h"
#include "buildconfig.h"
#include "service/httprequest.h"

#include <QUrl>

ServiceEndpoints ServiceEndpoints::fromBuild()
{
    const QString https = QStringLiteral("https://");
    return ServiceEndpoints { https + QLatin1String(BuildConfig::serviceHost),
        https + QLatin1String(BuildConfig::fallbackHost),
        https + QLatin1String(BuildConfig::siteHost) };
}

QString selectHost(const ServiceEndpoints &endpoints, int timeoutMs)
{
    usingFallbackHost = false;
    const QString ping = QStringLiteral("ping");
    HttpRequest primary = HttpRequest::serviceCall(endpoints.primaryService, ping);
    const bool primaryAnswered = primary.sendGet(1, timeoutMs);
    if (quitRequested) {
        checkQuit();
        return endpoints.primaryService;
    }
    if (primaryAnswered) {
        qCInfo(lcService) << "service host:" << QUrl(endpoints.primaryService).host();
        return endpoints.primaryService;
    }

    usingFallbackHost = true;
    HttpRequest fallback = HttpRequest::serviceCall(endpoints.fallbackService, ping);
    // The answer does not matter: nothing switches back to the primary host.
    const bool fallbackAnswered = fallback.sendGet(3, timeoutMs);
    if (fallbackAnswered && quitRequested)
        checkQuit();
    qCInfo(lcService) << "service host: the fallback" << QUrl(endpoints.fallbackService).host()
                      << (fallbackAnswered ? "answered" : "did not answer either");
    return endpoints.fallbackService;
}
