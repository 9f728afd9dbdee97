#include "testcertificates.h"

#include "testfiles.h"

#include <QProcess>
#include <QSslConfiguration>
#include <QSslSocket>

bool TestCertificates::run(const QString &command)
{
    QProcess openssl;
    openssl.setWorkingDirectory(dir.path());
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"), QProcess::splitCommand(command));
    if (!openssl.waitForStarted(10000)) {
        error = QStringLiteral("openssl could not be started");
        return false;
    }
    openssl.waitForFinished(60000);
    if (openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0) {
        error = QStringLiteral("openssl %1 failed: %2")
                    .arg(command, QString::fromLocal8Bit(openssl.readAll()));
        return false;
    }
    return true;
}

bool TestCertificates::generate()
{
    if (!QSslSocket::supportsSsl()) {
        error = QStringLiteral("Qt has no TLS support");
        return false;
    }
    // Elliptic-curve keys: generated in milliseconds, unlike RSA.
    const QString newKey
        = QStringLiteral("-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ");
    if (!TestFiles::writeFile(dir.filePath(QStringLiteral("server.ext")),
            "basicConstraints=CA:FALSE\n"
            "keyUsage=critical,digitalSignature,keyEncipherment\n"
            "extendedKeyUsage=serverAuth\n"
            "subjectAltName=IP:127.0.0.1,DNS:localhost\n")) {
        error = QStringLiteral("cannot write into the temporary directory");
        return false;
    }
    if (!run("req -x509 " + newKey
            + "ca.key -out ca.pem -days 30 -subj \"/CN=Korvina Test CA\""
              " -addext basicConstraints=critical,CA:TRUE"
              " -addext keyUsage=critical,keyCertSign,cRLSign")
        || !run("req " + newKey + "server.key -out server.csr -subj /CN=127.0.0.1")
        || !run(QStringLiteral("x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial"
                               " -out server.pem -days 30 -extfile server.ext")))
        return false;

    ca = QSslCertificate(TestFiles::readFile(caPath()), QSsl::Pem);
    server = QSslCertificate(TestFiles::readFile(dir.filePath("server.pem")), QSsl::Pem);
    key = QSslKey(TestFiles::readFile(dir.filePath("server.key")), QSsl::Ec, QSsl::Pem);
    if (ca.isNull() || server.isNull() || key.isNull()) {
        error = QStringLiteral("Qt could not read the generated certificates");
        return false;
    }
    return true;
}

void TestCertificates::trustInDefaultConfiguration() const
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificate(ca);
    QSslConfiguration::setDefaultConfiguration(configuration);
}
