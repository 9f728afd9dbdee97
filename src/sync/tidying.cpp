#include "sync/tidying.h"

#include "img/imgformat.h"
#include "img/staticheader.h"
#include "sync/localtree.h"
#include "sync/safepath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <algorithm>

namespace Tidying {

namespace {

QString lowerSuffix(const QString &fileName)
{
    const int dot = fileName.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : fileName.mid(dot + 1).toLower();
}

// lowerSuffix(name) == suffix (lower-case ASCII), without building the suffix when it is ASCII.
bool hasLowerSuffix(const QStringRef &name, QLatin1String suffix)
{
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot < 0)
        return false;
    const QStringRef tail = name.mid(dot + 1);
    for (const QChar c : tail) {
        if (c.unicode() >= 0x80)
            return tail.toString().toLower() == suffix;
    }
    return tail.compare(suffix, Qt::CaseInsensitive) == 0;
}

bool isTemporaryName(const QStringRef &name)
{
    return hasLowerSuffix(name, QLatin1String("tmp")) || hasLowerSuffix(name, QLatin1String("lnk"))
        || hasLowerSuffix(name, QLatin1String("link"));
}

// Whether canonicalName would leave the name as it is, answered without building it for the
// usual names: ASCII without capitals or white space.
bool isCanonical(const QStringRef &name)
{
    for (const QChar c : name) {
        const ushort u = c.unicode();
        if (u >= 0x80 || (u >= 'A' && u <= 'Z') || u == ' ' || (u >= '\t' && u <= '\r'))
            return Tidying::canonicalName(name.toString()) == name;
    }
    return true;
}

} // namespace

QString canonicalName(const QString &name)
{
    return name.simplified().replace(QLatin1Char(' '), QLatin1Char('_')).toLower();
}

bool isTemporaryName(const QString &fileName)
{
    const QString suffix = lowerSuffix(fileName);
    return suffix == QLatin1String("tmp") || suffix == QLatin1String("lnk")
        || suffix == QLatin1String("link");
}

bool isExcludedArchiveName(const QString &fileName)
{
    static const char *const names[] = { "anim.img", "cuts.img", "carrec.img", "paths.img",
        "script.img", "cutscene.img", "mp_col.img", "custom.img" };
    for (const char *name : names) {
        if (fileName == QLatin1String(name))
            return true;
    }
    return false;
}

void removeTemporaryFiles(const QString &gameDir)
{
    LocalTree tree(gameDir);
    removeTemporaryFiles(tree);
}

void removeTemporaryFiles(LocalTree &tree)
{
    QStringList doomed;
    for (const LocalTree::Item &item : tree.items()) {
        if (LocalTree::listedAsAnyFile(item) && isTemporaryName(item.path.midRef(item.nameStart)))
            doomed.append(item.path);
    }
    bool changed = false;
    for (const QString &relative : qAsConst(doomed)) {
        const QString safe = SafePath::resolve(tree.root(), relative, true);
        if (!safe.isEmpty() && QFile::remove(safe))
            changed = true;
    }
    if (changed)
        tree.invalidate();
}

void convertDirectoryNames(const QString &gameDir)
{
    LocalTree tree(gameDir);
    convertDirectoryNames(tree);
}

