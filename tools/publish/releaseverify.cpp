#include "releaseverify.h"

#include "files/filesystem.h"
#include "img/imgformat.h"
#include "service/httprequest.h"
#include "service/releasesignature.h"
#include "sync/packedstream.h"
#include "sync/releasedocument.h"
#include "sync/remotenames.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QHash>
#include <QTemporaryFile>
#include <QUrl>

#include <memory>

namespace ReleaseVerify {

namespace {

// As much as a launcher takes of a list.
constexpr qint64 listBytes = 64 * 1024 * 1024;

QString hex(QCryptographicHash &hash)
{
    return QString::fromLatin1(hash.result().toHex());
}

// Where the release is read from: a folder, or a host over HTTPS as a launcher fetches it, so
// that a copy on a CDN or one made by rsync can be checked where players meet it.
class Source
{
public:
    explicit Source(const QString &root)
        : root(root)
        , remote(root.startsWith(QLatin1String("https://")))
    {
    }

    // The file at relative (below the release), read no further than limit bytes over HTTPS;
    // null when it is missing or cannot be had.
    std::unique_ptr<QIODevice> open(const QString &relative, qint64 limit) const
    {
        if (!remote) {
            auto file = std::make_unique<QFile>(name(relative));
            return file->open(QIODevice::ReadOnly) ? std::move(file) : nullptr;
        }
        HttpRequest request(
            root + QLatin1Char('/') + QString::fromLatin1(QUrl::toPercentEncoding(relative, "/")));
        request.setBodyLimit(limit);
        if (!request.sendGet(3, 30000))
            return nullptr;
        auto buffer = std::make_unique<QBuffer>();
        buffer->setData(request.response());
        buffer->open(QIODevice::ReadOnly);
        return buffer;
    }
    QString name(const QString &relative) const { return root + QLatin1Char('/') + relative; }

private:
    QString root;
    bool remote;
};

class Check
{
public:
    Check(const Source &source, int maxDifferences)
        : source(source)
        , limit(maxDifferences)
    {
    }

    bool full() const { return found.size() >= limit; }
    void differ(const QString &path, const QString &what)
    {
        if (!full())
            found.append(path + QStringLiteral(": ") + what);
    }

    // The served body, once it is found to be the one the release lists (when there is a
    // release document); null when it is missing.
    std::unique_ptr<QIODevice> body(const QString &remote, qint64 limit)
    {
        ++bodies;
        auto device = source.open(QStringLiteral("filesystem/") + remote, limit);
        if (!device) {
            differ(remote, QStringLiteral("missing"));
            return nullptr;
        }
        if (!release)
            return device;
        const ReleaseDocument::Body *listed = release->body(remote);
        Sha256 sha256;
        quint64 size = 0;
        for (QByteArray chunk; !(chunk = device->read(1 << 20)).isEmpty();) {
            sha256.addData(chunk);
            size += quint64(chunk.size());
        }
        if (!listed)
            differ(remote, QStringLiteral("not in the release document"));
        else if (size != listed->size || sha256.result() != listed->sha256)
            differ(remote, QStringLiteral("SHA-256 differs from the release document"));
        device->seek(0);
        return device;
    }

    // Unpacks the body into out, or only checks it when out is null (hashing it either way);
    // false when it is missing or does not unpack to a length in [minSize, maxSize].
    bool unpack(const QString &remote, QIODevice *out, QCryptographicHash *hash, quint32 minSize,
        quint32 maxSize)
    {
        const auto body = this->body(remote, PackedStream::bound(maxSize));
        if (!body)
            return false;
        const bool intact = out ? PackedStream::unpackRange(*body, *out, minSize, maxSize, hash)
                                : PackedStream::isIntact(*body, minSize, maxSize, hash);
        if (!intact) {
            differ(remote, QStringLiteral("does not unpack to its size"));
            return false;
        }
        return true;
    }

    void file(const FileEntry &entry)
    {
        QCryptographicHash md5(QCryptographicHash::Md5);
        if (unpack(RemoteNames::plainFile(entry.path), nullptr, &md5, entry.size, entry.size)
            && hex(md5) != entry.md5)
            differ(RemoteNames::plainFile(entry.path), QStringLiteral("MD5 differs from the list"));
    }

    void audio(const FileEntry &entry)
    {
        QCryptographicHash md5(QCryptographicHash::Md5);
        quint64 size = 0;
        for (quint32 part = 0; part < qMax<quint32>(entry.partCount, 1); ++part) {
            const auto body = this->body(
                RemoteNames::audioPart(entry.path, part), qMax(entry.partSize, entry.size));
            if (!body)
                return;
            while (!body->atEnd()) {
                const QByteArray chunk = body->read(1 << 20);
                md5.addData(chunk);
                size += quint64(chunk.size());
            }
        }
        if (size != entry.size || hex(md5) != entry.md5)
            differ(entry.path, QStringLiteral("its parts do not make the listed size and MD5"));
    }

