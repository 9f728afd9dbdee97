// The service's answers as the launcher reads them: the server list (JSON) and a server's
// status text. Anything parses without a crash; a server list is taken only from a JSON array.
#include "service/loadthread.h"
#include "service/serverquery.h"

#include <QByteArray>
#include <QJsonDocument>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray answer(reinterpret_cast<const char *>(data), int(size));
    QList<LoadThread::ServerEntry> servers;
    if (LoadThread::parseServers(answer, &servers) && !QJsonDocument::fromJson(answer).isArray())
        std::abort();
    ServerQuery::parseStatus(answer);
    return 0;
}
