#include "testnginx.h"

#include "testcertificates.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QSslCertificate>
#include <QSslKey>
#include <QStandardPaths>
#include <QTcpServer>
#include <QThread>

#include <unistd.h>

namespace {

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(bytes) == bytes.size();
}

} // namespace

TestNginx::~TestNginx()
{
    if (process.state() != QProcess::NotRunning) {
        process.terminate();
        process.waitForFinished(5000);
    }
}

bool TestNginx::start(
    const QString &dir, const QString &root, const TestCertificates &certificates, bool http2)
{
    const QString nginx = QStandardPaths::findExecutable(
        QStringLiteral("nginx"), { "/usr/sbin", "/usr/local/sbin", "/sbin" });
    if (nginx.isEmpty()) {
        failure = QStringLiteral("nginx not found (scripts/setup installs it)");
        return false;
    }
    directory = dir;
    QDir().mkpath(dir + "/temp");
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        port = probe.serverPort();
    }
    // Started by root, the workers would run as nobody and could not read a private temporary
    // directory; otherwise they run as the caller anyway.
    const QString user = geteuid() == 0 ? QStringLiteral("user root;") : QString();
    const QByteArray config = QString(R"(daemon off;
master_process on;
worker_processes 1;
%1
pid %2/nginx.pid;
error_log %2/error.log warn;
events { worker_connections 1024; }
http {
    log_format requests '$request $status';
    access_log %2/access.log requests;
    client_body_temp_path %2/temp/body;
    proxy_temp_path %2/temp/proxy;
    fastcgi_temp_path %2/temp/fastcgi;
    uwsgi_temp_path %2/temp/uwsgi;
    scgi_temp_path %2/temp/scgi;
    types { }
    default_type application/octet-stream;
    sendfile on;
    tcp_nopush on;
    tcp_nodelay on;
    keepalive_timeout 600s;
    keepalive_requests 1000000;
    server {
        listen 127.0.0.1:%3 ssl%5;
        ssl_certificate %2/server.pem;
        ssl_certificate_key %2/server.key;
        ssl_protocols TLSv1.2 TLSv1.3;
        root %4;
    }
}
)")
                                  .arg(user, dir)
                                  .arg(port)
                                  .arg(root, http2 ? QStringLiteral(" http2") : QString())
                                  .toUtf8();
    if (!writeFile(dir + "/nginx.conf", config)
        || !writeFile(dir + "/server.pem", certificates.serverCertificate().toPem())
        || !writeFile(dir + "/server.key", certificates.serverKey().toPem())) {
        failure = QStringLiteral("cannot write into ") + dir;
        return false;
    }
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(nginx, { "-p", dir, "-e", dir + "/error.log", "-c", dir + "/nginx.conf" });
    // Bounded: a server that has not written its pid within five seconds is not coming.
    for (int i = 0; i < 100; ++i) {
        QThread::msleep(50);
        QFile pid(dir + "/nginx.pid");
        if (pid.exists() && pid.size() > 0)
            return true;
        if (process.state() == QProcess::NotRunning)
            break;
    }
    QFile log(dir + "/error.log");
    log.open(QIODevice::ReadOnly);
    failure = QStringLiteral("nginx did not start: ") + QString::fromUtf8(log.readAll());
    return false;
}

QString TestNginx::baseUrl() const
{
    return QStringLiteral("https://127.0.0.1:%1").arg(port);
}

QStringList TestNginx::accessLog() const
{
    QFile log(directory + "/access.log");
    if (!log.open(QIODevice::ReadOnly))
        return QStringList();
    return QString::fromUtf8(log.readAll()).split('\n', Qt::SkipEmptyParts);
}
