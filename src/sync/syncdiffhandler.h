#pragma once

#include "files/fileentry.h"
#include "sync/syncinterfaces.h"

#include <QHash>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

class FileDownloader;
class FileSystem;

// Decides what a synchronisation cycle changes and keeps the saved state in step while it is
// changed. It first brings the saved state up to date with the local inventory cheaply (only
// new or touched files and new IMG elements are hashed), then compares the saved state with
// the remote list into three plans: directories, whole files, and single IMG elements.
class SyncDiffHandler : public QObject, public DownloadLedger
{
    Q_OBJECT

public:
    enum Action { Add = 1, Remove = 2, Replace = 3 };
    using ElementPlan = QVector<QPair<FileEntry, qint32>>;

    SyncDiffHandler(const QString &gameDir, SyncWorker *worker, QObject *parent = nullptr);
    ~SyncDiffHandler() override;

    void setLists(FileSystem *local, FileSystem *saved, FileSystem *remote);

    // Updates the saved state from the local inventory, hashes what is unknown and plans.
    // freshState: the state was just built from the disk, so the fingerprint shortcut is not
    // taken. False when hashing failed (unreadablePath() names the file) or the stop flag
    // ended it; the plans are then empty.
    bool compare(bool freshState);
    bool hasChanges() const;
    // Carries out every removal; what could not be removed is in removalFailures().
    void removeExtraFiles();
    // Clears what the state claims about everything the plan is about to overwrite (whole
    // files, archives fetched whole, replaced elements). Saved before the first byte changes,
    // this keeps the state from ever claiming a digest that the disk does not hold, whenever
    // the process dies: what was being changed is merely hashed again.
    void forgetPlannedContent();
    void prepareUpdate();
    void rebuildUpdatedArchives();

    FileDownloader *downloader() const { return loader; }
    // Takes ownership.
    void setDownloader(FileDownloader *downloader);

    const QVector<QPair<QString, qint32>> &directoryPlan() const { return directories; }
    const QVector<QPair<FileEntry, qint32>> &filePlan() const { return files; }
    const QVector<QPair<QString, ElementPlan>> &imgPlan() const { return elements; }

    // One key per planned item, naming its target (path, element, expected digest), paired with
    // the file it concerns. A key that cycle after cycle plans again is an item the run cannot
    // settle.
    QVector<QPair<QString, QString>> planKeys() const;
    const QString &unreadablePath() const { return unreadable; }
    const QStringList &removalFailures() const { return notRemoved; }

    QString remoteMd5(const QString &path) const override;
    QString remoteElementMd5(const QString &archivePath, const QString &elementName) const override;
    void commitFile(const QString &path) override;
    void commitImgElement(const QString &archivePath, const QString &elementName) override;
    void commitImgArchive(const QString &path) override;
    void addSavedDirectory(const QString &path) override;

private:
    // First live entry with this path (entries whose name is empty are removed ones).
    int findEntry(const FileSystem *list, const QString &path) const;
    const FileEntry *remoteArchive(const QString &path) const;
    qint32 nextKey(const FileSystem *list) const;
    void rebuildIndices();
    void clearPlans();
    bool hashSavedFiles();
    bool hashNewElements(const QStringList &archives);
    void buildPlans();

    QVector<QPair<QString, qint32>> directories;
    QVector<QPair<FileEntry, qint32>> files;
    QVector<QPair<QString, ElementPlan>> elements;
    FileDownloader *loader = nullptr;
    QString gameDir;
    SyncWorker *worker;
    FileSystem *localList = nullptr;
    FileSystem *savedState = nullptr;
    FileSystem *remoteList = nullptr;
    // path -> index of the first live entry, kept for the lists as they change; paths are
    // unique after normalisation, so this is the linear first-match search made cheap.
    mutable QHash<const FileSystem *, QHash<QString, int>> index;
    QString unreadable;
    QStringList notRemoved;
};
