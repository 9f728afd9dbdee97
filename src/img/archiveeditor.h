#pragma once

// IMG archives: reading and editing the game's version-2 archives in place, element by element,
// and rebuilding them into the static-header layout that leaves room for a growing directory.

#include <QFile>
#include <QHash>
#include <QObject>
#include <QString>
#include <QVector>

namespace ImgArchive {

struct DirectoryEntry
{
    quint32 offset = 0;
    quint16 streamingSize = 0;
    quint16 sizeInArchive = 0;
    // Empty for an entry removed since the directory was last written.
    QString name;
    // The name field's bytes up to the first NUL, written back as they were read: a name that is
    // not valid UTF-8 would otherwise come back altered or cut.
    QByteArray nameBytes;

    quint32 sectors() const { return sizeInArchive ? sizeInArchive : streamingSize; }
};

// Whether name can be stored as an element name: not empty, no NUL, and its UTF-8 form fits the
// 24-byte field. A 24-byte name fills the field without a terminator, which is how every reader
// of the format decodes a field without NUL, so it survives a round trip unchanged.
bool fitsNameField(const QString &name);

// Edits one archive in place: appended and replaced data is on disk at once, the directory only
// after writeDirectory() or close(). Destroying an open editor does not write the directory.
// New data never goes below sector 200, and the directory never grows into element data.
class ArchiveEditor : public QObject
{
    Q_OBJECT

public:
    explicit ArchiveEditor(const QString &path, QObject *parent = nullptr);

    bool open();
    // Writes the directory if anything changed since it was read or last written.
    void close();
    bool isOpen() const { return file.isOpen(); }

    int findEntry(const QString &name) const;
    void removeEntry(int index);
    QByteArray readEntry(int index);
    // Both refuse, writing nothing, a name that does not fit, data over 65535 sectors, and an
    // element the directory area has no room for; they also fail when the disk write fails.
    bool appendEntry(const QString &name, const QByteArray &data);
    bool replaceEntry(int index, const QByteArray &data);
    // Refuses, writing nothing, a directory that would reach into element data.
    bool writeDirectory();
    quint32 entrySectors(int index) const;
    quint32 nextFreeSector() const;

    // The in-memory sequence; indices of the operations above are positions in it.
    const QVector<DirectoryEntry> &entries() const { return directory; }
    int liveEntryCount() const { return liveEntries; }
    // Whether the directory area has room for one more entry.
    bool hasRoomForEntry() const;

private:
    quint64 freeSector() const;
    qint64 firstDataByte() const;
    void updateLayout() const;
    void invalidate();
    bool writeElement(quint64 sector, const QByteArray &data);
    bool readDirectory();

    QString path;
    QFile file;
    QVector<DirectoryEntry> directory;
    int liveEntries = 0;
    // Case-folded name -> first index with that name; rebuilt lazily after a change, since the
    // synchronisation looks up every element of archives with thousands of them.
    mutable QHash<QString, int> lookup;
    mutable bool lookupValid = false;
    // Where new data goes and where the directory has to end, kept between changes.
    mutable bool layoutValid = false;
    mutable bool layoutHasData = false;
    mutable quint64 layoutFreeSector = 0;
    mutable qint64 layoutFirstData = 0;
    bool changed = false;
};

// Creates or replaces the file with a static-header archive without elements (409600 bytes).
bool createEmptyArchive(const QString &path);

} // namespace ImgArchive
