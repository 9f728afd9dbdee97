#include "sync/localtree.h"

#include <QDateTime>
#include <QFile>
#include <QTextCodec>

#ifdef Q_OS_UNIX
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <QDirIterator>
#include <QFileInfo>
#include <QHash>
#endif

namespace {

// Regular files, directories and links that lead somewhere; QDir's "system" entries (devices,
// pipes, sockets, broken links) are the rest.
bool ordinary(const LocalTree::Item &item)
{
    return (item.file || item.dir || item.link) && !(item.link && !item.exists);
}

#ifdef Q_OS_UNIX

bool isAscii(const char *raw)
{
    for (const char *c = raw; *c; ++c) {
        if (uchar(*c) >= 0x80)
            return false;
    }
    return true;
}

// QDirIterator passes over a name that the system's encoding cannot decode, and so what is
// below it.
bool decodable(const char *raw)
{
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    QTextCodec::codecForLocale()->toUnicode(raw, int(qstrlen(raw)), &state);
    return state.invalidChars == 0 && state.remainingChars == 0;
}

// Depth first, each directory entered right after it is listed, as QDirIterator does. Entries
// are looked at relative to their directory's descriptor, so no path is resolved again, and a
// link is never entered.
void walkDirectory(
    int fd, const QString &prefix, bool belowHidden, bool exact, QVector<LocalTree::Item> &out)
{
    DIR *dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return;
    }
    const int at = ::dirfd(dir);
    while (const dirent *entry = ::readdir(dir)) {
        const char *raw = entry->d_name;
        if (raw[0] == '.' && (raw[1] == '\0' || (raw[1] == '.' && raw[2] == '\0')))
            continue;
        const bool ascii = isAscii(raw);
        if (!ascii && !decodable(raw))
            continue;
        struct stat info;
        if (::fstatat(at, raw, &info, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // gone since it was listed
        LocalTree::Item item;
        const QString name = ascii ? QString::fromLatin1(raw) : QFile::decodeName(raw);
        item.path.reserve(prefix.size() + name.size());
        item.path += prefix;
        item.path += name;
        item.nameStart = prefix.size();
        item.hidden = raw[0] == '.';
        item.belowHidden = belowHidden;
        item.exactPath = exact && (ascii || QFile::encodeName(name) == QByteArray(raw));
        if (S_ISLNK(info.st_mode)) {
            item.link = true;
            struct stat target;
            if (::fstatat(at, raw, &target, 0) == 0) {
                item.exists = true;
                item.file = S_ISREG(target.st_mode);
                item.dir = S_ISDIR(target.st_mode);
            }
        } else {
            item.exists = true;
            item.file = S_ISREG(info.st_mode);
            item.dir = S_ISDIR(info.st_mode);
            if (item.file) {
                item.size = info.st_size;
                item.mtime = LocalTree::listTime(info.st_mtim.tv_sec, info.st_mtim.tv_nsec);
            }
        }
        const bool enter = item.dir && !item.link;
        out.append(std::move(item));
        if (enter) {
            const LocalTree::Item &listed = out.last();
            const int child = ::openat(at, raw, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child >= 0) {
                walkDirectory(child, listed.path + QLatin1Char('/'), belowHidden || listed.hidden,
                    listed.exactPath, out);
            }
        }
    }
    ::closedir(dir);
}

#endif

} // namespace

LocalTree::LocalTree(const QString &root)
    : rootPath(root)
{
}

const QVector<LocalTree::Item> &LocalTree::items()
{
    if (stale)
        walk();
    return list;
}

void LocalTree::clear()
{
    list = QVector<Item>();
    stale = true;
}

void LocalTree::walk()
{
    list.clear();
    stale = false;
#ifdef Q_OS_UNIX
    const int fd
        = ::open(QFile::encodeName(rootPath).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0)
        walkDirectory(fd, QString(), false, true, list);
#else
    // Elsewhere the directory listing itself carries every entry's attributes, size and times.
    QDirIterator it(rootPath, QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    QHash<QString, bool> hiddenBelow; // directory -> whether what it holds is below a hidden one
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        Item item;
        item.path = it.filePath().mid(rootPath.size() + 1);
        item.nameStart = item.path.lastIndexOf(QLatin1Char('/')) + 1;
        item.belowHidden
            = item.nameStart > 0 && hiddenBelow.value(item.path.left(item.nameStart - 1));
        item.link = info.isSymLink();
        item.file = info.isFile();
        item.dir = info.isDir();
        item.exists = info.exists();
        item.hidden = info.isHidden();
        if (item.dir && !item.link)
            hiddenBelow.insert(item.path, item.belowHidden || item.hidden);
        if (item.file && !item.link) {
            item.size = info.size();
            item.mtime = quint32(quint64(info.lastModified().toSecsSinceEpoch()));
        }
        list.append(item);
    }
#endif
}

bool LocalTree::listedAsFile(const Item &item)
{
    return !item.belowHidden && !item.hidden && ordinary(item) && !item.dir;
}

bool LocalTree::listedAsDirectory(const Item &item)
{
    return !item.belowHidden && !item.hidden && ordinary(item) && !item.file;
}

bool LocalTree::listedAsAnyFile(const Item &item)
{
    return !item.dir;
}

quint32 LocalTree::listTime(qint64 seconds, qint64 nanoseconds)
{
    // QFileInfo takes whole milliseconds and goes through local time and back, which cancels
    // out (and reads the time zone twice per file) except within two days of 1970: there Qt 5
    // reads a time of exactly 0 as none, and local midnight, and the C library cannot tell a
    // time of -1 from a failure. The state file holds those numbers, so near 1970 they are
    // still taken Qt's way.
    const qint64 msecs = seconds * 1000 + nanoseconds / 1000000;
    constexpr qint64 nearEpoch = qint64(2) * 86400 * 1000;
    if (msecs > -nearEpoch && msecs < nearEpoch) {
        const QDateTime local = msecs ? QDateTime::fromMSecsSinceEpoch(msecs) : QDateTime();
        return quint32(quint64(local.toSecsSinceEpoch()));
    }
    return quint32(quint64(msecs / 1000));
}
