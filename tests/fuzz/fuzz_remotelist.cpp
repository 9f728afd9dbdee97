// What the file host answers for sync.lst, through the launcher's whole path from body to the
// list it plans from: only a whole list is taken, and what survives sanitising can never name
// a path outside the game directory or an element no archive can hold.
#include "files/filesystem.h"
#include "fuzzcheck.h"
#include "img/imgformat.h"
#include "sync/remotelist.h"
#include "sync/safepath.h"

void fuzz(const QByteArray &body)
{
    FileSystem list;
    if (!RemoteList::read(body, list))
        return;
    check(!list.entries.isEmpty());
    RemoteList::sanitize(list);
    for (const QString &directory : qAsConst(list.directories))
        check(SafePath::isSafeRelative(directory));
    for (const FileEntry &entry : qAsConst(list.entries))
        check(SafePath::isSafeRelative(entry.path));
    for (const QVector<FileEntry> &elements : qAsConst(list.imgContents)) {
        for (const FileEntry &element : elements)
            check(SafePath::isPlainName(element.name) && element.size > 0
                && element.size <= ImgArchive::maxElementSize);
    }
    list.normalize();
    QByteArray text;
    list.writeText(text, false);
    FileSystem again;
    check(again.readText(text, false));
    check(again.fingerprint(false) == list.fingerprint(false));
}
