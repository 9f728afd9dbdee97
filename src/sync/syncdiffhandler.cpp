#include "sync/syncdiffhandler.h"

#include "app/runstate.h"
#include "files/filesystem.h"
#include "img/archiveeditor.h"
#include "img/staticheader.h"
#include "sync/filedownloader.h"
#include "sync/localinventory.h"
#include "sync/safepath.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>

namespace {

bool stopping()
{
    return quitRequested.load(std::memory_order_relaxed);
}

int findElement(const QVector<FileEntry> &sequence, const QString &name)
{
    if (name.isEmpty())
        return -1;
    for (int i = 0; i < sequence.size(); ++i) {
        if (sequence.at(i).name == name)
            return i;
    }
    return -1;
}

// Element sequences are searched by name many times over; a set of the live names makes the
// "is it there" questions of the reconciliation linear instead of quadratic.
QSet<QString> liveNames(const QVector<FileEntry> &sequence)
{
    QSet<QString> names;
    names.reserve(sequence.size());
    for (const FileEntry &element : sequence) {
        if (!element.name.isEmpty())
            names.insert(element.name);
    }
    return names;
}

FileEntry elementCopy(const FileEntry &element)
{
    FileEntry copy;
    copy.name = element.name;
    copy.size = element.size;
    copy.md5 = element.md5;
    return copy;
}

// The keys of planned items (see planKeys()).
QString fileKey(const QString &path, const QString &md5)
{
    return QStringLiteral("f:") + path + QLatin1Char('\t') + md5;
}

QString elementKey(const QString &archive, const QString &name, const QString &md5)
{
    return QStringLiteral("e:") + archive + QLatin1Char('\n') + name + QLatin1Char('\t') + md5;
}

FileEntry entryCopy(const FileEntry &entry)
{
    FileEntry copy;
    copy.kind = entry.kind;
    copy.name = entry.name;
    copy.path = entry.path;
    copy.size = entry.size;
    copy.md5 = entry.md5;
    copy.mtime = entry.mtime;
    copy.partCount = entry.partCount;
    copy.partSize = entry.partSize;
    copy.packedSize = entry.packedSize;
    return copy;
}

} // namespace

SyncDiffHandler::SyncDiffHandler(const QString &gameDir, SyncWorker *worker, QObject *parent)
    : QObject(parent)
    , gameDir(gameDir)
    , worker(worker)
{
}

SyncDiffHandler::~SyncDiffHandler()
{
    delete loader;
}

void SyncDiffHandler::setLists(FileSystem *local, FileSystem *saved, FileSystem *remote)
{
    localList = local;
    savedState = saved;
    remoteList = remote;
    index.clear();
}

void SyncDiffHandler::setDownloader(FileDownloader *downloader)
{
    if (loader != downloader)
        delete loader;
    loader = downloader;
}

int SyncDiffHandler::findEntry(const FileSystem *list, const QString &path) const
{
    if (!list)
        return -1;
    auto cached = index.find(list);
    if (cached == index.end()) {
        QHash<QString, int> paths;
        paths.reserve(list->entries.size());
        for (int i = 0; i < list->entries.size(); ++i) {
            const FileEntry &entry = list->entries.at(i);
            if (!entry.name.isEmpty() && !paths.contains(entry.path))
                paths.insert(entry.path, i);
        }
        cached = index.insert(list, paths);
    }
    const auto found = cached->constFind(path);
    if (found == cached->constEnd())
        return -1;
    const int i = found.value();
    if (i < list->entries.size() && !list->entries.at(i).name.isEmpty()
        && list->entries.at(i).path == path)
        return i;
    // The entry was removed or moved since the index was made: make it again.
    index.remove(list);
    return findEntry(list, path);
}

void SyncDiffHandler::rebuildIndices()
{
    index.clear();
}

const FileEntry *SyncDiffHandler::remoteArchive(const QString &path) const
{
    const int i = findEntry(remoteList, path);
    if (i < 0 || remoteList->entries.at(i).kind != FileEntry::img_archive)
        return nullptr;
    return &remoteList->entries.at(i);
}

qint32 SyncDiffHandler::nextKey(const FileSystem *list) const
{
    qint32 key = list->imgContents.isEmpty() ? 0 : list->imgContents.lastKey() + 1;
    // Entries may name keys whose sequence is missing; a new key must not collide with them.
    for (const FileEntry &entry : list->entries) {
        if (entry.kind == FileEntry::img_archive && entry.imgKey >= key)
            key = entry.imgKey + 1;
    }
    return key;
}

