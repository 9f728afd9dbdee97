#pragma once

// The file host's side of the synchronisation: turns a reference game directory into the tree
// the launcher fetches, /launcher/sync.lst and /launcher/filesystem/.

#include <QString>
#include <QStringList>

#include <functional>

struct PublishOptions
{
    // Audio files up to this size travel in one part; larger ones in parts of audioPartSize.
    // The launcher's scan uses the defaults; smaller values only serve tests.
    quint32 audioSinglePartLimit = 62914560;
    quint32 audioPartSize = 41943040;
    // Complete releases kept for a rollback, the served one included.
    int keepReleases = 3;
    // The operator's Ed25519 private key (PEM): the list's signature is written with the
    // release. Without it a release is not signed, and then a served release that is refuses it.
    QString signKeyPath;
    // Signing with a key that did not sign the served release is refused (launchers that know
    // only the old key would refuse every release from then on) unless this says that every
    // launcher out there knows the new key too.
    bool rotateKey = false;
    // Only tells what would change (PublishReport::changes); writes nothing.
    bool dryRun = false;
    // A new release even when it would be the served one again (list and signature alike);
    // otherwise none is made, so that history kept for a rollback is not pruned for nothing.
    bool force = false;
    // Seconds from the publication after which launchers refuse the release (0: never), so that
    // a host that keeps serving it after the operator lost control of it cannot do so for ever.
    qint64 expiresIn = 0;
    // Told now and then, at most once a second, how far a long publication is.
    std::function<void(const QString &)> progress;
};

struct PublishReport
{
    bool ok = false;
    QString error;
    int written = 0; // outputs packed or copied anew
    int reused = 0; // outputs whose source was unchanged since the last publication
    int removed = 0; // outputs of files that are gone
    QStringList problems; // "path: reason" for everything that refused the publication
    QString release; // the id of the release now served
    bool unchanged = false; // nothing differed from the served release: no new one was made
    // "added PATH (SIZE bytes)", "changed PATH (SIZE bytes)", "removed PATH" against the release
    // served before, in that order, by path.
    QStringList changes;
};

// Publishes gameDir as a new release in outDir (see ReleaseStore): built complete beside the
// served one, then served in one step, so a launcher sees either release, never a mix. One
// publication or rollback at a time holds outDir; links met there are never followed.
// Unchanged sources are not packed again: their outputs are shared with the served release by
// hard links. The newest keepReleases releases stay for a rollback. A tree with anything that
// cannot be published whole (see ReferenceCheck), or an output directory inside it, is refused
// before anything is written.
PublishReport publish(const QString &gameDir, const QString &outDir, const PublishOptions &options);

// Serves the release before the served one again, or the release named, in one step, numbered
// (and, where releases are signed, signed with options.signKeyPath) as the newest release:
// launchers refuse a release older than one they took.
PublishReport rollback(const QString &outDir, const QString &release = QString(),
    const PublishOptions &options = PublishOptions());
// Numbers and signs the served release anew, with a new expiry (options.expiresIn), serving the
// same list and bodies.
PublishReport renew(const QString &outDir, const PublishOptions &options);
