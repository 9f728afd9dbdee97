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
#include "sync/releasedocument.h"
#include "sync/remotenames.h"

#include <QCryptographicHash>
#include <QDateTime>
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
    QByteArray outputSha256; // raw; empty in a cache written before releases listed it
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
    // The release being built lists, serves and signs what the served one does: a launcher
    // would fetch nothing new from it.
    bool sameAsServed(const ReleaseDocument &release) const;

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

// The file's bytes, or a null array when it cannot be read (missing).
QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray fileSha256(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    Sha256 sha256;
    for (QByteArray chunk; !(chunk = file.read(1 << 20)).isEmpty();)
        sha256.addData(chunk);
    return file.error() == QFileDevice::NoError ? sha256.result() : QByteArray();
}

const char releaseName[] = "/release.lst";

// Signed by some key: releases made before the signed document carried a signature of the list
// alone.
bool isSigned(const QString &releaseDir)
{
    const QString signature = QLatin1String(ReleaseSignature::suffix);
    return QFileInfo::exists(releaseDir + QLatin1String(releaseName) + signature)
        || QFileInfo::exists(releaseDir + QStringLiteral("/sync.lst") + signature);
}

bool isSignedBy(const QString &releaseDir, const QByteArray &publicKey)
{
    const QString signature = QLatin1String(ReleaseSignature::suffix);
    for (const QString &signedFile :
        { releaseDir + QLatin1String(releaseName), releaseDir + QStringLiteral("/sync.lst") }) {
        if (QFileInfo::exists(signedFile + signature))
            return ReleaseSignature::verify(
                contents(signedFile), contents(signedFile + signature), publicKey);
    }
    return false;
}

// Why signer may not sign after the served release, or nothing: launchers built with the served
// release's key alone would refuse one signed by another key, unless the operator says it is a
// rotation.
QString keyRefusal(const QString &served, const ReleaseSigner &signer, bool rotateKey)
{
    if (!signer.isLoaded() || !isSigned(served) || rotateKey
        || isSignedBy(served, ReleaseSignature::keyFromHex(signer.publicHex())))
        return QString();
    return QStringLiteral(
        "the served release is signed by another key: launchers that know only that key would "
        "refuse this release; once every launcher is built with both keys, use --rotate-key");
}

bool readRelease(const QString &releaseDir, ReleaseDocument *release)
{
    return release->parse(contents(releaseDir + QLatin1String(releaseName)));
}

// The document of a release made before releases had one, from what it serves.
bool describeRelease(const QString &releaseDir, ReleaseDocument *release)
{
    *release = ReleaseDocument();
    const QByteArray list = contents(releaseDir + QStringLiteral("/sync.lst"));
    if (list.isNull())
        return false;
    release->listSha256 = Sha256::hash(list);
    const QString files = releaseDir + QStringLiteral("/filesystem");
    // Links are not followed: only what the release holds itself is described.
    QDirIterator it(
        files, QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QByteArray sha256 = fileSha256(path);
        if (sha256.isEmpty())
            return false;
        release->bodies.insert(
            path.mid(files.size() + 1), { sha256, quint64(QFileInfo(path).size()) });
    }
    return true;
}

// Greater than that of every release kept, and than the time, so that numbers go on growing
// even from an output directory begun anew.
quint64 nextNumber(const ReleaseStore &store, qint64 now)
{
    quint64 number = quint64(qMax<qint64>(now, 1));
    for (const QString &id : store.releases()) {
        ReleaseDocument release;
        if (readRelease(store.path(id), &release))
            number = qMax(number, release.number + 1);
    }
    return number;
}

// Writes the document of the release in releaseDir, numbered anew, and its signature when
// signer holds a key.
bool writeRelease(const QString &releaseDir, ReleaseDocument release, const ReleaseStore &store,
    const ReleaseSigner &signer, qint64 expiresIn, QString *error)
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    release.number = nextNumber(store, now);
    release.published = now;
    release.expires = expiresIn > 0 ? now + expiresIn : 0;
    const QByteArray text = release.toText();
    const QString path = releaseDir + QLatin1String(releaseName);
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.commit()) {
        *error = QStringLiteral("cannot write ") + path;
        return false;
    }
    const QString signaturePath = path + QLatin1String(ReleaseSignature::suffix);
    if (signer.isLoaded() && !signer.writeSignature(text, signaturePath)) {
        *error = QStringLiteral("cannot write ") + signaturePath;
        return false;
    }
    return true;
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
        // "md5 size sha256 name"; caches of earlier versions lack the SHA-256.
        const QList<QByteArray> fields = file.readLine().trimmed().split(' ');
        if (fields.size() != 3 && fields.size() != 4)
            continue;
        cache.insert(QString::fromUtf8(fields.last()),
            { fields.at(0), fields.at(1).toLongLong(),
                fields.size() == 4 ? QByteArray::fromHex(fields.at(2)) : QByteArray() });
    }
}

