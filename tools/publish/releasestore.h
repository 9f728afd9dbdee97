#pragma once

// Where the releases of a file host live, and the one step that switches between them.
//   OUT_DIR/launcher              a symbolic link to the served release, "releases/<id>"
//   OUT_DIR/releases/<id>/        sync.lst and filesystem/ of one complete release
//   OUT_DIR/releases/<id>.cache   what that release was made from (outside what is served)
//   OUT_DIR/releases/<id>.partial a release being built; never served, removed when left over
// A launcher asks for /launcher/sync.lst and /launcher/filesystem/...: whatever the link points
// to is one whole release, and it is replaced by a rename, so no launcher sees a mix.

#include <QString>
#include <QStringList>

class ReleaseStore
{
public:
    explicit ReleaseStore(const QString &outDir);
    ~ReleaseStore();
    Q_DISABLE_COPY(ReleaseStore)

    // Held for a whole publication or rollback, so that two never run at once (the second is
    // refused, error saying so) and what a partial release is left was left by a dead one.
    bool lock(QString *error);

    // Moves a served tree of the old layout (a real OUT_DIR/launcher directory) into the store
    // as its first release. False with error set when it cannot.
    bool adoptOldLayout(QString *error);
    // Ids of the complete releases, oldest first; and the served one (empty when none).
    QStringList releases() const;
    QString served() const;
    QString path(const QString &id) const;
    QString cachePath(const QString &id) const;

    // A fresh, empty directory for a new release; its id in *id.
    QString begin(QString *id);
    // Completes the release begun as id and serves it.
    bool commit(const QString &id);
    // Serves id (an existing release) in one step.
    bool serve(const QString &id);
    // Removes the release begun as id, never served.
    void discard(const QString &id);
    // Removes left-over partial releases and all complete ones but the newest keep and the
    // served one. Links found there are removed as links, never followed.
    void prune(int keep);

private:
    static bool removeTree(const QString &path);

    QString outDir;
    QString releasesDir;
    int lockFd = -1;
};
