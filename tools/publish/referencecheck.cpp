#include "referencecheck.h"

#include "img/imgformat.h"
#include "sync/localinventory.h"
#include "sync/remotelist.h"
#include "sync/safepath.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include <algorithm>

namespace ReferenceCheck {

namespace {

// The launcher's own rule for paths from a list, in the operator's words.
QString nameProblem(const QString &relative, bool isFile)
{
    switch (RemoteList::pathFault(relative, isFile)) {
    case RemoteList::PathFault::Hidden:
        return QStringLiteral("hidden name, which the launcher never sees");
    case RemoteList::PathFault::NotCanonical:
        return QStringLiteral("name is not canonical (lower case, no blanks)");
    case RemoteList::PathFault::Unstorable:
        return QStringLiteral("name Windows cannot hold, or longer than %1 characters or "
                              "deeper than %2 directories")
            .arg(SafePath::maxLength)
            .arg(SafePath::maxDepth);
    case RemoteList::PathFault::Temporary:
        return QStringLiteral("name of a temporary or link file, which the launcher deletes");
    case RemoteList::PathFault::None:
        break;
    }
    return QString();
}

// An archive the launcher edits element by element must be one, and every element must be
// listable: an element the list cannot carry would be missing from every player's archive.
QString archiveProblem(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot be read");
    const QByteArray magic = file.read(4);
    if (magic != "VER2" && magic != QByteArray(ImgArchive::staticMagic, 4))
        return QStringLiteral("not an IMG archive (version 2)");
    ImgArchive::DirectoryReader reader(file);
    ImgArchive::RawEntry entry;
    QSet<QString> names;
    while (reader.next(entry)) {
        if (entry.isPlaceholder())
            continue;
        const QString name = QString::fromLocal8Bit(entry.name);
        if (!RemoteList::isListableElementName(name))
            return QStringLiteral("element \"%1\" has a name the list cannot carry").arg(name);
        if (names.contains(name.toCaseFolded()))
            return QStringLiteral("element \"%1\" is there twice (names ignore case)").arg(name);
        names.insert(name.toCaseFolded());
    }
    return QString();
}

} // namespace

QStringList problems(const QString &gameDir)
{
    QStringList found;
    const QDir base(gameDir);
    QStringList names;
    QDirIterator it(gameDir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        const QString relative = base.relativeFilePath(it.filePath());
        QString problem;
        if (info.isSymLink()) {
            problem = QStringLiteral("a link, which players would get as a copy or not at all");
        } else if (info.isDir()) {
            if (!QDir(it.filePath()).isReadable() || !info.isExecutable())
                problem = QStringLiteral("directory cannot be read");
            else
                problem = nameProblem(relative, false);
        } else if (!info.isFile()) {
            problem = QStringLiteral("not a regular file (a pipe, socket or device)");
        } else {
            QFile file(it.filePath());
            problem = file.open(QIODevice::ReadOnly) ? nameProblem(relative, true)
                                                     : QStringLiteral("cannot be read");
            if (problem.isEmpty()
                && LocalInventory::classify(relative, it.fileName()) == FileEntry::img_archive)
                problem = archiveProblem(it.filePath());
        }
        if (!problem.isEmpty())
            found.append(relative + QStringLiteral(": ") + problem);
        else
            names.append(relative);
    }
    // Windows holds one file for names that differ only in case, Unicode's full case included
    // ("aσ.txt" and "aς.txt", "µ.txt" and "μ.txt"): players would get one of the two.
    std::sort(names.begin(), names.end());
    QHash<QString, QString> folded;
    for (const QString &name : qAsConst(names)) {
        const QString key = RemoteList::windowsKey(name);
        if (folded.contains(key))
            found.append(
                name + QStringLiteral(": the same name on Windows as ") + folded.value(key));
        else
            folded.insert(key, name);
    }
    return found;
}

QString overlap(const QString &gameDir, const QString &outDir)
{
    const QString game = QFileInfo(gameDir).absoluteFilePath() + QLatin1Char('/');
    const QString out = QFileInfo(outDir).absoluteFilePath() + QLatin1Char('/');
    if (out.startsWith(game))
        return QStringLiteral("the output directory lies inside the reference tree");
    if (game.startsWith(out))
        return QStringLiteral("the reference tree lies inside the output directory");
    return QString();
}

} // namespace ReferenceCheck
