#include "sync/remotelist.h"

#include "files/filesystem.h"
#include "img/archiveeditor.h"
#include "img/imgformat.h"
#include "sync/safepath.h"
#include "sync/tidying.h"

#include <QHash>
#include <QSet>

namespace RemoteList {

PathFault pathFault(const QString &path, bool isFile)
{
    for (const QString &part : path.split(QLatin1Char('/'))) {
        // Hidden names are left out of the local scan; names the tidying would change never
        // match what is on disk after it.
        if (part.startsWith(QLatin1Char('.')))
            return PathFault::Hidden;
        if (Tidying::canonicalName(part) != part)
            return PathFault::NotCanonical;
    }
    if (!SafePath::isSafeRelative(path) || !FileSystem::fitsTextField(path))
        return PathFault::Unstorable;
    // The tidying deletes such a file before every scan, so it would be fetched on every cycle.
    if (isFile && Tidying::isTemporaryName(path.mid(path.lastIndexOf(QLatin1Char('/')) + 1)))
        return PathFault::Temporary;
    return PathFault::None;
}

QString windowsKey(const QString &path)
{
    return path.toCaseFolded();
}

bool isListableElementName(const QString &name)
{
    return SafePath::isPlainName(name) && ImgArchive::fitsNameField(name)
        && FileSystem::fitsTextField(name);
}

bool read(const QByteArray &body, FileSystem &list)
{
    if (body.isEmpty() || !body.endsWith('\n') || !list.readText(body, false)
        || list.entries.isEmpty())
        return false;
    for (const FileEntry &entry : qAsConst(list.entries)) {
        if (entry.kind == FileEntry::img_archive && !list.imgContents.contains(entry.imgKey))
            return false; // cut short before its elements
    }
    return true;
}

void sanitize(FileSystem &list)
{
    QStringList directories;
    QSet<QString> known;
    // Windows holds one file for paths that differ only in case (Unicode's full case): of two
    // such, the first listed counts, as of a path listed twice.
    QHash<QString, QString> taken; // windowsKey -> the path listed first
    const auto clashes = [&taken](const QString &path) {
        const auto first = taken.constFind(windowsKey(path));
        return first != taken.constEnd() && first.value() != path;
    };
    for (const QString &directory : qAsConst(list.directories)) {
        if (pathFault(directory, false) == PathFault::None && !known.contains(directory)
            && !clashes(directory)) {
            directories.append(directory);
            known.insert(directory);
            taken.insert(windowsKey(directory), directory);
        }
    }

    QVector<FileEntry> entries;
    entries.reserve(list.entries.size());
    for (const FileEntry &entry : qAsConst(list.entries)) {
        if (entry.name.isEmpty() || pathFault(entry.path, true) != PathFault::None
            || clashes(entry.path))
            continue;
        bool clash = false;
        for (int slash = entry.path.indexOf(QLatin1Char('/')); slash > 0 && !clash;
             slash = entry.path.indexOf(QLatin1Char('/'), slash + 1))
            clash = clashes(entry.path.left(slash));
        if (clash)
            continue; // below a directory Windows holds under another listed name
        entries.append(entry);
        taken.insert(windowsKey(entry.path), entry.path);
        for (int slash = entry.path.indexOf(QLatin1Char('/')); slash > 0;
             slash = entry.path.indexOf(QLatin1Char('/'), slash + 1)) {
            const QString parent = entry.path.left(slash);
            if (!known.contains(parent)) {
                directories.append(parent);
                known.insert(parent);
                taken.insert(windowsKey(parent), parent);
            }
        }
    }
    list.directories = directories;
    list.entries = entries;

    for (auto it = list.imgContents.begin(); it != list.imgContents.end(); ++it) {
        QVector<FileEntry> kept;
        kept.reserve(it.value().size());
        // The archive finds names regardless of case, so of two names that differ only in case
        // the second would overwrite the first's data under the first's name.
        QSet<QString> names;
        for (const FileEntry &element : qAsConst(it.value())) {
            // An element larger than the format allows could never be stored; fetched, its
            // body would be unpacked in memory to whatever size the list claims.
            if (isListableElementName(element.name) && element.size > 0
                && element.size <= ImgArchive::maxElementSize
                && !names.contains(element.name.toCaseFolded())) {
                kept.append(element);
                names.insert(element.name.toCaseFolded());
            }
        }
        it.value() = kept;
    }
}

} // namespace RemoteList
