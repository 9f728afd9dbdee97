// korvina-e2e-statecheck LAUNCHER_DIR SYNC_LST: checks the synchronisation state that a real
// launcher left in LAUNCHER_DIR. Exit 0 when korvina_launcher.bin deciphers with the store key,
// describes the published list SYNC_LST (the same fingerprint without times) and records for
// every file and audio file the modification time it has in the game directory, which is what
// lets the next start skip hashing.

#include "files/filesystem.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    const QStringList arguments = app.arguments().mid(1);
    if (arguments.size() != 2) {
        out << "usage: korvina-e2e-statecheck LAUNCHER_DIR SYNC_LST\n";
        return 2;
    }
    const QString launcherDir = arguments.at(0);

    const QByteArray payload
        = FileSystem::readSealedFile(QStringLiteral("/korvina_launcher.bin"), launcherDir);
    if (payload.isEmpty()) {
        out << "the state file is missing or does not decipher\n";
        return 1;
    }
    FileSystem state;
    state.readText(payload, true);
    if (state.entries.isEmpty() || state.directories.isEmpty()) {
        out << "the state holds no entries or no directories\n";
        return 1;
    }

    QFile listFile(arguments.at(1));
    if (!listFile.open(QIODevice::ReadOnly)) {
        out << "cannot read " << arguments.at(1) << '\n';
        return 2;
    }
    FileSystem remote;
    remote.readText(listFile.readAll(), false);
    state.normalize();
    remote.normalize();
    if (state.fingerprint(false) != remote.fingerprint(false)) {
        QByteArray text;
        state.writeText(text, true);
        out << "the state does not describe the published list; it reads:\n"
            << QString::fromUtf8(text);
        return 1;
    }

    int timed = 0;
    for (const FileEntry &entry : qAsConst(state.entries)) {
        if (entry.name.isEmpty() || entry.kind == FileEntry::img_archive)
            continue;
        const QFileInfo file(launcherDir + QStringLiteral("/gtacr/") + entry.path);
        const quint32 mtime = quint32(file.lastModified().toSecsSinceEpoch());
        if (!file.isFile() || entry.mtime != mtime) {
            out << entry.path << ": the state records time " << entry.mtime << ", the file has "
                << mtime << '\n';
            return 1;
        }
        ++timed;
    }
    int elements = 0;
    for (const QVector<FileEntry> &sequence : qAsConst(state.imgContents))
        elements += sequence.size();
    out << "state ok: " << state.entries.size() << " entries (" << timed << " with times), "
        << elements << " IMG elements\n";
    return 0;
}
