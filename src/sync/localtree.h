#pragma once

#include <QString>
#include <QVector>

// One walk of the game directory, shared by the tidying checks and the local inventory of a
// cycle: every entry below the root once, with one lstat each (and one stat more for a symbolic
// link, to know what it points to). A stage that changes the tree marks the walk stale, and the
// next stage that asks walks again; on an unchanged tree one walk serves the whole cycle.
class LocalTree
{
public:
    // An entry as QFileInfo describes it: file, dir and exists follow a symbolic link, link does
    // not; hidden is the name's leading dot (on Windows, the attribute).
    struct Item
    {
        // Relative to the root, "/" separated, the names as they are on disk.
        QString path;
        // Plain files only (not links): size in bytes and the list time (listTime).
        qint64 size = 0;
        quint32 mtime = 0;
        int nameStart = 0;
        bool file = false;
        bool dir = false;
        bool link = false;
        bool exists = false;
        bool hidden = false;
        // Inside a hidden directory, which only the temporaries' removal enters.
        bool belowHidden = false;
        // The path, encoded back, names this very entry; not so for names that are not valid in
        // the system's encoding, which the text form cannot reach.
        bool exactPath = true;

        QString name() const { return path.mid(nameStart); }
    };

    explicit LocalTree(const QString &root);

    QString root() const { return rootPath; }
    // Every entry in the order QDirIterator gives them (a directory, then what it holds, then
    // the rest of its parent), so that what is built from them keeps its old order; walks when
    // stale.
    const QVector<Item> &items();
    void invalidate() { stale = true; }
    // Frees the walk; the next call of items() walks again.
    void clear();

    // What QDirIterator(root, filters, Subdirectories) yields, for the filters the
    // synchronisation uses:
    // QDir::Files | QDir::NoDotAndDotDot (regular files and links to anything but a directory,
    // hidden ones and hidden directories left out);
    static bool listedAsFile(const Item &item);
    // QDir::Dirs | QDir::NoDotAndDotDot;
    static bool listedAsDirectory(const Item &item);
    // QDir::Files | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot: everything but
    // directories and links to them, hidden directories entered.
    static bool listedAsAnyFile(const Item &item);

    // Seconds since 1970 of a modification time, low 32 bits, as the state file has always
    // stored them (what QFileInfo::lastModified().toSecsSinceEpoch() gives).
    static quint32 listTime(qint64 seconds, qint64 nanoseconds);

private:
    void walk();

    QString rootPath;
    QVector<Item> list;
    bool stale = true;
};
