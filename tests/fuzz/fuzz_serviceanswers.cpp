// The service's answers as the launcher reads them: the server list (JSON) and a server's
// status text. Anything parses without a crash; a server list is taken only from a JSON array.
#include "fuzzcheck.h"
#include "service/loadthread.h"
#include "service/serverquery.h"

#include <QJsonDocument>

void fuzz(const QByteArray &answer)
{
    QList<LoadThread::ServerEntry> servers;
    if (LoadThread::parseServers(answer, &servers))
        check(QJsonDocument::fromJson(answer).isArray());
    ServerQuery::parseStatus(answer);
}