void SyncDiffHandler::clearPlans()
{
    directories.clear();
    files.clear();
    elements.clear();
}

bool SyncDiffHandler::hasChanges() const
{
    return !directories.isEmpty() || !files.isEmpty() || !elements.isEmpty();
}

bool SyncDiffHandler::compare(bool freshState)
{
    clearPlans();
    unreadable.clear();
    if (!localList || !savedState || !remoteList)
        return false;

    // 1. Sorted and without duplicates, each list has every path once.
    localList->normalize();
    savedState->normalize();
    remoteList->normalize();
    rebuildIndices();
    if (stopping())
        return false;

    // 2. Nothing on disk changed since the state was saved and the remote list is what the
    // state already holds: the usual second launch, answered without hashing anything.
    if (!freshState && savedState->fingerprint(true) == localList->fingerprint(true)
        && remoteList->fingerprint(false) == savedState->fingerprint(false))
        return true;

    // 3. Directories, local into saved.
    {
        const QSet<QString> local(localList->directories.begin(), localList->directories.end());
        QSet<QString> saved(savedState->directories.begin(), savedState->directories.end());
        for (const QString &directory : qAsConst(localList->directories)) {
            if (!directory.isEmpty() && !saved.contains(directory)) {
                savedState->directories.append(directory);
                saved.insert(directory);
            }
        }
        for (QString &directory : savedState->directories) {
            if (!local.contains(directory))
                directory.clear();
        }
    }
    if (stopping())
        return false;

    // 4. Entries, local into saved: a stored digest stays valid only while the file's time does.
    for (const FileEntry &local : qAsConst(localList->entries)) {
        if (local.name.isEmpty())
            continue;
        const int s = findEntry(savedState, local.path);
        if (s >= 0) {
            FileEntry &saved = savedState->entries[s];
            if (saved.kind != local.kind) {
                // What the file is has changed (an archive became readable, or stopped being
                // one): nothing stored about it still holds.
                const qint32 oldKey = saved.imgKey;
                saved = entryCopy(local);
                saved.md5.clear();
                if (local.kind == FileEntry::img_archive) {
                    saved.imgKey = oldKey >= 0 ? oldKey : nextKey(savedState);
                    savedState->imgContents[saved.imgKey].clear();
                }
            } else if (local.kind != FileEntry::img_archive
                && (saved.mtime == 0 || local.mtime == 0 || saved.mtime != local.mtime)) {
                saved.md5.clear();
            }
            continue;
        }
        FileEntry copy = entryCopy(local);
        if (local.kind == FileEntry::img_archive) {
            copy.imgKey = nextKey(savedState);
            QVector<FileEntry> &sequence = savedState->imgContents[copy.imgKey];
            sequence.clear();
            for (const FileEntry &element : localList->imgContents.value(local.imgKey)) {
                if (!element.name.isEmpty())
                    sequence.append(elementCopy(element));
            }
        }
        savedState->entries.append(copy);
        index[savedState].insert(copy.path, savedState->entries.size() - 1);
    }
    if (stopping())
        return false;

    // 5. What is no longer on disk is no longer in the state.
    for (FileEntry &saved : savedState->entries) {
        if (!saved.name.isEmpty() && findEntry(localList, saved.path) < 0)
            saved.name.clear();
    }
    if (stopping())
        return false;

    // 6. IMG elements, local into saved.
    QStringList archives;
    for (const FileEntry &local : qAsConst(localList->entries)) {
        if (local.name.isEmpty() || local.kind != FileEntry::img_archive)
            continue;
        const int s = findEntry(savedState, local.path);
        if (s < 0)
            continue;
        archives.append(local.path);
        const QVector<FileEntry> localSequence = localList->imgContents.value(local.imgKey);
        QVector<FileEntry> &savedSequence
            = savedState->imgContents[savedState->entries.at(s).imgKey];
        QSet<QString> saved = liveNames(savedSequence);
        for (const FileEntry &element : localSequence) {
            if (!element.name.isEmpty() && !saved.contains(element.name)) {
                savedSequence.append(elementCopy(element));
                saved.insert(element.name);
            }
        }
        const QSet<QString> present = liveNames(localSequence);
        for (FileEntry &element : savedSequence) {
            if (!present.contains(element.name))
                element.name.clear();
        }
    }
    if (stopping())
        return false;

    // 7.
    savedState->normalize();
    rebuildIndices();
    if (stopping())
        return false;

    // 8. and 9. Hash what is not known; a file that cannot be read ends the comparison with
    // nothing planned and nothing saved, to be met again next time.
    if (!hashSavedFiles() || stopping())
        return false;
    if (!hashNewElements(archives) || stopping())
        return false;

    // 10.
    worker->saveState();
    if (stopping())
        return false;

    buildPlans();
    return true;
}

