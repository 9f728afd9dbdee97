#include "sync/localinventory.h"

#include "app/runstate.h"
#include "files/filesystem.h"
#include "img/imgformat.h"
#include "img/staticheader.h"
#include "sync/tidying.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <openssl/evp.h>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// The current file and the bar cross to the window's thread with every report; a screen shows
// a few of them a second, not one for each of 20,000 files.
class Pacer
{
public:
    bool due()
    {
        if (shown.isValid() && shown.elapsed() < 50)
            return false;
        shown.restart();
        return true;
    }

private:
    QElapsedTimer shown;
};

// Reads of a MiB: a game's small files in one call each, its large ones in few.
constexpr int hashBlock = 1 << 20;

bool stopping()
{
    return quitRequested.load(std::memory_order_relaxed);
}

QString lowerSuffix(const QString &fileName)
{
    const int dot = fileName.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : fileName.mid(dot + 1).toLower();
}

// A path with a space or a line feed cannot stand in the text list; such a file (left over when
// its canonical name was taken) is not listed at all, so it is neither hashed over and over
// nor deleted as extra.
bool listable(const QString &relative)
{
    return FileSystem::fitsTextField(relative);
}

} // namespace

LocalInventory::LocalInventory(FileSystem &list, QObject *parent)
    : QObject(parent)
    , list(list)
{
}

QString LocalInventory::diskPath(const QString &relative) const
{
    return list.rootPath() + QLatin1Char('/') + relative;
}

void LocalInventory::scanDirectories()
{
    LocalTree tree(list.rootPath());
    for (const LocalTree::Item &item : tree.items())
        addDirectory(item);
}

void LocalInventory::addDirectory(const LocalTree::Item &item)
{
    if (!LocalTree::listedAsDirectory(item) || item.link)
        return;
    const QString relative = item.path.toLower();
    if (listable(relative))
        list.directories.append(relative);
}

FileEntry::Kind LocalInventory::classify(const QString &path, const QString &name)
{
    const QString suffix = lowerSuffix(name);
    if (suffix == QLatin1String("img") && !Tidying::isExcludedArchiveName(name))
        return FileEntry::img_archive;
    if (suffix != QLatin1String("dat") && path.left(5) == QLatin1String("audio"))
        return FileEntry::audio_file;
    return FileEntry::file;
}

void LocalInventory::scanFiles()
{
    LocalTree tree(list.rootPath());
    for (const LocalTree::Item &item : tree.items())
        addFile(item);
}

bool LocalInventory::addFile(const LocalTree::Item &item)
{
    if (!LocalTree::listedAsFile(item) || item.link)
        return false;
    FileEntry entry;
    entry.path = item.path.toLower();
    if (!listable(entry.path))
        return false;
    entry.name = entry.path.mid(entry.path.lastIndexOf(QLatin1Char('/')) + 1);
    entry.kind = classify(entry.path, entry.name);
    entry.size = quint32(quint64(item.size));
    if (entry.kind == FileEntry::audio_file) {
        if (entry.size <= audioSinglePartLimit) {
            entry.partCount = 1;
            entry.partSize = entry.size;
        } else {
            entry.partCount = (entry.size + audioPartSize - 1) / audioPartSize;
            entry.partSize = audioPartSize;
        }
    }
    list.entries.append(entry);
    return true;
}

void LocalInventory::scan(LocalTree &tree)
{
    // The times as readModificationTimes takes them, which looks each file up by its listed,
    // lower-cased path and stops at the first that is not there: a name the tidying could not
    // make canonical is another file (or none) on a case-sensitive volume.
    bool timesEnded = false;
    for (const LocalTree::Item &item : tree.items()) {
        addDirectory(item);
        if (!addFile(item))
            continue;
        FileEntry &entry = list.entries.last();
        if (timesEnded)
            continue;
        if (item.exactPath && entry.path == item.path) {
            entry.mtime = item.mtime;
            continue;
        }
        const QString file = diskPath(entry.path);
        if (!QFileInfo::exists(file))
            timesEnded = true;
        else
            entry.mtime = modificationTime(file);
    }
}

