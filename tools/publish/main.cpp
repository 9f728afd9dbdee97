// korvina-publish GAME_DIR OUT_DIR: makes the file host's tree for the launcher from a
// reference game directory. Serve OUT_DIR/launcher over HTTPS as /launcher.

#include "publisher.h"

#include <QCoreApplication>
#include <QStringList>
#include <QTextStream>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    PublishOptions options;
    // Development only: smaller audio parts, so that tests take the many-parts path quickly.
    const int partOption = arguments.indexOf(QStringLiteral("--audio-part-size"));
    if (partOption >= 0 && partOption + 1 < arguments.size()) {
        options.audioPartSize = arguments.at(partOption + 1).toUInt();
        options.audioSinglePartLimit = options.audioPartSize;
        arguments.erase(arguments.begin() + partOption, arguments.begin() + partOption + 2);
    }
    QTextStream err(stderr);
    if (arguments.size() != 2) {
        err << "usage: korvina-publish [--audio-part-size BYTES] GAME_DIR OUT_DIR\n";
        return 2;
    }
    const PublishReport report = publish(arguments.at(0), arguments.at(1), options);
    for (const QString &skipped : report.skipped)
        err << "skipped " << skipped << '\n';
    if (!report.ok) {
        err << "korvina-publish: " << report.error << '\n';
        return 1;
    }
    QTextStream(stdout) << "written " << report.written << ", unchanged " << report.reused
                        << ", removed " << report.removed << '\n';
    return report.skipped.isEmpty() ? 0 : 3;
}