bool SyncDiffHandler::hashSavedFiles()
{
    // One buffer for every file: touched files come by the thousand after a patch of the game.
    LocalInventory::Hasher hasher;
    for (FileEntry &saved : savedState->entries) {
        if (stopping())
            return false;
        if (saved.name.isEmpty() || saved.md5.isEmpty() == false
            || (saved.kind != FileEntry::file && saved.kind != FileEntry::audio_file))
            continue;
        worker->updateCurrentFile(saved.path, QString());
        const QString digest = hasher.file(gameDir + QLatin1Char('/') + saved.path);
        if (digest.isEmpty()) {
            unreadable = saved.path;
            return false;
        }
        saved.md5 = digest;
    }
    return true;
}

bool SyncDiffHandler::hashNewElements(const QStringList &archives)
{
    quint64 total = 0;
    for (const QString &path : archives) {
        const int s = findEntry(savedState, path);
        if (s < 0)
            continue;
        for (const FileEntry &element :
            savedState->imgContents.value(savedState->entries.at(s).imgKey)) {
            if (!element.name.isEmpty() && element.md5.isEmpty())
                ++total;
        }
    }
    if (total == 0)
        return true;

    worker->updateProgressBar(total, 0);
    quint64 done = 0;
    for (const QString &path : archives) {
        const int s = findEntry(savedState, path);
        if (s < 0)
            continue;
        QVector<FileEntry> &sequence = savedState->imgContents[savedState->entries.at(s).imgKey];
        bool pending = false;
        for (const FileEntry &element : qAsConst(sequence))
            pending = pending || (!element.name.isEmpty() && element.md5.isEmpty());
        if (!pending)
            continue;
        ImgArchive::ArchiveEditor archive(gameDir + QLatin1Char('/') + path);
        if (!archive.open()) {
            unreadable = path;
            return false;
        }
        for (FileEntry &element : sequence) {
            if (stopping())
                return false;
            if (element.name.isEmpty() || !element.md5.isEmpty())
                continue;
            const int found = archive.findEntry(element.name);
            if (found < 0)
                continue;
            worker->updateCurrentFile(path, QString());
            element.md5 = QString::fromLatin1(
                QCryptographicHash::hash(archive.readEntry(found), QCryptographicHash::Md5)
                    .toHex());
            worker->updateProgressBar(total, ++done);
        }
        archive.close();
    }
    worker->updateCurrentFile(QString(), QString());
    worker->updateProgressBar(0, 1);
    return true;
}