void LocalInventory::adoptRemoteKinds(const FileSystem &remote)
{
    QHash<QString, const FileEntry *> remoteByPath;
    remoteByPath.reserve(remote.entries.size());
    for (const FileEntry &entry : remote.entries) {
        if (!entry.name.isEmpty() && !remoteByPath.contains(entry.path))
            remoteByPath.insert(entry.path, &entry);
    }
    for (FileEntry &entry : list.entries) {
        const FileEntry *listed = remoteByPath.value(entry.path);
        if (!listed || listed->kind == entry.kind)
            continue;
        if (listed->kind == FileEntry::img_archive
            && !ImgArchive::isStaticHeaderArchive(diskPath(entry.path)))
            continue;
        entry.kind = listed->kind;
        entry.partCount = listed->kind == FileEntry::audio_file ? listed->partCount : 0;
        entry.partSize = listed->kind == FileEntry::audio_file ? listed->partSize : 0;
    }
}

bool LocalInventory::readArchiveElements(const QString &file, QVector<FileEntry> *elements)
{
    QFile archive(file);
    if (!archive.open(QIODevice::ReadOnly))
        return false;
    ImgArchive::DirectoryReader reader(archive);
    ImgArchive::RawEntry raw;
    while (reader.next(raw)) {
        const quint32 size = quint32(raw.sectors()) * 2048;
        if (size == 0 || raw.isPlaceholder())
            continue;
        const QString name = QString::fromLocal8Bit(raw.name);
        if (name.isEmpty() || name.contains(QLatin1Char(' ')) || !FileSystem::fitsTextField(name))
            continue;
        FileEntry element;
        element.name = name;
        element.size = size;
        element.sectorOffset = raw.offset;
        elements->append(element);
    }
    return true;
}

quint32 LocalInventory::archivePartCount(const QVector<FileEntry> &elements)
{
    quint32 sum = staticHeaderReserve;
    for (const FileEntry &element : elements)
        sum += element.size;
    return quint32((quint64(sum) + archivePartSize - 1) / archivePartSize);
}

void LocalInventory::readImgDirectories()
{
    qint32 key = 0;
    for (FileEntry &entry : list.entries) {
        if (entry.name.isEmpty() || entry.kind != FileEntry::img_archive)
            continue;
        QVector<FileEntry> elements;
        // An archive without elements is still one (element updates can fill it); only a file
        // that is not an archive at all is taken whole.
        if (!readArchiveElements(diskPath(entry.path), &elements)
            || (elements.isEmpty() && !ImgArchive::isStaticHeaderArchive(diskPath(entry.path)))) {
            entry.kind = FileEntry::file;
            continue;
        }
        entry.partCount = archivePartCount(elements);
        entry.imgKey = key;
        list.imgContents.insert(key, elements);
        ++key;
    }
}

quint32 LocalInventory::modificationTime(const QString &file)
{
#ifdef Q_OS_UNIX
    // Followed like QFileInfo does, without its two trips through local time.
    struct stat info;
    if (::stat(QFile::encodeName(file).constData(), &info) != 0)
        return 0;
    return LocalTree::listTime(info.st_mtim.tv_sec, info.st_mtim.tv_nsec);
#else
    const QFileInfo info(file);
    if (!info.exists())
        return 0;
    return quint32(quint64(info.lastModified().toSecsSinceEpoch()));
#endif
}

void LocalInventory::readModificationTimes()
{
    for (FileEntry &entry : list.entries) {
        if (entry.name.isEmpty())
            continue;
        const QString file = diskPath(entry.path);
        if (!QFileInfo::exists(file))
            return;
        entry.mtime = modificationTime(file);
    }
}

LocalInventory::Hasher::Hasher()
    : buffer(hashBlock, Qt::Uninitialized)
    , context(EVP_MD_CTX_new())
{
}

LocalInventory::Hasher::~Hasher()
{
    EVP_MD_CTX_free(context);
}

void LocalInventory::Hasher::start()
{
    EVP_DigestInit_ex(context, EVP_md5(), nullptr);
}

void LocalInventory::Hasher::add(const char *data, qint64 size)
{
    EVP_DigestUpdate(context, data, size_t(size));
}

QString LocalInventory::Hasher::finish()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context, digest, &length);
    return QString::fromLatin1(
        QByteArray::fromRawData(reinterpret_cast<const char *>(digest), int(length)).toHex());
}

