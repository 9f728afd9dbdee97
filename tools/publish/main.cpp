// korvina-publish GAME_DIR OUT_DIR: makes a release of the file host's tree for the launcher
// from a reference game directory; see the usage text.

#include "publisher.h"
#include "releaseverify.h"

#include <QCoreApplication>
#include <QStringList>
#include <QTextStream>

namespace {

const char usage[]
    = "usage: korvina-publish [--keep N] [--dry-run] GAME_DIR OUT_DIR\n"
      "       korvina-publish --rollback OUT_DIR\n"
      "       korvina-publish verify OUT_DIR\n"
      "\n"
      "Publishes the reference game directory GAME_DIR for the launchers as a new\n"
      "release in OUT_DIR/releases/, built beside the served one and then served in\n"
      "one step: OUT_DIR/launcher is a link to it, holding sync.lst and filesystem/.\n"
      "Serve OUT_DIR/launcher over HTTPS as /launcher (following the link).\n"
      "Anything that cannot be published whole (an unreadable file, a link, a pipe,\n"
      "a name that is not canonical, an .img file that is no archive, an element name\n"
      "the list cannot carry) refuses the publication before anything is written.\n"
      "\n"
      "Every path added, changed or removed against the served release is listed.\n"
      "verify checks the served release against its list: every body there and\n"
      "unpacking to its size and MD5, every archive's elements alike in both forms.\n"
      "\n"
      "  --keep N                 releases kept for a rollback (default 3)\n"
      "  --dry-run                only list what would change; write nothing\n"
      "  --rollback               serve the release before the served one again\n"
      "  --audio-part-size BYTES  parts of audio files (tests only)\n"
      "  --help                   this text\n"
      "\n"
      "Exit status: 0 published (verified), 1 refused, failed (or differences\n"
      "found), 2 wrong arguments.\n";

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
    const int keepOption = arguments.indexOf(QStringLiteral("--keep"));
    if (keepOption >= 0) {
        bool number = false;
        options.keepReleases = arguments.value(keepOption + 1).toInt(&number);
        if (!number || options.keepReleases < 1) {
            err << usage;
            return 2;
        }
        arguments.erase(arguments.begin() + keepOption, arguments.begin() + keepOption + 2);
    }
    if (arguments.size() == 2 && arguments.first() == QStringLiteral("verify")) {
        int checked = 0;
        const QStringList found = ReleaseVerify::differences(
            arguments.at(1) + QStringLiteral("/launcher"), 20, &checked);
        for (const QString &difference : found)
            err << "korvina-publish: " << difference << '\n';
        if (!found.isEmpty())
            return 1;
        QTextStream(stdout) << "verified " << checked << " files\n";
        return 0;
    }
    options.dryRun = arguments.removeAll(QStringLiteral("--dry-run")) > 0;
    options.progress = [&err](const QString &text) {
        err << "korvina-publish: " << text << '\n';
        err.flush();
    };
    if (arguments.size() == 2 && arguments.first() == QStringLiteral("--rollback")) {
        const PublishReport report = rollback(arguments.at(1));
        if (!report.ok) {
            err << "korvina-publish: " << report.error << '\n';
            return 1;
        }
        QTextStream(stdout) << "serving release " << report.release << '\n';
        return 0;
    }
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
    QTextStream out(stdout);
    for (const QString &change : report.changes)
        out << change << '\n';
    if (options.dryRun) {
        out << report.changes.size() << " paths would change; nothing was written\n";
        return 0;
    }
    out << "serving release " << report.release << ": written " << report.written << ", unchanged "
        << report.reused << ", removed " << report.removed << '\n';
    return 0;
}
