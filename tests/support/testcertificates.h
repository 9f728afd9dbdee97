#pragma once

// A throw-away certificate authority and a server certificate for 127.0.0.1 and localhost,
// made with the openssl command-line tool in a temporary directory, so that HTTPS tests talk
// to a loopback server with certificate checks left fully on.
//
//     TestCertificates certificates;
//     QVERIFY2(certificates.generate(), qPrintable(certificates.errorText()));
//     certificates.trustInDefaultConfiguration();
//     TestHttpServer server(&certificates);

#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QTemporaryDir>

class TestCertificates
{
public:
    // Creates the CA and the server certificate; false (see errorText()) when openssl is
    // missing or failed, or when Qt has no TLS support.
    bool generate();
    QString errorText() const { return error; }

    QSslCertificate caCertificate() const { return ca; }
    QSslCertificate serverCertificate() const { return server; }
    QSslKey serverKey() const { return key; }
    // The CA as a PEM file in the temporary directory.
    QString caPath() const { return dir.filePath(QStringLiteral("ca.pem")); }

    // Adds the CA to QSslConfiguration::defaultConfiguration(), which every network manager
    // created afterwards, on any thread, starts from.
    void trustInDefaultConfiguration() const;

private:
    bool run(const QString &command);

    QTemporaryDir dir;
    QString error;
    QSslCertificate ca;
    QSslCertificate server;
    QSslKey key;
};