void SyncDiffHandler::buildPlans()
{
    // 11. Directories. "enbseries" in the root is the player's graphics mod: kept.
    {
        const QSet<QString> remote(remoteList->directories.begin(), remoteList->directories.end());
        const QSet<QString> saved(savedState->directories.begin(), savedState->directories.end());
        for (const QString &directory : qAsConst(savedState->directories)) {
            if (!directory.isEmpty() && !remote.contains(directory)
                && directory != QLatin1String("enbseries"))
                directories.append({ directory, Remove });
        }
        for (const QString &directory : qAsConst(remoteList->directories)) {
            if (!directory.isEmpty() && !saved.contains(directory))
                directories.append({ directory, Add });
        }
    }

    // 12. Whole files.
    for (const FileEntry &saved : qAsConst(savedState->entries)) {
        if (!saved.name.isEmpty() && findEntry(remoteList, saved.path) < 0)
            files.append({ entryCopy(saved), Remove });
    }
    for (int r = 0; r < remoteList->entries.size(); ++r) {
        const FileEntry &remote = remoteList->entries.at(r);
        if (remote.name.isEmpty() || findEntry(remoteList, remote.path) != r)
            continue;
        const int s = findEntry(savedState, remote.path);
        if (s < 0) {
            files.append({ entryCopy(remote), Add });
            continue;
        }
        const FileEntry &saved = savedState->entries.at(s);
        if (remote.kind == FileEntry::img_archive) {
            // An archive is updated element by element only when the local file is one;
            // element edits on anything else would write garbage into it.
            if (saved.kind != FileEntry::img_archive)
                files.append({ entryCopy(remote), Replace });
        } else if (saved.md5 != remote.md5) {
            files.append({ entryCopy(remote), Replace });
        }
    }

    // 13. Elements of archives present on both sides.
    for (int r = 0; r < remoteList->entries.size(); ++r) {
        const FileEntry &remote = remoteList->entries.at(r);
        if (remote.name.isEmpty() || remote.kind != FileEntry::img_archive
            || findEntry(remoteList, remote.path) != r)
            continue;
        const int s = findEntry(savedState, remote.path);
        if (s < 0 || savedState->entries.at(s).kind != FileEntry::img_archive)
            continue;
        const QVector<FileEntry> remoteSequence = remoteList->imgContents.value(remote.imgKey);
        const QVector<FileEntry> savedSequence
            = savedState->imgContents.value(savedState->entries.at(s).imgKey);
        QHash<QString, int> savedByName;
        for (int i = 0; i < savedSequence.size(); ++i) {
            if (!savedSequence.at(i).name.isEmpty()
                && !savedByName.contains(savedSequence.at(i).name))
                savedByName.insert(savedSequence.at(i).name, i);
        }
        const QSet<QString> remoteNames = liveNames(remoteSequence);
        ElementPlan items;
        for (const FileEntry &element : savedSequence) {
            if (!element.name.isEmpty() && !remoteNames.contains(element.name))
                items.append({ elementCopy(element), Remove });
        }
        QSet<QString> seen;
        for (const FileEntry &element : remoteSequence) {
            if (element.name.isEmpty() || seen.contains(element.name))
                continue;
            seen.insert(element.name);
            const auto found = savedByName.constFind(element.name);
            if (found == savedByName.constEnd())
                items.append({ elementCopy(element), Add });
            else if (savedSequence.at(found.value()).md5 != element.md5)
                items.append({ elementCopy(element), Replace });
        }
        if (!items.isEmpty())
            elements.append({ remote.path, items });
    }
}

void SyncDiffHandler::removeExtraFiles()
{
    // Elements first, while their archives are still where the plan says.
    for (const auto &archivePlan : qAsConst(elements)) {
        if (stopping())
            return;
        const int s = findEntry(savedState, archivePlan.first);
        const QString path = SafePath::resolve(gameDir, archivePlan.first);
        if (path.isEmpty() || !QFileInfo(path).isFile())
            continue;
        ImgArchive::ArchiveEditor archive(path);
        if (!archive.open())
            continue;
        QVector<FileEntry> *sequence
            = s >= 0 ? &savedState->imgContents[savedState->entries.at(s).imgKey] : nullptr;
        for (const auto &item : archivePlan.second) {
            if (item.second != Remove)
                continue;
            const int found = archive.findEntry(item.first.name);
            if (found < 0)
                continue;
            archive.removeEntry(found);
            if (sequence) {
                const int e = findElement(*sequence, item.first.name);
                if (e >= 0)
                    (*sequence)[e].name.clear();
            }
        }
        archive.close();
    }

    for (const auto &item : qAsConst(files)) {
        if (stopping())
            return;
        if (item.second != Remove)
            continue;
        const QString path = SafePath::resolve(gameDir, item.first.path, true);
        if (!path.isEmpty() && (QFileInfo(path).isSymLink() || QFileInfo::exists(path))
            && !QFile::remove(path)) {
            // Read-only, or held open by a running program: it stays, and so does its record.
            notRemoved.append(item.first.path);
            continue;
        }
        const int s = findEntry(savedState, item.first.path);
        if (s >= 0)
            savedState->entries[s].name.clear();
    }

    for (const auto &item : qAsConst(directories)) {
        if (stopping())
            return;
        if (item.second != Remove)
            continue;
        const QString path = SafePath::resolve(gameDir, item.first);
        if (!path.isEmpty() && QFileInfo(path).isDir() && !QDir(path).removeRecursively()) {
            notRemoved.append(item.first);
            continue;
        }
        const int d = savedState->directories.indexOf(item.first);
        if (d >= 0)
            savedState->directories[d].clear();
    }
}

