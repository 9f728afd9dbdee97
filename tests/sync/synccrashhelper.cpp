// One synchronisation for tst_synccrash, which kills this process at chosen moments: every
// progress text is reported as a line "p " + text on stdout, and the synchronisation waits for
// a line on stdin before it goes on, so the test kills it at an exact point instead of after
// a time.
//   synccrashhelper GAME_DIR LAUNCHER_DIR HOST_URL CA_PEM
#include "syncfixture.h"

#include <QCoreApplication>
#include <QSslCertificate>
#include <QSslConfiguration>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() != 5) {
        std::fputs("usage: synccrashhelper GAME_DIR LAUNCHER_DIR HOST_URL CA_PEM\n", stderr);
        return 2;
    }
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setCaCertificates(tls.caCertificates() + QSslCertificate::fromPath(arguments.at(4)));
    QSslConfiguration::setDefaultConfiguration(tls);

    const SyncFixture::RunResult result = SyncFixture::runSync(arguments.at(1),
        SyncFixture::environment(arguments.at(2), arguments.at(3)), [](const QString &left) {
            std::printf("p %s\n", left.toUtf8().constData());
            std::fflush(stdout);
            char line[16];
            if (!std::fgets(line, sizeof line, stdin))
                return; // no one is steering: run on
        });
    std::printf("end %d\n", result.finished && result.gameReady ? 1 : 0);
    return result.finished && result.gameReady ? 0 : 1;
}
