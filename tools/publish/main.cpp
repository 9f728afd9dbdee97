// korvina-publish GAME_DIR OUT_DIR: makes a release of the file host's tree for the launcher
// from a reference game directory; see the usage text.

#include "buildconfig.h"
#include "publisher.h"
#include "releasesigner.h"
#include "releaseverify.h"
#include "service/releasesignature.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QStringList>
#include <QTextStream>

namespace {

const char usage[]
    = "usage: korvina-publish [--keep N] [--dry-run] [--force] [--expires-in DAYS]\n"
      "                       [--sign-key KEY [--rotate-key]] GAME_DIR OUT_DIR\n"
      "       korvina-publish --rollback [--sign-key KEY] [--expires-in DAYS] OUT_DIR [RELEASE]\n"
      "       korvina-publish renew --sign-key KEY [--expires-in DAYS] OUT_DIR\n"
      "       korvina-publish verify [--public-key HEX] OUT_DIR|https://HOST\n"
      "       korvina-publish genkey KEY\n"
      "       korvina-publish sign --sign-key KEY --version VERSION FILE\n"
      "\n"
      "Publishes the reference game directory GAME_DIR for the launchers as a new\n"
      "release in OUT_DIR/releases/, built beside the served one and then served in\n"
      "one step: OUT_DIR/launcher is a link to it, holding sync.lst and filesystem/.\n"
      "Serve OUT_DIR/launcher over HTTPS as /launcher (following the link).\n"
      "Each release has a document, release.lst: its number (which only grows), when\n"
      "it was published and until when it holds, and the SHA-256 of sync.lst and of\n"
      "every body served. Launchers refuse a release older than one they took, and\n"
      "after its expiry; a rollback serves the old release as the newest one, and\n"
      "renew gives the served release a new number and expiry without publishing.\n"
      "Anything that cannot be published whole (an unreadable file, a link, a pipe,\n"
      "a name that is not canonical, an .img file that is no archive, an element name\n"
      "the list cannot carry) refuses the publication before anything is written.\n"
      "\n"
      "Every path added, changed or removed against the served release is listed.\n"
      "A publication that would serve the same list again makes no new release,\n"
      "unless --force. One publication or rollback runs in OUT_DIR at a time.\n"
      "verify checks the served release against its list: every body there and\n"
      "unpacking to its size and MD5, every archive's elements alike in both forms;\n"
      "given https://HOST, what that host serves under /launcher, as a launcher would.\n"
      "\n"
      "Signed releases: genkey writes a new Ed25519 private key to KEY (keep it off\n"
      "the file host) and prints the public key the launcher is built with\n"
      "(KORVINA_RELEASE_PUBLIC_KEY). --sign-key signs each release's document\n"
      "(release.lst.sig); sign writes FILE.sig for the launcher's installer FILE, which\n"
      "installs launcher VERSION: launchers run it only as that version, and only when\n"
      "it is newer than their own.\n"
      "\n"
      "  --keep N                 releases kept for a rollback (default 3)\n"
      "  --dry-run                only list what would change; write nothing\n"
      "  --force                  make a new release even when nothing changed\n"
      "  --expires-in DAYS        launchers refuse the release DAYS days after it is\n"
      "                           published (default: never); renew before then\n"
      "  --sign-key KEY           sign with this private key (PEM)\n"
      "  --rotate-key             sign with a key other than the served release's\n"
      "  --public-key HEX         verify: the release must be signed by this key\n"
      "  --rollback               serve the release before the served one again, or\n"
      "                           RELEASE (an id in OUT_DIR/releases)\n"
      "  --audio-part-size BYTES  parts of audio files (tests only)\n"
      "  --help                   this text\n"
      "  --version                (alone) the version of this build\n"
      "\n"
      "Exit status: 0 published (verified, signed), 1 refused, failed (or differences\n"
      "found), 2 wrong arguments.\n";

// Removes "name VALUE" from arguments; false when name is there without a value.
bool takeOption(QStringList &arguments, const char *name, QString *value)
{
    const int at = arguments.indexOf(QLatin1String(name));
    if (at < 0)
        return true;
    if (at + 1 >= arguments.size())
        return false;
    *value = arguments.at(at + 1);
    arguments.erase(arguments.begin() + at, arguments.begin() + at + 2);
    return true;
}

int fail(QTextStream &err, const QString &error)
{
    err << "korvina-publish: " << error << '\n';
    return 1;
}

int verify(const QString &outDir, const QString &publicHex, QTextStream &err)
{
    const QByteArray key = ReleaseSignature::keyFromHex(publicHex.toLatin1());
    if (!publicHex.isEmpty() && key.isEmpty()) {
        err << "korvina-publish: --public-key takes the 64 hex digits genkey printed, not \""
            << publicHex << "\"\n";
        return 2;
    }
    int checked = 0;
    const QStringList found
        = ReleaseVerify::differences(outDir + QStringLiteral("/launcher"), 20, &checked, key);
    for (const QString &difference : found)
        err << "korvina-publish: " << difference << '\n';
    if (!found.isEmpty())
        return 1;
    QTextStream(stdout) << "verified " << checked << " files"
                        << (key.isEmpty() ? "" : " and the release's signature") << '\n';
    return 0;
}

int genkey(const QString &keyPath, QTextStream &err)
{
    QByteArray publicHex;
    QString error;
    if (!ReleaseSigner::generateKey(keyPath, &publicHex, &error))
        return fail(err, error);
    QTextStream(stdout) << "private key written to " << keyPath << "\npublic key " << publicHex
                        << "\nbuild the launcher with -DKORVINA_RELEASE_PUBLIC_KEY=" << publicHex
                        << '\n';
    return 0;
}

int sign(const QString &keyPath, const QString &version, const QString &path, QTextStream &err)
{
    // The launcher compares versions as dotted numbers: anything else would never be newer.
    if (!ReleaseSignature::isNewerVersion(version, QStringLiteral("0"))) {
        err << "korvina-publish: --version takes the installer's launcher version, dotted "
               "numbers such as 2.0.5.0, not \""
            << version << "\"\n";
        return 2;
    }
    ReleaseSigner signer;
    QString error;
    if (!signer.load(keyPath, &error))
        return fail(err, error);
    QFile file(path);
    QCryptographicHash sha256(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !sha256.addData(&file))
        return fail(err, QStringLiteral("cannot read ") + path);
    const QString signaturePath = path + QLatin1String(ReleaseSignature::suffix);
    if (!signer.writeSignature(
            ReleaseSignature::installerMessage(version, sha256.result()), signaturePath))
        return fail(err, QStringLiteral("cannot write ") + signaturePath);
    QTextStream(stdout) << "signed " << path << " as version " << version << " into "
                        << signaturePath << '\n';
    return 0;
}

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
    // Alone, the version of the build; with a value, the installer version of "sign".
    if (arguments == QStringList { QStringLiteral("--version") }) {
        QTextStream(stdout) << "korvina-publish " << BuildConfig::launcherVersion << '\n';
        return 0;
    }
    PublishOptions options;
    QString keep, partSize, publicHex, version, expiresIn;
    if (!takeOption(arguments, "--keep", &keep) || !takeOption(arguments, "--version", &version)
        || !takeOption(arguments, "--expires-in", &expiresIn)
        || !takeOption(arguments, "--sign-key", &options.signKeyPath)
        || !takeOption(arguments, "--public-key", &publicHex)
        || !takeOption(arguments, "--audio-part-size", &partSize)) {
        err << usage;
        return 2;
    }
    if (!keep.isEmpty()) {
        bool number = false;
        options.keepReleases = keep.toInt(&number);
        if (!number || options.keepReleases < 1) {
            err << "korvina-publish: --keep takes a whole number of releases, at least 1 (the "
                   "served one), not \""
                << keep << "\"\n";
            return 2;
        }
    }
    if (!expiresIn.isEmpty()) {
        bool number = false;
        const int days = expiresIn.toInt(&number);
        if (!number || days < 1 || days > 3650) {
            err << "korvina-publish: --expires-in takes a whole number of days from 1 to 3650, "
                   "not \""
                << expiresIn << "\"\n";
            return 2;
        }
        options.expiresIn = qint64(days) * 24 * 3600;
    }
    // Development only: smaller audio parts, so that tests take the many-parts path quickly.
    if (!partSize.isEmpty()) {
        options.audioPartSize = partSize.toUInt();
        options.audioSinglePartLimit = options.audioPartSize;
    }
    const QString command = arguments.value(0);
    if (arguments.size() == 2 && command == QStringLiteral("verify"))
        return verify(arguments.at(1), publicHex, err);
    if (arguments.size() == 2 && command == QStringLiteral("genkey"))
        return genkey(arguments.at(1), err);
    if (arguments.size() == 2 && command == QStringLiteral("sign")
        && !options.signKeyPath.isEmpty())
        return sign(options.signKeyPath, version, arguments.at(1), err);