void SyncDiffHandler::forgetPlannedContent()
{
    for (const auto &item : qAsConst(files)) {
        if (item.second != Replace)
            continue;
        const int s = findEntry(savedState, item.first.path);
        if (s < 0)
            continue;
        FileEntry &saved = savedState->entries[s];
        saved.md5.clear();
        // An archive fetched whole brings every element anew.
        if (saved.imgKey >= 0 && savedState->imgContents.contains(saved.imgKey))
            savedState->imgContents[saved.imgKey].clear();
    }
    for (const auto &archivePlan : qAsConst(elements)) {
        const int s = findEntry(savedState, archivePlan.first);
        if (s < 0)
            continue;
        QVector<FileEntry> &sequence = savedState->imgContents[savedState->entries.at(s).imgKey];
        for (const auto &item : archivePlan.second) {
            if (item.second != Replace)
                continue;
            const int e = findElement(sequence, item.first.name);
            if (e >= 0)
                sequence[e].md5.clear();
        }
    }
}

QVector<QPair<QString, QString>> SyncDiffHandler::planKeys() const
{
    QVector<QPair<QString, QString>> keys;
    for (const auto &item : directories) {
        keys.append(
            { (item.second == Remove ? QStringLiteral("y:") : QStringLiteral("d:")) + item.first,
                item.first });
    }
    for (const auto &item : files) {
        keys.append({ item.second == Remove ? QStringLiteral("x:") + item.first.path
                                            : fileKey(item.first.path, item.first.md5),
            item.first.path });
    }
    for (const auto &archivePlan : elements) {
        for (const auto &item : archivePlan.second) {
            keys.append({ item.second == Remove
                    ? QStringLiteral("z:") + archivePlan.first + QLatin1Char('\n') + item.first.name
                    : elementKey(archivePlan.first, item.first.name, item.first.md5),
                archivePlan.first });
        }
    }
    return keys;
}

void SyncDiffHandler::prepareUpdate()
{
    if (!loader)
        return;
    for (const auto &item : qAsConst(directories)) {
        if (item.second != Remove)
            loader->addDirectory(item.first);
    }
    if (stopping())
        return;

    QSet<QString> whole;
    for (const auto &item : qAsConst(files)) {
        if (item.second == Remove)
            continue;
        const FileEntry &entry = item.first;
        if (entry.kind == FileEntry::audio_file) {
            loader->addAudioFile(
                entry.name, entry.path, entry.size, entry.partCount, entry.partSize);
        } else if (entry.kind == FileEntry::img_archive) {
            const FileEntry *remote = remoteArchive(entry.path);
            if (!remote)
                continue;
            QList<QPair<QString, quint32>> pairs;
            for (const FileEntry &element : remoteList->imgContents.value(remote->imgKey)) {
                if (!element.name.isEmpty())
                    pairs.append({ element.name, element.size });
            }
            loader->addImgArchive(remote->name, remote->path, remote->packedSize, remote->partCount,
                pairs, true, true);
            whole.insert(entry.path);
        } else {
            loader->addFile(entry.name, entry.path, entry.size);
        }
    }

    for (const auto &archivePlan : qAsConst(elements)) {
        if (whole.contains(archivePlan.first))
            continue;
        const FileEntry *remote = remoteArchive(archivePlan.first);
        if (!remote)
            continue;
        QList<QPair<QString, quint32>> pairs;
        for (const auto &item : archivePlan.second) {
            if (item.second != Remove)
                pairs.append({ item.first.name, item.first.size });
        }
        if (pairs.isEmpty())
            continue;
        // The editor grows a directory only where the static-header layout left room for it;
        // an archive the tidying does not convert gets that layout before it is edited.
        const QString path = SafePath::resolve(gameDir, remote->path);
        if (!path.isEmpty() && QFileInfo(path).isFile() && !ImgArchive::isStaticHeaderArchive(path))
            ImgArchive::convertToStaticHeader(path, worker->conversionReceiver());
        loader->addImgArchive(
            remote->name, remote->path, remote->packedSize, remote->partCount, pairs, false, false);
    }
}