bool Publication::writeCache()
{
    QSaveFile file(store.cachePath(releaseId));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    for (auto it = published.constBegin(); it != published.constEnd(); ++it)
        file.write(it->sourceMd5 + ' ' + QByteArray::number(it->outputSize) + ' '
            + it->outputSha256.toHex() + ' ' + it.key().toUtf8() + '\n');
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
        CacheRecord record = *cached;
        if (record.outputSha256.isEmpty())
            record.outputSha256 = fileSha256(target);
        published.insert(remoteName, record);
        if (outputSize)
            *outputSize = cached->outputSize;
        ++report.reused;
        return true;
    }
    QSaveFile out(target);
    if (!out.open(QIODevice::WriteOnly) || !write(out) || !out.commit())
        return false;
    const qint64 size = QFileInfo(target).size();
    published.insert(remoteName, { sourceMd5, size, fileSha256(target) });
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

bool Publication::sameAsServed(const ReleaseDocument &release) const
{
    const QString served = outDir + QStringLiteral("/launcher");
    ReleaseDocument servedRelease;
    if (store.served().isEmpty()
        || contents(listPath) != contents(served + QStringLiteral("/sync.lst"))
        || !readRelease(served, &servedRelease) || servedRelease.bodies != release.bodies)
        return false;
    return signer.isLoaded() ? isSignedBy(served, ReleaseSignature::keyFromHex(signer.publicHex()))
                             : !isSigned(served);
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
    report.error = keyRefusal(outDir + QStringLiteral("/launcher"), signer, options.rotateKey);
    if (!report.error.isEmpty())
        return report;
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
    ReleaseDocument release;
    release.listSha256 = Sha256::hash(text);
    for (auto it = published.constBegin(); it != published.constEnd(); ++it) {
        if (it->outputSha256.isEmpty()) {
            report.error = QStringLiteral("cannot read ") + filesDir + QLatin1Char('/') + it.key();
            return report;
        }
        release.bodies.insert(it.key(), { it->outputSha256, quint64(it->outputSize) });
    }
    if (!writeRelease(
            QFileInfo(listPath).path(), release, store, signer, options.expiresIn, &report.error))
        return report;
    if (!writeCache()) {
        report.error = QStringLiteral("cannot write ") + store.cachePath(releaseId);
        return report;
    }
    for (auto it = cache.constBegin(); it != cache.constEnd(); ++it)
        report.removed += published.contains(it.key()) ? 0 : 1;
    if (!options.force && sameAsServed(release)) {
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

namespace {

// Numbers (and signs) the release id anew as the newest release, then serves it: a release
// that launchers have seen a newer one than is served again, or one whose expiry nears is
// renewed, without publishing anything.
PublishReport reissue(ReleaseStore &store, const QString &id, const PublishOptions &options)
{
    PublishReport report;
    report.release = id;
    ReleaseSigner signer;
    if (!options.signKeyPath.isEmpty() && !signer.load(options.signKeyPath, &report.error))
        return report;
    const QString served = store.path(store.served());
    const QString release = store.path(id);
    if (!signer.isLoaded() && (isSigned(served) || isSigned(release))) {
        report.error = QStringLiteral("release ") + id
            + QStringLiteral(" is signed: it is served again as the newest release, which "
                             "needs --sign-key");
        return report;
    }
    report.error = keyRefusal(served, signer, options.rotateKey);
    if (!report.error.isEmpty())
        return report;
    ReleaseDocument document;
    if (!readRelease(release, &document) && !describeRelease(release, &document)) {
        report.error = QStringLiteral("cannot read the release in ") + release;
        return report;
    }
    if (!writeRelease(release, document, store, signer, options.expiresIn, &report.error))
        return report;
    if (!store.serve(id)) {
        report.error = QStringLiteral("cannot serve ") + release;
        return report;
    }
    report.ok = true;
    return report;
}

} // namespace

PublishReport rollback(const QString &outDir, const QString &release, const PublishOptions &options)
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
    return reissue(store, release.isEmpty() ? releases.at(served - 1) : release, options);
}

PublishReport renew(const QString &outDir, const PublishOptions &options)
{
    PublishReport report;
    ReleaseStore store(QDir(outDir).absolutePath());
    if (!store.lock(&report.error))
        return report;
    if (store.served().isEmpty()) {
        report.error = QStringLiteral("no release is served in ") + outDir;
        return report;
    }
    return reissue(store, store.served(), options);
}

PublishReport publish(const QString &gameDir, const QString &outDir, const PublishOptions &options)
{
    Publication publication(QDir(gameDir).absolutePath(), QDir(outDir).absolutePath(), options);
    return publication.run();
}
