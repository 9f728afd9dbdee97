#include "releasestore.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

const char linkName[] = "/launcher";
const char partialSuffix[] = ".partial";
const char cacheSuffix[] = ".cache";

} // namespace

ReleaseStore::ReleaseStore(const QString &outDir)
    : outDir(outDir)
    , releasesDir(outDir + QStringLiteral("/releases"))
{
}

ReleaseStore::~ReleaseStore()
{
    if (lockFd >= 0)
        ::close(lockFd);
}

QString ReleaseStore::path(const QString &id) const
{
    return releasesDir + QLatin1Char('/') + id;
}

QString ReleaseStore::cachePath(const QString &id) const
{
    return path(id) + QLatin1String(cacheSuffix);
}

bool ReleaseStore::adoptOldLayout(QString *error)
{
    const QString served = outDir + QLatin1String(linkName);
    const QFileInfo info(served);
    if (info.isSymLink() || !info.exists())
        return true;
    const QString id = QStringLiteral("00000000-000000-000");
    if (!QDir().mkpath(releasesDir) || !QDir().rename(served, path(id)) || !serve(id)) {
        *error = QStringLiteral("cannot move the served tree into ") + path(id);
        return false;
    }
    // What was published into it, recorded by earlier versions beside the tree.
    QFile::rename(outDir + QStringLiteral("/publish.cache"), cachePath(id));
    return true;
}

QStringList ReleaseStore::releases() const
{
    // A link among them is none of ours: serving or pruning it would reach outside OUT_DIR.
    QStringList ids
        = QDir(releasesDir)
              .entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDir::Name);
    ids.erase(std::remove_if(ids.begin(), ids.end(),
                  [](const QString &id) { return id.endsWith(QLatin1String(partialSuffix)); }),
        ids.end());
    return ids;
}

QString ReleaseStore::served() const
{
    const QString target = QFile::symLinkTarget(outDir + QLatin1String(linkName));
    return target.isEmpty() ? QString() : QFileInfo(target).fileName();
}

QString ReleaseStore::begin(QString *id)
{
    // Ordered by time, so that the newest release sorts last.
    const QString stamp
        = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
    for (int n = 0; n < 1000; ++n) {
        *id = n == 0 ? stamp : stamp + QStringLiteral("-%1").arg(n, 3, 10, QLatin1Char('0'));
        const QString partial = path(*id) + QLatin1String(partialSuffix);
        if (!QFileInfo::exists(path(*id)) && !QFileInfo::exists(partial) && QDir().mkpath(partial))
            return partial;
    }
    return QString();
}

bool ReleaseStore::commit(const QString &id)
{
    return QDir().rename(path(id) + QLatin1String(partialSuffix), path(id)) && serve(id);
}

bool ReleaseStore::serve(const QString &id)
{
    const QFileInfo release(path(id));
    if (!release.isDir() || release.isSymLink())
        return false;
    // A new link beside the old one, renamed over it: rename replaces it in one step.
    const QByteArray next = QFile::encodeName(outDir + QStringLiteral("/.launcher.next"));
    const QByteArray target = QFile::encodeName(QStringLiteral("releases/") + id);
    ::unlink(next.constData());
    return ::symlink(target.constData(), next.constData()) == 0
        && std::rename(
               next.constData(), QFile::encodeName(outDir + QLatin1String(linkName)).constData())
        == 0;
}

bool ReleaseStore::removeTree(const QString &path)
{
    // A link is removed as a link: recursing into it would empty whatever it points to.
    if (QFileInfo(path).isSymLink())
        return QFile::remove(path);
    return QDir(path).removeRecursively();
}

void ReleaseStore::discard(const QString &id)
{
    removeTree(path(id) + QLatin1String(partialSuffix));
    QFile::remove(cachePath(id));
}

void ReleaseStore::prune(int keep)
{
    const QString current = served();
    const QStringList complete = releases();
    for (int i = 0; i < complete.size() - qMax(keep, 1); ++i) {
        if (complete.at(i) == current)
            continue;
        removeTree(path(complete.at(i)));
        QFile::remove(cachePath(complete.at(i)));
    }
    // Left by a publisher that died: the lock keeps a living one from being here.
    const QStringList all
        = QDir(releasesDir)
              .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden);
    for (const QString &name : all) {
        if (name.endsWith(QLatin1String(partialSuffix)))
            removeTree(releasesDir + QLatin1Char('/') + name);
    }
}

bool ReleaseStore::lock(QString *error)
{
    if (!QDir().mkpath(outDir)) {
        *error = QStringLiteral("cannot write into ") + outDir;
        return false;
    }
    if (QFileInfo(releasesDir).isSymLink()) {
        *error
            = releasesDir + QStringLiteral(" is a link: the releases must lie in OUT_DIR itself");
        return false;
    }
    // Held by the kernel for this process alone and dropped when it ends, however it ends, so
    // a killed publisher never blocks the next one.
    const QByteArray path = QFile::encodeName(outDir + QStringLiteral("/.publish.lock"));
    lockFd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd < 0) {
        *error = QStringLiteral("cannot open the lock ") + QFile::decodeName(path);
        return false;
    }
    if (::flock(lockFd, LOCK_EX | LOCK_NB) == 0)
        return true;
    ::close(lockFd);
    lockFd = -1;
    *error = QStringLiteral("another publication or rollback is running in ") + outDir
        + QStringLiteral("; try again when it has ended");
    return false;
}
