#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

// One synchronous HTTP GET with attempts, a per-hop time-out and redirects followed by hand,
// used on worker threads. Every exchange spins a local event loop on the calling thread and,
// unless given one of that thread's, creates and releases its own network manager, so requests
// on different threads share nothing. The signed call of the project's service is built on it.
class HttpRequest
{
public:
    explicit HttpRequest(const QString &url);

    // Parameters are sent in key order (UTF-16 code units); a key set twice keeps the last value.
    // With parameters, they replace the query of every hop's address; without, each address
    // keeps its own (a picture's "img.php?id=5", a redirect target's).
    void addParam(const QString &key, const QString &value);

    // The most body bytes an answer may bring, counted after any transfer decoding; a longer
    // answer is a failure, read no further than that.
    void setBodyLimit(qint64 bytes) { limit = bytes; }
    static constexpr qint64 defaultBodyLimit = 2 * 1024 * 1024;

    // A network manager of the calling thread to send through, so that the connection to the
    // host is kept for what follows; by default every exchange makes and releases its own.
    void useNetwork(QNetworkAccessManager *manager) { network = manager; }

    // Up to attempts exchanges until one succeeds; false when all failed or attempts is 0.
    // An HTTP error status, a time-out of any hop, a sixth response that is again a redirect, a
    // redirect from HTTPS to anything else and a body over the limit are failures. A relative
    // redirect target is taken relative to the address that sent it. A stop request ends the
    // attempts early.
    bool sendGet(int attempts, int timeoutMs);

    // Body of the last successful exchange.
    const QByteArray &response() const { return body; }

    // The query every hop is sent with; it replaces whatever query an address has.
    QByteArray encodedParameters() const;

    // 20 random bytes in Base64 (28 characters).
    static QString makeSalt();
    // Lower-case hex MD5 of data + salt + the key shared with the service.
    static QString signData(const QString &data, const QString &salt);
    // A call of the service's interface at baseUrl ("https://host"): data = operation, hash and
    // sig; further parameters may be added and are not signed. Every call uses a fresh salt.
    static HttpRequest serviceCall(const QString &baseUrl, const QString &operation);
    static HttpRequest serviceCall(
        const QString &baseUrl, const QString &operation, const QString &salt);

    static QString userAgent();
    // True when a finished reply brought fewer or more body bytes than its Content-Length
    // announced: the network layer reports a connection closed mid-body as a success.
    static bool isTruncated(const QNetworkReply *reply, qint64 bodyBytes);

    static constexpr int redirectBudget = 6;

private:
    bool exchange(int timeoutMs);

    QString url;
    QMap<QString, QString> parameters;
    QByteArray body;
    qint64 limit = defaultBodyLimit;
    QNetworkAccessManager *network = nullptr;
};
