#include "publisher.h"

#include "files/filesystem.h"
#include "img/archiveeditor.h"
#include "img/staticheader.h"
#include "referencecheck.h"
#include "releasesigner.h"
#include "releasestore.h"
#include "service/releasesignature.h"
#include "sync/localinventory.h"
#include "sync/packedstream.h"
#include "sync/remotenames.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMap>
#include <QSaveFile>
#include <QSet>
#include <QTemporaryDir>

#include <functional>
#include <unistd.h>

namespace {

struct CacheRecord
{
    QByteArray sourceMd5;
    qint64 outputSize = 0;
};

class Publication
{
public:
    Publication(const QString &gameDir, const QString &outDir, const PublishOptions &options)
        : gameDir(gameDir)
        , outDir(outDir)
        , options(options)
        , store(outDir)
    {
    }

    PublishReport run();

private:
    bool publishFile(FileEntry &entry, const QString &source);
    bool publishAudio(FileEntry &entry);
    bool publishArchive(FileEntry &entry, qint32 key, bool *asFile, QString *plainSource);
    // Writes one output unless the cache says it already holds this source; outputSize gets the
    // size of the output file.
    bool produce(const QString &remoteName, const QByteArray &sourceMd5,
        const std::function<bool(QIODevice &)> &write, qint64 *outputSize = nullptr);
    void readCache();
    bool writeCache();
    // The release being built lists and signs what the served one does: a launcher would fetch
    // nothing new from it.
    bool sameAsServed() const;

