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

namespace {

// A name Windows takes for a device whatever its suffix ("nul.txt" is NUL), or would store
// without its trailing dots and blanks, so that it is another file than the list names.
bool isWindowsName(const QString &part)
{
    if (part.endsWith(QLatin1Char('.')) || part.endsWith(QLatin1Char(' ')))
        return false;
    const QString base = part.left(part.indexOf(QLatin1Char('.'))).trimmed().toUpper();
    static const char *const devices[] = { "CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$" };
    for (const char *device : devices) {
        if (base == QLatin1String(device))
            return false;
    }
    // COM1 to COM9 and LPT1 to LPT9, and with the superscript digits Windows also takes for
    // 1, 2 and 3.
    const QChar digit = base.size() == 4 ? base.at(3) : QChar();
    return !(base.size() == 4
        && (base.startsWith(QLatin1String("COM")) || base.startsWith(QLatin1String("LPT")))
        && ((digit >= QLatin1Char('1') && digit <= QLatin1Char('9'))
            || digit == QChar(0x00B9) || digit == QChar(0x00B2) || digit == QChar(0x00B3)));
}

} // namespace

bool isSafeRelative(const QString &relative)
{
    if (relative.isEmpty() || relative.size() > maxLength || relative.startsWith(QLatin1Char('/')))
        return false;
    int depth = 1;
    for (const QChar c : relative) {
        // Control characters and what Windows refuses in a name.
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || QStringLiteral("\\:<>\"|?*").contains(c))
            return false;
        depth += c == QLatin1Char('/') ? 1 : 0;
    }
    if (depth > maxDepth)
        return false;
    const QStringList parts = relative.split(QLatin1Char('/'));
    for (const QString &part : parts) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String("..")
            || !isWindowsName(part))
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
