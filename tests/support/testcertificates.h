#pragma once

// A throw-away self-signed certificate for 127.0.0.1 and localhost, made with the openssl
// command-line tool in a temporary directory; trusted as its own authority, it lets HTTPS tests
// talk to a loopback server with certificate checks left fully on.

#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QTemporaryDir>

class TestCertificates
{
public:
    // Creates the certificate and its key; false (see errorText()) when openssl is missing or
    // failed, or when Qt has no TLS support.
    bool generate();
    QString errorText() const { return error; }

    QSslCertificate serverCertificate() const { return certificate; }
    QSslKey serverKey() const { return key; }
    // The certificate as a PEM file, for a process of its own to trust.
    QString caPath() const { return dir.filePath(QStringLiteral("ca.pem")); }

    // Adds the certificate to QSslConfiguration::defaultConfiguration(), which every network
    // manager created afterwards, on any thread, starts from.
    void trustInDefaultConfiguration() const;

private:
    QTemporaryDir dir;
    QString error;
    QSslCertificate certificate;
    QSslKey key;
};
