#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

class QObject;

// What the pipeline shows: the per-file progress that the inventory, the planner, the
// downloader and the archive conversion report while they work. The pipeline (SyncThread)
// turns it into the texts of its current stage.
class SyncProgress
{
public:
    virtual void updateProgressBar(quint64 maxValue, quint64 currentValue) = 0;
    virtual void updateCurrentFile(const QString &currentFile, const QString &speed) = 0;

protected:
    ~SyncProgress() = default;
};

// What the downloader asks and tells about the state: the expected digests, and every item
// that arrived and was verified, so that the state file follows each completed step. The
// planner (SyncDiffHandler) answers it.
class DownloadLedger
{
public:
    // Expected digests; empty when the remote list names none (the content is not checked).
    virtual QString remoteMd5(const QString &path) const = 0;
    virtual QString remoteElementMd5(
        const QString &archivePath, const QString &elementName) const = 0;

    virtual void commitFile(const QString &path) = 0;
    virtual void commitImgElement(const QString &archivePath, const QString &elementName) = 0;
    virtual void commitImgArchive(const QString &path) = 0;
    virtual void addSavedDirectory(const QString &path) = 0;

protected:
    ~DownloadLedger() = default;
};

// What the planner needs from the pipeline that runs it: its progress, the state file, the set
// of archives the rebuild stage compacts, and the object that receives the rebuild's reports.
class SyncWorker : public SyncProgress
{
public:
    // Writes the saved state to the state file.
    virtual void saveState() = 0;
    // Paths relative to the game directory, UTF-8.
    virtual void markArchiveUpdated(const QByteArray &path) = 0;
    virtual QList<QByteArray> takeUpdatedArchives() = 0;
    // Given to the static-header conversion as its receiver; may be null.
    virtual QObject *conversionReceiver() = 0;

protected:
    ~SyncWorker() = default;
};