QString LocalInventory::Hasher::file(const QString &path, bool *opened)
{
    if (opened)
        *opened = false;
    if (!context)
        return QString();
    start();
#ifdef Q_OS_UNIX
    // Not held up by a pipe put in place of the file: it reads as empty.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return QString();
    if (opened)
        *opened = true;
    bool advised = false;
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), size_t(buffer.size()));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            // A directory is no file to open, as QFile sees it.
            if (errno == EISDIR && opened)
                *opened = false;
            ::close(fd);
            return QString();
        }
        if (got == 0)
            break;
        add(buffer.constData(), got);
        // A file that fills the buffer is a large one: let the system read ahead further.
        if (got == buffer.size() && !advised) {
            ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
            advised = true;
        }
    }
    ::close(fd);
#else
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return QString();
    if (opened)
        *opened = true;
    for (;;) {
        const qint64 got = in.read(buffer.data(), buffer.size());
        if (got < 0)
            return QString();
        if (got == 0)
            break;
        add(buffer.constData(), got);
    }
#endif
    return finish();
}

QString LocalInventory::Hasher::range(const QString &path, qint64 offset, qint64 length)
{
    if (!context)
        return QString();
    if (rangeFile.fileName() != path || !rangeFile.isOpen()) {
        rangeFile.close();
        rangeFile.setFileName(path);
        windowSize = 0;
        if (!rangeFile.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            return QString();
    }
    start();
    const qint64 end = offset + qMax<qint64>(length, 0);
    qint64 at = offset;
    while (at < end) {
        if (at < windowStart || at >= windowStart + windowSize) {
            // Elements lie one after another: one block read serves many of them.
            windowSize = 0;
            windowStart = at;
            if (!rangeFile.seek(at))
                break;
            while (windowSize < buffer.size()) {
                const qint64 got
                    = rangeFile.read(buffer.data() + windowSize, buffer.size() - windowSize);
                if (got <= 0)
                    break;
                windowSize += got;
            }
            if (windowSize == 0)
                break; // the file ends here
        }
        const qint64 take = qMin(end, windowStart + windowSize) - at;
        add(buffer.constData() + (at - windowStart), take);
        at += take;
    }
    return finish();
}

QString LocalInventory::fileMd5(const QString &file)
{
    Hasher hasher;
    return hasher.file(file);
}

bool LocalInventory::hashFiles()
{
    emit resetProgressBar();
    emit resetCurrentFile();
    Hasher hasher;
    Pacer pacer;
    const quint64 count = quint64(list.entries.size());
    for (int i = 0; i < list.entries.size(); ++i) {
        if (stopping())
            return false;
        FileEntry &entry = list.entries[i];
        if (entry.name.isEmpty()
            || (entry.kind != FileEntry::file && entry.kind != FileEntry::audio_file))
            continue;
        bool opened = false;
        const QString digest = hasher.file(diskPath(entry.path), &opened);
        // A file that cannot be opened ends the pass; one whose reading fails is left as it was.
        if (!opened)
            return false;
        if (!digest.isEmpty())
            entry.md5 = digest;
        if (pacer.due()) {
            emit updateCurrentFile(entry.path);
            if (!digest.isEmpty())
                emit updateProgressBar(count, quint64(i) + 1);
        }
    }
    emit resetProgressBar();
    emit resetCurrentFile();
    return true;
}

bool LocalInventory::hashImgElements()
{
    emit resetProgressBar();
    emit resetCurrentFile();
    quint64 total = 0;
    for (const QVector<FileEntry> &elements : qAsConst(list.imgContents))
        total += quint64(elements.size());
    QHash<qint32, const FileEntry *> archives;
    for (const FileEntry &entry : qAsConst(list.entries)) {
        if (!entry.name.isEmpty() && entry.kind == FileEntry::img_archive
            && !archives.contains(entry.imgKey))
            archives.insert(entry.imgKey, &entry);
    }
    Hasher hasher;
    Pacer pacer;
    quint64 count = 0;
    for (auto it = list.imgContents.begin(); it != list.imgContents.end(); ++it) {
        const FileEntry *archive = archives.value(it.key());
        if (!archive || archive->path.isEmpty())
            return false;
        const QString path = diskPath(archive->path);
        if (!QFile(path).open(QIODevice::ReadOnly))
            return false;
        for (FileEntry &element : it.value()) {
            if (stopping())
                return false;
            if (element.name.isEmpty())
                continue;
            element.md5 = hasher.range(path, qint64(element.sectorOffset) * 2048, element.size);
            ++count;
            if (pacer.due()) {
                emit updateCurrentFile(archive->path);
                emit updateProgressBar(total, count);
            }
        }
    }
    emit resetProgressBar();
    emit resetCurrentFile();
    return true;
}