void SyncDiffHandler::rebuildUpdatedArchives()
{
    const QList<QByteArray> archives = worker->takeUpdatedArchives();
    for (const QByteArray &archive : archives) {
        if (stopping())
            return;
        const QString path = SafePath::resolve(gameDir, QString::fromUtf8(archive));
        if (!path.isEmpty() && QFileInfo(path).isFile())
            ImgArchive::convertToStaticHeader(path, worker->conversionReceiver());
    }
}

QString SyncDiffHandler::remoteMd5(const QString &path) const
{
    const int r = findEntry(remoteList, path);
    return r < 0 ? QString() : remoteList->entries.at(r).md5;
}

QString SyncDiffHandler::remoteElementMd5(
    const QString &archivePath, const QString &elementName) const
{
    const FileEntry *remote = remoteArchive(archivePath);
    if (!remote)
        return QString();
    const QVector<FileEntry> sequence = remoteList->imgContents.value(remote->imgKey);
    const int e = findElement(sequence, elementName);
    return e < 0 ? QString() : sequence.at(e).md5;
}

void SyncDiffHandler::commitFile(const QString &path)
{
    const int r = findEntry(remoteList, path);
    if (r < 0 || !savedState)
        return;
    FileEntry copy = entryCopy(remoteList->entries.at(r));
    const QString disk = gameDir + QLatin1Char('/') + path;
    copy.mtime = LocalInventory::modificationTime(disk);
    const int s = findEntry(savedState, path);
    if (s >= 0) {
        FileEntry &saved = savedState->entries[s];
        if (copy.kind == FileEntry::img_archive) {
            copy.imgKey = saved.imgKey >= 0 ? saved.imgKey : nextKey(savedState);
            if (!savedState->imgContents.contains(copy.imgKey))
                savedState->imgContents.insert(copy.imgKey, {});
        }
        saved = copy;
    } else {
        if (copy.kind == FileEntry::img_archive) {
            copy.imgKey = nextKey(savedState);
            savedState->imgContents.insert(copy.imgKey, {});
        }
        savedState->entries.append(copy);
        index[savedState].insert(copy.path, savedState->entries.size() - 1);
    }
    worker->saveState();
}

void SyncDiffHandler::commitImgElement(const QString &archivePath, const QString &elementName)
{
    const FileEntry *remote = remoteArchive(archivePath);
    const int s = savedState ? findEntry(savedState, archivePath) : -1;
    if (!remote || s < 0 || savedState->entries.at(s).kind != FileEntry::img_archive)
        return;
    const QVector<FileEntry> remoteSequence = remoteList->imgContents.value(remote->imgKey);
    const int e = findElement(remoteSequence, elementName);
    if (e < 0)
        return;
    worker->markArchiveUpdated(archivePath.toUtf8());
    QVector<FileEntry> &sequence = savedState->imgContents[savedState->entries.at(s).imgKey];
    const int existing = findElement(sequence, elementName);
    if (existing >= 0)
        sequence[existing] = elementCopy(remoteSequence.at(e));
    else
        sequence.append(elementCopy(remoteSequence.at(e)));
    worker->saveState();
}

void SyncDiffHandler::commitImgArchive(const QString &path)
{
    const FileEntry *remote = remoteArchive(path);
    if (!remote || !savedState)
        return;
    worker->markArchiveUpdated(path.toUtf8());
    FileEntry copy = entryCopy(*remote);
    copy.mtime = LocalInventory::modificationTime(gameDir + QLatin1Char('/') + path);
    const int s = findEntry(savedState, path);
    if (s >= 0 && savedState->entries.at(s).imgKey >= 0) {
        copy.imgKey = savedState->entries.at(s).imgKey;
        savedState->entries[s] = copy;
    } else {
        copy.imgKey = nextKey(savedState);
        if (s >= 0) {
            savedState->entries[s] = copy;
        } else {
            savedState->entries.append(copy);
            index[savedState].insert(copy.path, savedState->entries.size() - 1);
        }
    }
    QVector<FileEntry> &sequence = savedState->imgContents[copy.imgKey];
    sequence.clear();
    for (const FileEntry &element : remoteList->imgContents.value(remote->imgKey)) {
        if (!element.name.isEmpty())
            sequence.append(elementCopy(element));
    }
    worker->saveState();
}

void SyncDiffHandler::addSavedDirectory(const QString &path)
{
    if (!savedState || savedState->directories.contains(path))
        return;
    savedState->directories.append(path);
    std::stable_sort(savedState->directories.begin(), savedState->directories.end());
    worker->saveState();
}
