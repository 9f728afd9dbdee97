// korvina-publish GAME_DIR OUT_DIR: makes the file host's tree for the launcher from a
// reference game directory. Serve OUT_DIR/launcher over HTTPS as /launcher.

#include "publisher.h"

#include <QCoreApplication>
#include <QStringList>
#include <QTextStream>

namespace {

const char usage[]
    = "usage: korvina-publish [--audio-part-size BYTES] GAME_DIR OUT_DIR\n"
      "\n"
      "Publishes the reference game directory GAME_DIR for the launchers: the list\n"
      "OUT_DIR/launcher/sync.lst and the packed files below\n"
      "OUT_DIR/launcher/filesystem/. Serve OUT_DIR/launcher over HTTPS as /launcher.\n"
      "Anything that cannot be published whole (an unreadable file, a link, a pipe,\n"
      "a name that is not canonical, an .img file that is no archive, an element name\n"
      "the list cannot carry) refuses the publication before anything is written.\n"
      "\n"
      "  --audio-part-size BYTES  parts of audio files (tests only)\n"
      "  --help                   this text\n"
      "\n"
      "Exit status: 0 published, 1 refused or failed, 2 wrong arguments.\n";

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    QTextStream err(stderr);
    if (arguments.contains(QStringLiteral("--help"))) {
        QTextStream(stdout) << usage;
        return 0;
    }
    PublishOptions options;
    // Development only: smaller audio parts, so that tests take the many-parts path quickly.
    const int partOption = arguments.indexOf(QStringLiteral("--audio-part-size"));
    if (partOption >= 0 && partOption + 1 < arguments.size()) {
        options.audioPartSize = arguments.at(partOption + 1).toUInt();
        options.audioSinglePartLimit = options.audioPartSize;
        arguments.erase(arguments.begin() + partOption, arguments.begin() + partOption + 2);
    }
    if (arguments.size() != 2) {
        err << usage;
        return 2;
    }
    const PublishReport report = publish(arguments.at(0), arguments.at(1), options);
    for (const QString &problem : report.problems)
        err << "korvina-publish: " << problem << '\n';
    if (!report.ok) {
        err << "korvina-publish: " << report.error << '\n';
        return 1;
    }
    QTextStream(stdout) << "written " << report.written << ", unchanged " << report.reused
                        << ", removed " << report.removed << '\n';
    return 0;
}
