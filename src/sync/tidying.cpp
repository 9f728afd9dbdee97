#include "sync/tidying.h"

#include "img/imgformat.h"
#include "img/staticheader.h"
#include "sync/safepath.h"

#include <QDir>
#include <QDirIterator>
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

QString relativeTo(const QString &gameDir, const QString &absolute)
{
    return absolute.mid(gameDir.size() + 1);
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
    QStringList doomed;
    QDirIterator it(gameDir, QDir::Files | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (isTemporaryName(it.fileName()))
            doomed.append(it.filePath());
    }
    for (const QString &path : qAsConst(doomed)) {
        const QString safe = SafePath::resolve(gameDir, relativeTo(gameDir, path), true);
        if (!safe.isEmpty())
            QFile::remove(safe);
    }
}

void convertDirectoryNames(const QString &gameDir)
{
    QStringList relatives;
    QDirIterator it(gameDir, QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (!it.fileInfo().isSymLink())
            relatives.append(relativeTo(gameDir, it.filePath()));
    }
    // Children before their parents: a renamed parent would leave its children's paths stale.
    std::stable_sort(relatives.begin(), relatives.end(), [](const QString &a, const QString &b) {
        return a.count(QLatin1Char('/')) > b.count(QLatin1Char('/'));
    });
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
        if (!from.isEmpty() && !to.isEmpty() && QFileInfo(from).isDir())
            QDir().rename(from, to);
    }
}

void convertFileNames(const QString &gameDir)
{
    QStringList relatives;
    QDirIterator it(gameDir, QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (canonicalName(it.fileName()) != it.fileName())
            relatives.append(relativeTo(gameDir, it.filePath()));
    }
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
        if (!from.isEmpty() && !to.isEmpty())
            QFile::rename(from, to);
    }
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
    QStringList selected;
    QDirIterator it(gameDir, QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QString fileName = it.fileName();
        if (lowerSuffix(fileName) != QLatin1String("img") || isExcludedArchiveName(fileName))
            continue;
        const QString relative = relativeTo(gameDir, it.filePath());
        if (relative.startsWith(QLatin1String("multiplayer_c/models/"))
            || plainFiles.contains(relative))
            continue;
        if (it.fileInfo().isSymLink())
            continue;
        if (!ImgArchive::isStaticHeaderArchive(it.filePath()) || !isCompactArchive(it.filePath()))
            selected.append(it.filePath());
    }
    return selected;
}

} // namespace Tidying