    options.dryRun = arguments.removeAll(QStringLiteral("--dry-run")) > 0;
    options.force = arguments.removeAll(QStringLiteral("--force")) > 0;
    options.rotateKey = arguments.removeAll(QStringLiteral("--rotate-key")) > 0;
    options.progress = [&err](const QString &text) {
        err << "korvina-publish: " << text << '\n';
        err.flush();
    };
    const bool reissue = ((arguments.size() == 2 || arguments.size() == 3)
                             && command == QStringLiteral("--rollback"))
        || (arguments.size() == 2 && command == QStringLiteral("renew"));
    if (reissue) {
        const PublishReport report = command == QStringLiteral("renew")
            ? renew(arguments.at(1), options)
            : rollback(arguments.at(1), arguments.value(2), options);
        if (!report.ok)
            return fail(err, report.error);
        QTextStream(stdout) << "serving release " << report.release << " as the newest\n";
        return 0;
    }
    if (arguments.size() != 2) {
        err << usage;
        return 2;
    }
    const PublishReport report = publish(arguments.at(0), arguments.at(1), options);
    for (const QString &problem : report.problems)
        err << "korvina-publish: " << problem << '\n';
    if (!report.ok)
        return fail(err, report.error);
    QTextStream out(stdout);
    for (const QString &change : report.changes)
        out << change << '\n';
    if (options.dryRun) {
        out << report.changes.size() << " paths would change; nothing was written\n";
        return 0;
    }
    if (report.unchanged) {
        out << "nothing changed: release " << report.release << " stays served (--force makes "
            << "a new one)\n";
        return 0;
    }
    out << "serving release " << report.release << (options.signKeyPath.isEmpty() ? "" : ", signed")
        << ": written " << report.written << ", unchanged " << report.reused << ", removed "
        << report.removed << '\n';
    return 0;
}
