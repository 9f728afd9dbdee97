#include "service/extraca.h"

#include <QSslCertificate>
#include <QSslConfiguration>

int installExtraCaCertificates()
{
    const QByteArray pem = extraCaCertificatesPem();
    if (pem.isEmpty())
        return 0;
    const QList<QSslCertificate> certificates = QSslCertificate::fromData(pem, QSsl::Pem);
    if (certificates.isEmpty())
        return 0;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificates(certificates);
    QSslConfiguration::setDefaultConfiguration(configuration);
    return certificates.size();
}