void convertDirectoryNames(LocalTree &tree)
{
    const QString gameDir = tree.root();
    QStringList relatives;
    for (const LocalTree::Item &item : tree.items()) {
        if (LocalTree::listedAsDirectory(item) && !item.link)
            relatives.append(item.path);
    }
    // Children before their parents: a renamed parent would leave its children's paths stale.
    std::stable_sort(relatives.begin(), relatives.end(), [](const QString &a, const QString &b) {
        return a.count(QLatin1Char('/')) > b.count(QLatin1Char('/'));
    });
    bool changed = false;
    for (const QString &relative : qAsConst(relatives)) {
        const int slash = relative.lastIndexOf(QLatin1Char('/'));
        const QString name = relative.mid(slash + 1);
        const QString canonical = canonicalName(name);
        if (canonical == name || !SafePath::isPlainName(canonical))
            continue;
        const QString parent = slash < 0 ? QString() : relative.left(slash);
        const QString from = SafePath::resolve(gameDir, relative);
        const QString to = SafePath::resolve(
            gameDir, parent.isEmpty() ? canonical : parent + QLatin1Char('/') + canonical);
        // Qt refuses to rename onto an existing name (a case-only rename on a case-insensitive
        // volume still works), which keeps both directories when the name is taken.
        if (!from.isEmpty() && !to.isEmpty() && QFileInfo(from).isDir() && QDir().rename(from, to))
            changed = true;
    }
    if (changed)
        tree.invalidate();
}

void convertFileNames(const QString &gameDir)
{
    LocalTree tree(gameDir);
    convertFileNames(tree);
}

void convertFileNames(LocalTree &tree)
{
    const QString gameDir = tree.root();
    QStringList relatives;
    for (const LocalTree::Item &item : tree.items()) {
        if (LocalTree::listedAsFile(item) && !isCanonical(item.path.midRef(item.nameStart)))
            relatives.append(item.path);
    }
    bool changed = false;
    for (const QString &relative : qAsConst(relatives)) {
        const int slash = relative.lastIndexOf(QLatin1Char('/'));
        const QString canonical = canonicalName(relative.mid(slash + 1));
        if (!SafePath::isPlainName(canonical))
            continue;
        const QString target = slash < 0 ? canonical : relative.left(slash + 1) + canonical;
        const QString from = SafePath::resolve(gameDir, relative, true);
        const QString to = SafePath::resolve(gameDir, target);
        // QFile::rename refuses an existing target (unless only the case differs on a
        // case-insensitive volume), which is what keeps both files when the name is taken.
        if (!from.isEmpty() && !to.isEmpty() && QFile::rename(from, to))
            changed = true;
    }
    if (changed)
        tree.invalidate();
}

bool isCompactArchive(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return true; // nothing that could be rewritten
    char head[8];
    if (file.read(head, 8) != 8)
        return false;
    const qint64 count = qFromLittleEndian<qint32>(head + 4);
    quint64 sector = ImgArchive::rebuiltFirstSector(qMax<qint64>(count, 0));

    ImgArchive::DirectoryReader reader(file);
    ImgArchive::RawEntry entry;
    if (!reader.next(entry) || !entry.isPlaceholder())
        return false;
    qint64 seen = 1;
    while (reader.next(entry)) {
        ++seen;
        const QString name = QString::fromLocal8Bit(entry.name);
        if (entry.isPlaceholder() || name.isEmpty() || name.contains(QLatin1Char(' '))
            || entry.offset != sector)
            return false;
        sector += entry.sectors();
    }
    return seen == count && quint64(file.size()) == sector * quint64(ImgArchive::sectorSize);
}

QStringList archivesToConvert(const QString &gameDir, const QSet<QString> &plainFiles)
{
    LocalTree tree(gameDir);
    return archivesToConvert(tree, plainFiles);
}

QStringList archivesToConvert(LocalTree &tree, const QSet<QString> &plainFiles)
{
    QStringList selected;
    for (const LocalTree::Item &item : tree.items()) {
        if (!LocalTree::listedAsFile(item) || item.link)
            continue;
        const QStringRef fileName = item.path.midRef(item.nameStart);
        if (!hasLowerSuffix(fileName, QLatin1String("img"))
            || isExcludedArchiveName(fileName.toString()))
            continue;
        if (item.path.startsWith(QLatin1String("multiplayer_c/models/"))
            || plainFiles.contains(item.path))
            continue;
        const QString path = tree.root() + QLatin1Char('/') + item.path;
        if (!ImgArchive::isStaticHeaderArchive(path) || !isCompactArchive(path))
            selected.append(path);
    }
    return selected;
}

} // namespace Tidying
