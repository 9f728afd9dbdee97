#pragma once

#include <QString>
#include <QtGlobal>

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
    virtual QString remoteElementMd5(const QString &archivePath,
                                     const QString &elementName) const = 0;

    virtual void commitFile(const QString &path) = 0;
    virtual void commitImgElement(const QString &archivePath, const QString &elementName) = 0;
    virtual void commitImgArchive(const QString &path) = 0;
    virtual void addSavedDirectory(const QString &path) = 0;

protected:
    ~DownloadLedger() = default;
};
