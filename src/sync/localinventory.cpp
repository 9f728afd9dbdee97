#include "sync/localinventory.h"

#include "app/runstate.h"
#include "files/filesystem.h"
#include "img/imgformat.h"
#include "img/staticheader.h"
#include "sync/tidying.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>

namespace {

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
    const QString root = list.rootPath();
    const QDir base(root);
    QDirIterator it(root, QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (it.fileInfo().isSymLink())
            continue;
        const QString relative = base.relativeFilePath(it.filePath()).toLower();
        if (listable(relative))
            list.directories.append(relative);
    }
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
    const QString root = list.rootPath();
    const QDir base(root);
    QDirIterator it(root, QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        if (info.isSymLink())
            continue;
        FileEntry entry;
        entry.name = it.fileName().toLower();
        entry.path = base.relativeFilePath(it.filePath()).toLower();
        if (!listable(entry.path))
            continue;
        entry.kind = classify(entry.path, entry.name);
        entry.size = quint32(quint64(info.size()));
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
    const QFileInfo info(file);
    if (!info.exists())
        return 0;
    return quint32(quint64(info.lastModified().toSecsSinceEpoch()));
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

QString LocalInventory::fileMd5(const QString &file)
{
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash md5(QCryptographicHash::Md5);
    if (!md5.addData(&in))
        return QString();
    return QString::fromLatin1(md5.result().toHex());
}

bool LocalInventory::hashFiles()
{
    emit resetProgressBar();
    emit resetCurrentFile();
    const quint64 count = quint64(list.entries.size());
    for (int i = 0; i < list.entries.size(); ++i) {
        if (stopping())
            return false;
        FileEntry &entry = list.entries[i];
        if (entry.name.isEmpty()
            || (entry.kind != FileEntry::file && entry.kind != FileEntry::audio_file))
            continue;
        QFile in(diskPath(entry.path));
        if (!in.open(QIODevice::ReadOnly))
            return false;
        emit updateCurrentFile(entry.path);
        QCryptographicHash md5(QCryptographicHash::Md5);
        if (md5.addData(&in)) {
            entry.md5 = QString::fromLatin1(md5.result().toHex());
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
    quint64 count = 0;
    for (auto it = list.imgContents.begin(); it != list.imgContents.end(); ++it) {
        const FileEntry *archive = nullptr;
        for (const FileEntry &entry : qAsConst(list.entries)) {
            if (!entry.name.isEmpty() && entry.kind == FileEntry::img_archive
                && entry.imgKey == it.key()) {
                archive = &entry;
                break;
            }
        }
        if (!archive || archive->path.isEmpty())
            return false;
        QFile in(diskPath(archive->path));
        if (!in.open(QIODevice::ReadOnly))
            return false;
        for (FileEntry &element : it.value()) {
            if (stopping())
                return false;
            if (element.name.isEmpty())
                continue;
            emit updateCurrentFile(archive->path);
            QByteArray data;
            if (in.seek(qint64(element.sectorOffset) * 2048))
                data = in.read(element.size);
            element.md5 = QString::fromLatin1(
                QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
            emit updateProgressBar(total, ++count);
        }
    }
    emit resetProgressBar();
    emit resetCurrentFile();
    return true;
}
