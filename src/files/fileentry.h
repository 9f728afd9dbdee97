#pragma once

#include <QString>

// One item of a file list: a plain file, an IMG archive, an audio file fetched in parts, or an
// element of an IMG archive.
struct FileEntry
{
    enum Kind : qint32 { file = 0, img_archive = 1, audio_file = 2 };

    // Elements of IMG archives are always file.
    Kind kind = file;
    // Entries: last path component, lower case. Elements: the name stored in the archive.
    // Records with an empty name are skipped by every list operation.
    QString name;
    // Entries: relative to the game root, lower case, "/" separated. Elements: empty.
    QString path;
    // Elements: sector count times 2048.
    quint32 size = 0;
    // 32 lower-case hexadecimal digits, or empty when not computed; never kept for archives.
    QString md5;
    // Seconds since 1970-01-01 UTC (low 32 bits), 0 when not recorded.
    quint32 mtime = 0;
    // img_archive: the key of its element sequence.
    qint32 imgKey = -1;
    // Elements: where the data starts inside the archive, in 2048-byte sectors.
    quint32 sectorOffset = 0;
    // audio_file: number of parts it is fetched in. img_archive: number of 16 MiB parts of its
    // static-header form.
    quint32 partCount = 0;
    // audio_file: bytes per part, the last part may be shorter.
    quint32 partSize = 0;
    // img_archive: bytes of all its compressed parts on the file host.
    quint32 packedSize = 0;
};