    QString gameDir;
    QString outDir;
    QString filesDir;
    QString listPath;
    PublishOptions options;
    ReleaseStore store;
    ReleaseSigner signer;
    QString releaseId;
    QString previousFiles; // the served release's files, where unchanged outputs come from
    QTemporaryDir scratch;
    QHash<QString, CacheRecord> cache;
    QHash<QString, CacheRecord> published;
    PublishReport report;
    FileSystem list;
};

QByteArray fileMd5(QFile &file, qint64 offset, qint64 length)
{
    QCryptographicHash md5(QCryptographicHash::Md5);
    if (!file.seek(offset))
        return QByteArray();
    qint64 left = length;
    while (left > 0) {
        const QByteArray chunk = file.read(qMin<qint64>(left, 1 << 20));
        if (chunk.isEmpty())
            return QByteArray();
        md5.addData(chunk);
        left -= chunk.size();
    }
    return md5.result().toHex();
}

bool copyRange(QFile &from, qint64 offset, qint64 length, QIODevice &to)
{
    if (!from.seek(offset))
        return false;
    qint64 left = length;
    while (left > 0) {
        const QByteArray chunk = from.read(qMin<qint64>(left, 1 << 20));
        if (chunk.isEmpty() || to.write(chunk) != chunk.size())
            return false;
        left -= chunk.size();
    }
    return true;
}

bool packRange(QFile &from, qint64 offset, qint64 length, QIODevice &to)
{
    return from.seek(offset) && PackedStream::pack(from, length, to);
}

bool isSigned(const QString &releaseDir)
{
    return QFileInfo::exists(
        releaseDir + QStringLiteral("/sync.lst") + QLatin1String(ReleaseSignature::suffix));
}

// The file's bytes, or a null array when it cannot be read (missing).
QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// What a launcher would do differently: entries that are new, differ (digest, kind or any
// element) or are gone.
QStringList describeChanges(const FileSystem &before, const FileSystem &after)
{
    const auto byPath = [](const FileSystem &list) {
        QMap<QString, const FileEntry *> entries;
        for (const FileEntry &entry : list.entries) {
            if (!entry.name.isEmpty() && !entries.contains(entry.path))
                entries.insert(entry.path, &entry);
        }
        return entries;
    };
    const auto elements = [](const FileSystem &list, const FileEntry &entry) {
        QMap<QString, QString> digests;
        if (entry.kind == FileEntry::img_archive) {
            for (const FileEntry &element : list.imgContents.value(entry.imgKey))
                digests.insert(element.name, element.md5);
        }
        return digests;
    };
    const QMap<QString, const FileEntry *> old = byPath(before);
    const QMap<QString, const FileEntry *> now = byPath(after);
    QStringList added, changed, removed;
    for (auto it = now.constBegin(); it != now.constEnd(); ++it) {
        const QString line = it.key() + QStringLiteral(" (%1 bytes)").arg((*it)->size);
        const FileEntry *was = old.value(it.key());
        if (!was)
            added.append(QStringLiteral("added ") + line);
        else if (was->kind != (*it)->kind || was->md5 != (*it)->md5
            || elements(before, *was) != elements(after, **it))
            changed.append(QStringLiteral("changed ") + line);
    }
    for (auto it = old.constBegin(); it != old.constEnd(); ++it) {
        if (!now.contains(it.key()))
            removed.append(QStringLiteral("removed ") + it.key());
    }
    return added + changed + removed;
}

void Publication::readCache()
{
    QFile file(store.cachePath(store.served()));
    if (!file.open(QIODevice::ReadOnly))
        return;
    while (!file.atEnd()) {
        const QList<QByteArray> fields = file.readLine().trimmed().split(' ');
        if (fields.size() != 3)
            continue;
        cache.insert(QString::fromUtf8(fields.at(2)), { fields.at(0), fields.at(1).toLongLong() });
    }
}

bool Publication::writeCache()
{
    QSaveFile file(store.cachePath(releaseId));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    for (auto it = published.constBegin(); it != published.constEnd(); ++it)
        file.write(it->sourceMd5 + ' ' + QByteArray::number(it->outputSize) + ' '
            + it.key().toUtf8() + '\n');
    return file.commit();
}

bool Publication::produce(const QString &remoteName, const QByteArray &sourceMd5,
    const std::function<bool(QIODevice &)> &write, qint64 *outputSize)
{
    if (options.dryRun)
        return true;
    const QString target = filesDir + QLatin1Char('/') + remoteName;
    QDir().mkpath(QFileInfo(target).absolutePath());
    const auto cached = cache.constFind(remoteName);
    const QString previous = previousFiles + QLatin1Char('/') + remoteName;
    if (cached != cache.constEnd() && cached->sourceMd5 == sourceMd5 && !previousFiles.isEmpty()
        && QFileInfo(previous).isFile() && QFileInfo(previous).size() == cached->outputSize
        && (::link(QFile::encodeName(previous).constData(), QFile::encodeName(target).constData())
                == 0
            || QFile::copy(previous, target))) {
        // Outputs are never written in place, so the releases may share them.
        published.insert(remoteName, *cached);
        if (outputSize)
            *outputSize = cached->outputSize;
        ++report.reused;
        return true;
    }
    QSaveFile out(target);
    if (!out.open(QIODevice::WriteOnly) || !write(out) || !out.commit())
        return false;
    const qint64 size = QFileInfo(target).size();
    published.insert(remoteName, { sourceMd5, size });
    if (outputSize)
        *outputSize = size;
    ++report.written;
    return true;
}

bool Publication::publishFile(FileEntry &entry, const QString &source)
{
    QFile file(source);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const qint64 size = file.size();
    if (size > qint64(0xffffffffu))
        return false;
    const QByteArray md5 = fileMd5(file, 0, size);
    if (md5.isEmpty() && size > 0)
        return false;
    entry.kind = FileEntry::file;
    entry.size = quint32(size);
    entry.md5 = QString::fromLatin1(
        size == 0 ? QCryptographicHash::hash(QByteArray(), QCryptographicHash::Md5).toHex() : md5);
    return produce(RemoteNames::plainFile(entry.path), entry.md5.toLatin1(),
        [&](QIODevice &out) { return packRange(file, 0, size, out); });
}

bool Publication::publishAudio(FileEntry &entry)
{
    QFile file(gameDir + QLatin1Char('/') + entry.path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const qint64 size = file.size();
    if (size > qint64(0xffffffffu))
        return false;
    entry.size = quint32(size);
    if (entry.size <= options.audioSinglePartLimit || options.audioPartSize == 0) {
        entry.partCount = 1;
        entry.partSize = entry.size;
    } else {
        entry.partSize = options.audioPartSize;
        entry.partCount = quint32((quint64(entry.size) + entry.partSize - 1) / entry.partSize);
    }
    entry.md5 = QString::fromLatin1(size == 0
            ? QCryptographicHash::hash(QByteArray(), QCryptographicHash::Md5).toHex()
            : fileMd5(file, 0, size));
    for (quint32 part = 0; part < entry.partCount; ++part) {
        const qint64 offset = qint64(part) * entry.partSize;
        const qint64 length = qMin<qint64>(entry.partSize, size - offset);
        const QByteArray md5 = fileMd5(file, offset, length);
        if (!produce(RemoteNames::audioPart(entry.path, part),
                md5 + ':' + QByteArray::number(length),
                [&](QIODevice &out) { return copyRange(file, offset, length, out); }))
            return false;
    }
    return true;
}

bool Publication::publishArchive(FileEntry &entry, qint32 key, bool *asFile, QString *plainSource)
{
    const QString source = gameDir + QLatin1Char('/') + entry.path;
    // The launcher holds managed archives in the static-header layout; a copy in that layout
    // is what the whole-archive parts are cut from.
    const QString copy = scratch.path() + QStringLiteral("/archive.img");
    QFile::remove(copy);
    if (!QFile::copy(source, copy))
        return false;
    QFile(copy).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (!ImgArchive::isStaticHeaderArchive(copy) && !ImgArchive::convertToStaticHeader(copy))
        return false;

    QVector<FileEntry> elements;
    if (!LocalInventory::readArchiveElements(copy, &elements))
        return false;
    if (elements.isEmpty()) {
        // Listed as a plain file, in the form the launcher's tidying leaves it in.
        *asFile = true;
        const bool converted = !entry.path.startsWith(QLatin1String("multiplayer_c/models/"));
        *plainSource = scratch.path() + QStringLiteral("/plain.img");
        QFile::remove(*plainSource);
        return QFile::copy(converted ? copy : source, *plainSource);
    }

    QFile archive(copy);
    if (!archive.open(QIODevice::ReadOnly))
        return false;
    for (FileEntry &element : elements) {
        const qint64 offset = qint64(element.sectorOffset) * 2048;
        QByteArray data;
        if (archive.seek(offset))
            data = archive.read(element.size);
        // The sector-rounded size, as the launcher reads it; a short file reads as zeros.
        data.append(QByteArray(int(element.size) - data.size(), '\0'));
        element.md5
            = QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
        element.sectorOffset = 0;
        if (!produce(RemoteNames::imgElement(entry.path, element.name), element.md5.toLatin1(),
                [&](QIODevice &out) {
                    const QByteArray packed = PackedStream::pack(data);
                    return out.write(packed) == packed.size();
                }))
            return false;
    }

    const qint64 size = archive.size();
    const qint64 partBytes = RemoteNames::archivePartBytes;
    const quint32 parts = quint32((size + partBytes - 1) / partBytes);
    quint64 packedSize = 0;
    for (quint32 part = 0; part < parts; ++part) {
        const qint64 offset = qint64(part) * partBytes;
        const qint64 length = qMin(partBytes, size - offset);
        qint64 outputSize = 0;
        const QByteArray md5 = fileMd5(archive, offset, length);
        if (!produce(
                RemoteNames::archivePart(entry.path, part), md5 + ':' + QByteArray::number(length),
                [&](QIODevice &out) { return packRange(archive, offset, length, out); },
                &outputSize))
            return false;
        packedSize += quint64(outputSize);
    }
    entry.kind = FileEntry::img_archive;
    entry.size = quint32(size);
    entry.md5.clear();
    entry.partCount = parts;
    entry.packedSize = quint32(packedSize);
    entry.imgKey = key;
    list.imgContents.insert(key, elements);
    return true;
}

bool Publication::sameAsServed() const
{
    const QString served = outDir + QStringLiteral("/launcher/sync.lst");
    const QString signature = QLatin1String(ReleaseSignature::suffix);
    return !store.served().isEmpty() && contents(listPath) == contents(served)
        && contents(listPath + signature) == contents(served + signature);
}

PublishReport Publication::run()
{
    if (!QFileInfo(gameDir).isDir()) {
        report.error = QStringLiteral("not a directory: ") + gameDir;
        return report;
    }
    // Refused before anything is written: a tree published in part would have every player's
    // launcher delete what it left out.
    report.error = ReferenceCheck::overlap(gameDir, outDir);
    if (!report.error.isEmpty())
        return report;
    report.problems = ReferenceCheck::problems(gameDir);
    if (!report.problems.isEmpty()) {
        report.error = QStringLiteral("nothing was published");
        return report;
    }
    if (!options.signKeyPath.isEmpty() && !signer.load(options.signKeyPath, &report.error))
        return report;
    // Launchers that check signatures would refuse an unsigned release from then on.
    if (!signer.isLoaded() && isSigned(outDir + QStringLiteral("/launcher"))) {
        report.error = QStringLiteral("the served release is signed: publish with --sign-key");
        return report;
    }
    // And launchers built with the served release's key alone would refuse one signed by
    // another key.
    if (signer.isLoaded() && isSigned(outDir + QStringLiteral("/launcher")) && !options.rotateKey) {
        const QString served = outDir + QStringLiteral("/launcher/sync.lst");
        if (!ReleaseSignature::verify(contents(served),
                contents(served + QLatin1String(ReleaseSignature::suffix)),
                ReleaseSignature::keyFromHex(signer.publicHex()))) {
            report.error = QStringLiteral(
                "the served release is signed by another key: launchers that know only that "
                "key would refuse this release; once every launcher is built with both keys, "
                "publish with --rotate-key");
            return report;
        }
    }
    FileSystem before;
    {
        QFile served(outDir + QStringLiteral("/launcher/sync.lst"));
        if (served.open(QIODevice::ReadOnly))
            before.readText(served.readAll(), false);
    }
    if (!scratch.isValid()) {
        report.error = QStringLiteral("no room for temporary files");
        return report;
    }
    if (!options.dryRun) {
        if (!store.lock(&report.error) || !store.adoptOldLayout(&report.error))
            return report;
        if (!store.served().isEmpty())
            previousFiles = store.path(store.served()) + QStringLiteral("/filesystem");
        // Built complete beside the served release, which stays as it is until the switch.
        const QString release = store.begin(&releaseId);
        filesDir = release + QStringLiteral("/filesystem");
        listPath = release + QStringLiteral("/sync.lst");
        if (release.isEmpty() || !QDir().mkpath(filesDir)) {
            report.error
                = QStringLiteral("cannot write below ") + outDir + QStringLiteral("/releases");
            return report;
        }
        readCache();
    }

    list.setRootPath(gameDir);
    LocalInventory inventory(list);
    inventory.scanDirectories();
    inventory.scanFiles();

    QVector<FileEntry> entries;
    qint32 key = 0;
    QElapsedTimer told;
    told.start();
    for (FileEntry entry : qAsConst(list.entries)) {
        if (options.progress && told.elapsed() >= 1000) {
            options.progress(
                QStringLiteral("%1 of %2 files").arg(entries.size()).arg(list.entries.size()));
            told.restart();
        }
        const QString source = gameDir + QLatin1Char('/') + entry.path;
        bool done = false;
        if (entry.kind == FileEntry::audio_file) {
            done = publishAudio(entry);
        } else if (entry.kind == FileEntry::img_archive) {
            bool asFile = false;
            QString plain;
            done = publishArchive(entry, key, &asFile, &plain);
            if (done && asFile)
                done = publishFile(entry, plain);
            else if (done)
                ++key;
        } else {
            done = publishFile(entry, source);
        }
        if (!done) {
            // Changed or gone since the check: a list without it would have it deleted.
            report.problems.append(entry.path + QStringLiteral(": cannot be read or written"));
            report.error = QStringLiteral("the list was not replaced");
            return report;
        }
        entries.append(entry);
    }
    list.entries = entries;
    list.normalize();
    report.changes = describeChanges(before, list);
    if (options.dryRun) {
        report.ok = true;
        return report;
    }

    QByteArray text;
    list.writeText(text, false);
    QSaveFile out(listPath);
    if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.commit()) {
        report.error = QStringLiteral("cannot write ") + listPath;
        return report;
    }
    const QString signaturePath = listPath + QLatin1String(ReleaseSignature::suffix);
    if (signer.isLoaded() && !signer.writeSignature(text, signaturePath)) {
        report.error = QStringLiteral("cannot write ") + signaturePath;
        return report;
    }
    if (!writeCache()) {
        report.error = QStringLiteral("cannot write ") + store.cachePath(releaseId);
        return report;
    }
    for (auto it = cache.constBegin(); it != cache.constEnd(); ++it)
        report.removed += published.contains(it.key()) ? 0 : 1;
    if (!options.force && sameAsServed()) {
        store.discard(releaseId);
        report.release = store.served();
        report.unchanged = true;
        report.ok = true;
        return report;
    }
    if (!store.commit(releaseId)) {
        report.error = QStringLiteral("cannot serve ") + store.path(releaseId);
        return report;
    }
    store.prune(options.keepReleases);
    report.release = releaseId;
    report.ok = true;
    return report;
}

} // namespace

