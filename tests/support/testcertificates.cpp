#include "testcertificates.h"

#include <QFile>
#include <QProcess>
#include <QSslConfiguration>
#include <QSslSocket>

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

} // namespace

TestCertificates::TestCertificates() = default;

QString TestCertificates::caPath() const
{
    return dir.filePath(QStringLiteral("ca.pem"));
}

QString TestCertificates::serverCertificatePath() const
{
    return dir.filePath(QStringLiteral("server.pem"));
}

QString TestCertificates::serverKeyPath() const
{
    return dir.filePath(QStringLiteral("server.key"));
}

bool TestCertificates::run(const QStringList &arguments)
{
    QProcess openssl;
    openssl.setWorkingDirectory(dir.path());
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"), arguments);
    if (!openssl.waitForStarted(10000)) {
        error = QStringLiteral("openssl could not be started");
        return false;
    }
    openssl.waitForFinished(60000);
    if (openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0) {
        error = QStringLiteral("openssl %1 failed: %2")
                    .arg(arguments.value(0), QString::fromLocal8Bit(openssl.readAll()));
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
    if (!dir.isValid()) {
        error = QStringLiteral("no temporary directory");
        return false;
    }
    // Elliptic-curve keys: generated in milliseconds, unlike RSA.
    const QStringList newKey
        = { QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
              QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes") };
    QFile extensions(dir.filePath(QStringLiteral("server.ext")));
    if (!extensions.open(QIODevice::WriteOnly)) {
        error = QStringLiteral("cannot write the extension file");
        return false;
    }
    extensions.write("basicConstraints=CA:FALSE\n"
                     "keyUsage=critical,digitalSignature,keyEncipherment\n"
                     "extendedKeyUsage=serverAuth\n"
                     "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
    extensions.close();

    if (!run(QStringList { QStringLiteral("req"), QStringLiteral("-x509") } + newKey
            + QStringList { QStringLiteral("-keyout"), QStringLiteral("ca.key"),
                QStringLiteral("-out"), QStringLiteral("ca.pem"), QStringLiteral("-days"),
                QStringLiteral("30"), QStringLiteral("-subj"),
                QStringLiteral("/CN=Korvina Test CA"), QStringLiteral("-addext"),
                QStringLiteral("basicConstraints=critical,CA:TRUE"), QStringLiteral("-addext"),
                QStringLiteral("keyUsage=critical,keyCertSign,cRLSign") }))
        return false;
    if (!run(QStringList { QStringLiteral("req") } + newKey
            + QStringList { QStringLiteral("-keyout"), QStringLiteral("server.key"),
                QStringLiteral("-out"), QStringLiteral("server.csr"), QStringLiteral("-subj"),
                QStringLiteral("/CN=127.0.0.1") }))
        return false;
    if (!run({ QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
            QStringLiteral("server.csr"), QStringLiteral("-CA"), QStringLiteral("ca.pem"),
            QStringLiteral("-CAkey"), QStringLiteral("ca.key"), QStringLiteral("-CAcreateserial"),
            QStringLiteral("-out"), QStringLiteral("server.pem"), QStringLiteral("-days"),
            QStringLiteral("30"), QStringLiteral("-extfile"), QStringLiteral("server.ext") }))
        return false;

    ca = QSslCertificate(readAll(caPath()), QSsl::Pem);
    server = QSslCertificate(readAll(serverCertificatePath()), QSsl::Pem);
    key = QSslKey(readAll(serverKeyPath()), QSsl::Ec, QSsl::Pem);
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
