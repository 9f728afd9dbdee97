#include "files/ownfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace OwnFile {

bool clearLink(const QString &path)
{
    const QFileInfo info(path);
    if (!info.isSymLink() && !info.isJunction())
        return true;
    // A directory link goes with rmdir on Windows, a file link (and any link elsewhere) with
    // unlink; neither touches what it points to.
    return QFile::remove(path) || QDir().rmdir(path);
}

} // namespace OwnFile
