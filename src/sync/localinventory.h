#pragma once

#include "files/fileentry.h"
#include "sync/localtree.h"

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QString>
#include <QVector>

class FileSystem;
struct evp_md_ctx_st;

// The local side of a file list: walks the game directory into a FileSystem, classifies every
// file as plain file, IMG archive or audio file, reads the archives' directories element by
// element, records sizes and modification times, and computes digests. Files are streamed
// through the digest; elements are read one at a time.
class LocalInventory : public QObject
{
    Q_OBJECT

public:
    static constexpr quint32 audioSinglePartLimit = 62914560;
    static constexpr quint32 audioPartSize = 41943040;
    static constexpr quint32 staticHeaderReserve = 409600;
    static constexpr quint32 archivePartSize = 16777216;

    // Works on list, whose root path is the directory walked.
    explicit LocalInventory(FileSystem &list, QObject *parent = nullptr);

    void scanDirectories();
    void scanFiles();
    // scanDirectories, scanFiles and readModificationTimes at once, from the cycle's walk.
    void scan(LocalTree &tree);
    // Where the remote list names a scanned file as another kind, its word counts over the
    // file's name: an ".img" listed as a plain file is hashed whole and never edited, a file
    // listed as an archive is one once it holds the static-header layout. Otherwise the two
    // would disagree about it on every cycle. Runs between scanFiles and readImgDirectories.
    void adoptRemoteKinds(const FileSystem &remote);
    void readImgDirectories();
    void readModificationTimes();
    // Both stop at the first file that cannot be opened (false), leaving it and every later
    // one without a digest, and when the stop flag is set.
    bool hashFiles();
    bool hashImgElements();

    // The usable elements of the archive at file (sizes and names as the scan takes them);
    // false when it cannot be opened.
    static bool readArchiveElements(const QString &file, QVector<FileEntry> *elements);
    // ceil((409600 + element bytes) / 16 MiB), in 32-bit arithmetic.
    static quint32 archivePartCount(const QVector<FileEntry> &elements);
    // The kind a file of this relative (lower-case) path and name is listed as.
    static FileEntry::Kind classify(const QString &path, const QString &name);
    // Lower-case hex MD5 of the whole file, streamed; empty when it cannot be read.
    static QString fileMd5(const QString &file);

    // Digests with large reads into one buffer kept from file to file: a small file costs an
    // open, a read or two and a close, a large one streams in blocks of a MiB.
    class Hasher
    {
    public:
        Hasher();
        ~Hasher();
        Hasher(const Hasher &) = delete;
        Hasher &operator=(const Hasher &) = delete;

        // Lower-case hex MD5 of the whole file; empty when it cannot be opened (opened is then
        // false) or read.
        QString file(const QString &path, bool *opened = nullptr);
        // MD5 of up to length bytes at offset of the file at path, fewer where the file ends
        // (none when it cannot be read there). Consecutive ranges of one file are served from
        // one block read ahead.
        QString range(const QString &path, qint64 offset, qint64 length);

    private:
        void start();
        void add(const char *data, qint64 size);
        QString finish();

        QByteArray buffer;
        evp_md_ctx_st *context;
        // The file of the ranges, kept open; the buffer holds windowSize of its bytes from
        // windowStart on.
        QFile rangeFile;
        qint64 windowStart = 0;
        qint64 windowSize = 0;
    };
    // Seconds since 1970 of the last modification, low 32 bits; 0 when it does not exist.
    static quint32 modificationTime(const QString &file);

signals:
    void updateProgressBar(quint64 maxValue, quint64 currentValue);
    void resetProgressBar();
    void updateCurrentFile(QString currentFile);
    void resetCurrentFile();

private:
    QString diskPath(const QString &relative) const;
    void addDirectory(const LocalTree::Item &item);
    bool addFile(const LocalTree::Item &item);

    FileSystem &list;
};
