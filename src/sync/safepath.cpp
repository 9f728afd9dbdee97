#include "sync/safepath.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cstdio>
#endif

namespace SafePath {

bool isSafeRelative(const QString &relative)
{
    if (relative.isEmpty() || relative.startsWith(QLatin1Char('/')))
        return false;
    for (const QChar c : relative) {
        if (c == QLatin1Char('\\') || c == QLatin1Char(':') || c.unicode() == 0)
            return false;
    }
    const QStringList parts = relative.split(QLatin1Char('/'));
    for (const QString &part : parts) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    }
    return true;
}

bool isPlainName(const QString &name)
{
    return isSafeRelative(name) && !name.contains(QLatin1Char('/'));
}

static bool isLink(const QFileInfo &info)
{
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
    if (info.isJunction())
        return true;
#endif
    return info.isSymLink();
}

QString resolve(const QString &base, const QString &relative, bool finalMayBeLink)
{
    if (base.isEmpty() || !isSafeRelative(relative))
        return QString();
    QString current = base;
    const QStringList parts = relative.split(QLatin1Char('/'));
    for (int i = 0; i < parts.size(); ++i) {
        current += QLatin1Char('/') + parts.at(i);
        const QFileInfo info(current);
        if (isLink(info))
            return finalMayBeLink && i == parts.size() - 1 ? current : QString();
        // Below a component that does not exist nothing can be a link yet.
        if (!info.exists())
            break;
    }
    return base + QLatin1Char('/') + relative;
}

bool replaceFile(const QString &from, const QString &to)
{
#ifdef Q_OS_WIN
    return MoveFileExW(reinterpret_cast<const wchar_t *>(from.utf16()),
               reinterpret_cast<const wchar_t *>(to.utf16()),
               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
        != 0;
#else
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
#endif
}

} // namespace SafePath