PublishReport rollback(const QString &outDir, const QString &release)
{
    PublishReport report;
    ReleaseStore store(QDir(outDir).absolutePath());
    if (!store.lock(&report.error))
        return report;
    const QStringList releases = store.releases();
    const int served = releases.indexOf(store.served());
    if (!release.isEmpty() && !releases.contains(release)) {
        report.error = QStringLiteral("no release %1 in %2/releases; there are: %3")
                           .arg(release, outDir, releases.join(QStringLiteral(", ")));
        return report;
    }
    if (release.isEmpty() && served <= 0) {
        report.error = QStringLiteral("no earlier release to go back to in ") + outDir;
        return report;
    }
    report.release = release.isEmpty() ? releases.at(served - 1) : release;
    if (isSigned(store.path(store.served())) && !isSigned(store.path(report.release))) {
        report.error = QStringLiteral("release ") + report.release
            + QStringLiteral(" is not signed and the served one is");
        return report;
    }
    if (!store.serve(report.release)) {
        report.error = QStringLiteral("cannot serve ") + store.path(report.release);
        return report;
    }
    report.ok = true;
    return report;
}

PublishReport publish(const QString &gameDir, const QString &outDir, const PublishOptions &options)
{
    Publication publication(QDir(gameDir).absolutePath(), QDir(outDir).absolutePath(), options);
    return publication.run();
}
