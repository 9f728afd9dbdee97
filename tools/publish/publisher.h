#pragma once

// The file host's side of the synchronisation: turns a reference game directory into the tree
// the launcher fetches, /launcher/sync.lst and /launcher/filesystem/.

#include <QString>
#include <QStringList>

struct PublishOptions
{
    // Audio files up to this size travel in one part; larger ones in parts of audioPartSize.
    // The launcher's scan uses the defaults; smaller values only serve tests.
    quint32 audioSinglePartLimit = 62914560;
    quint32 audioPartSize = 41943040;
};

struct PublishReport
{
    bool ok = false;
    QString error;
    int written = 0; // outputs packed or copied anew
    int reused = 0; // outputs whose source was unchanged since the last publication
    int removed = 0; // outputs of files that are gone
    QStringList problems; // "path: reason" for everything that refused the publication
};

// Publishes gameDir into outDir/launcher. Unchanged sources are not packed again (a record of
// what was published is kept in outDir/publish.cache, outside the served tree); outputs of
// sources that are gone are removed. The list is written last and replaced in one step, so
// a host never lists a file that is not there yet. A tree with anything that cannot be
// published whole (see ReferenceCheck), or an output directory inside it, is refused before
// anything is written.
PublishReport publish(const QString &gameDir, const QString &outDir, const PublishOptions &options);
