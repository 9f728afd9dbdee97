#pragma once

// nginx from the distribution on 127.0.0.1, with a configuration of its own: TLS with the test
// certificates, HTTP/2 offered by ALPN (or not), keep-alive for as many requests as a run makes,
// and an access log. A real web server, for what the loopback test server cannot be: a host that
// multiplexes.

#include <QProcess>
#include <QString>

class TestCertificates;

class TestNginx
{
public:
    ~TestNginx();

    // Serves root from dir (configuration, logs, pid); false, with error(), when nginx is
    // missing or does not start.
    bool start(const QString &dir, const QString &root, const TestCertificates &certificates,
        bool http2 = true);
    QString baseUrl() const;
    const QString &error() const { return failure; }
    // Requests answered so far, one line each ("GET /path HTTP/2.0 200").
    QStringList accessLog() const;

    quint16 port = 0;

private:
    QProcess process;
    QString directory;
    QString failure;
};
