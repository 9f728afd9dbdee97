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

namespace {

// What is wrong with the state in launcherDir, or nothing.
QString fault(const QString &launcherDir, const QString &listPath)
{
    FileSystem state;
    state.readText(
        FileSystem::readSealedFile(QStringLiteral("/korvina_launcher.bin"), launcherDir), true);
    if (state.entries.isEmpty() || state.directories.isEmpty())
        return QStringLiteral("the state is missing, does not decipher or holds no entries");
    QFile listFile(listPath);
    if (!listFile.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read ") + listPath;
    FileSystem remote;
    remote.readText(listFile.readAll(), false);
    state.normalize();
    remote.normalize();
    if (state.fingerprint(false) != remote.fingerprint(false))
        return QStringLiteral("the state does not describe the published list");
    for (const FileEntry &entry : qAsConst(state.entries)) {
        if (entry.name.isEmpty() || entry.kind == FileEntry::img_archive)
            continue;
        const QFileInfo file(launcherDir + QStringLiteral("/gtacr/") + entry.path);
        const quint32 mtime = quint32(file.lastModified().toSecsSinceEpoch());
        if (!file.isFile() || entry.mtime != mtime)
            return QStringLiteral("%1: the state records time %2, the file has %3")
                .arg(entry.path)
                .arg(entry.mtime)
                .arg(mtime);
    }
    return QString();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() != 3) {
        QTextStream(stdout) << "usage: korvina-e2e-statecheck LAUNCHER_DIR SYNC_LST\n";
        return 2;
    }
    const QString found = fault(arguments.at(1), arguments.at(2));
    QTextStream(stdout) << (found.isEmpty() ? QStringLiteral("state ok") : found) << '\n';
    return found.isEmpty() ? 0 : 1;
}