    void archive(const FileEntry &entry, const QVector<FileEntry> &elements)
    {
        QHash<QString, QString> listed;
        for (const FileEntry &element : elements) {
            listed.insert(element.name, element.md5);
            QCryptographicHash md5(QCryptographicHash::Md5);
            const QString remote = RemoteNames::imgElement(entry.path, element.name);
            if (unpack(remote, nullptr, &md5, element.size, element.size)
                && hex(md5) != element.md5)
                differ(remote, QStringLiteral("MD5 differs from the list"));
            if (full())
                return;
        }
        // The whole archive, joined from its parts, must hold the same elements.
        QTemporaryFile joined;
        if (!joined.open())
            return;
        const quint32 parts = qMax<quint32>(entry.partCount, 1);
        for (quint32 part = 0; part < parts; ++part) {
            if (!unpack(RemoteNames::archivePart(entry.path, part), &joined, nullptr,
                    part + 1 < parts ? RemoteNames::archivePartBytes : 1,
                    RemoteNames::archivePartBytes))
                return;
        }
        joined.flush();
        ImgArchive::DirectoryReader reader(joined);
        ImgArchive::RawEntry raw;
        int seen = 0;
        while (reader.next(raw) && !full()) {
            const QString name = QString::fromLocal8Bit(raw.name);
            if (raw.isPlaceholder() || !listed.contains(name))
                continue;
            ++seen;
            joined.seek(qint64(raw.offset) * ImgArchive::sectorSize);
            const QByteArray data = joined.read(qint64(raw.sectors()) * ImgArchive::sectorSize);
            if (QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex())
                != listed.value(name))
                differ(entry.path, QStringLiteral("element %1 in the parts differs").arg(name));
        }
        if (seen != listed.size())
            differ(entry.path,
                QStringLiteral("the parts hold %1 of %2 listed elements")
                    .arg(seen)
                    .arg(listed.size()));
    }

    const Source &source;
    const ReleaseDocument *release = nullptr;
    int limit;
    int bodies = 0;
    QStringList found;
};

} // namespace

QStringList differences(
    const QString &launcherDir, int maxDifferences, int *checked, const QByteArray &publicKey)
{
    const Source source(launcherDir);
    Check check(source, qMax(maxDifferences, 1));
    const QString listName = QStringLiteral("sync.lst");
    FileSystem list;
    const auto listFile = source.open(listName, listBytes);
    const QByteArray text = listFile ? listFile->readAll() : QByteArray();
    if (!list.readText(text, false) || list.entries.isEmpty()) {
        check.differ(source.name(listName), QStringLiteral("missing or not a whole list"));
        return check.found;
    }
    // The signed document, when the release has one or a key asks for one: every body is then
    // checked against it as well as against the list.
    ReleaseDocument release;
    const QString releaseName = QStringLiteral("release.lst");
    const auto releaseFile = source.open(releaseName, ReleaseDocument::maxTextBytes);
    if (releaseFile || !publicKey.isEmpty()) {
        const QByteArray document = releaseFile ? releaseFile->readAll() : QByteArray();
        const QString signatureName = releaseName + QLatin1String(ReleaseSignature::suffix);
        const auto signature = source.open(signatureName, ReleaseSignature::signatureBytes);
        if (!release.parse(document))
            check.differ(
                source.name(releaseName), QStringLiteral("missing or not a release document"));
        else if (Sha256::hash(text) != release.listSha256)
            check.differ(
                source.name(listName), QStringLiteral("SHA-256 differs from the release document"));
        else if (release.expiredAt(QDateTime::currentSecsSinceEpoch()))
            check.differ(source.name(releaseName),
                QStringLiteral("expired on %1; renew it")
                    .arg(QDateTime::fromSecsSinceEpoch(release.expires, Qt::UTC)
                             .toString(Qt::ISODate)));
        if (!publicKey.isEmpty()
            && (!signature
                || !ReleaseSignature::verify(
                    document, signature->read(ReleaseSignature::signatureBytes + 1), publicKey)))
            check.differ(source.name(signatureName),
                QStringLiteral("missing or not a signature of release.lst by the key"));
        check.release = &release;
    }
    for (const FileEntry &entry : qAsConst(list.entries)) {
        if (check.full())
            break;
        if (entry.kind == FileEntry::img_archive)
            check.archive(entry, list.imgContents.value(entry.imgKey));
        else if (entry.kind == FileEntry::audio_file)
            check.audio(entry);
        else
            check.file(entry);
    }
    *checked = check.bodies;
    return check.found;
}

} // namespace ReleaseVerify
