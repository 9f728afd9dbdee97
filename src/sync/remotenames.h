#pragma once

#include <QString>

// How the file host names what it serves under /launcher/filesystem, and the temporary names
// the downloader writes next to a destination. The downloader and the publisher share these,
// so the two sides cannot drift apart.
namespace RemoteNames {

inline constexpr char listPath[] = "/launcher/sync.lst";
inline constexpr char filesPath[] = "/launcher/filesystem";
// The signed document of the release (see ReleaseDocument), beside the list.
inline constexpr char releasePath[] = "/launcher/release.lst";

// The whole file, packed.
inline QString plainFile(const QString &path)
{
    return path + QLatin1String(".compressed");
}
// Raw bytes i * partSize up to (i + 1) * partSize of an audio file.
inline QString audioPart(const QString &path, quint32 part)
{
    return path + QLatin1String(".b") + QString::number(part);
}
// One element's sector-rounded data, packed.
inline QString imgElement(const QString &archivePath, const QString &elementName)
{
    return archivePath + QLatin1String("_img/") + elementName + QLatin1String(".compressed");
}
// 16 MiB part i of the archive's static-header form, packed.
inline QString archivePart(const QString &path, quint32 part)
{
    return path + QLatin1String(".b") + QString::number(part) + QLatin1String(".compressed");
}

// The local temporary beside a destination, relative to the game directory.
inline QString temporary(const QString &path)
{
    return path + QLatin1String(".tmp");
}
inline constexpr quint32 archivePartBytes = 16777216;

} // namespace RemoteNames
