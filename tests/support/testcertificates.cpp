#include "testcertificates.h"

#include "testfiles.h"

#include <QProcess>
#include <QSslConfiguration>

bool TestCertificates::generate()
{
    QProcess openssl;
    openssl.setWorkingDirectory(dir.path());
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    // Elliptic-curve keys: generated in milliseconds, unlike RSA.
    openssl.start(QStringLiteral("openssl"),
        QProcess::splitCommand(QStringLiteral(
            "req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout server.key"
            " -out ca.pem -days 30 -subj /CN=127.0.0.1"
            " -addext subjectAltName=IP:127.0.0.1,DNS:localhost")));
    if (!openssl.waitForFinished(60000) || openssl.exitStatus() != QProcess::NormalExit
        || openssl.exitCode() != 0) {
        error = QStringLiteral("openssl failed: ") + openssl.errorString()
            + QString::fromLocal8Bit(openssl.readAll());
        return false;
    }
    certificate = QSslCertificate(TestFiles::readFile(caPath()), QSsl::Pem);
    key = QSslKey(TestFiles::readFile(dir.filePath("server.key")), QSsl::Ec, QSsl::Pem);
    if (certificate.isNull() || key.isNull()) {
        error = QStringLiteral("Qt could not read the generated certificate (no TLS support?)");
        return false;
    }
    return true;
}

void TestCertificates::trustInDefaultConfiguration() const
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificate(certificate);
    QSslConfiguration::setDefaultConfiguration(configuration);
}
