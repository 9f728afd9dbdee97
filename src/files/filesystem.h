#pragma once

// File lists of a game directory: the model, its text form, sealed container and fingerprint,
// and the local scan and hashing.

#include "files/fileentry.h"

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

// One file list: the remote list, the local inventory or the saved synchronisation state.
class FileSystem : public QObject
{
    Q_OBJECT

public:
    explicit FileSystem(QObject *parent = nullptr);

    // Relative to the game root, lower case, "/" separated, no leading or trailing slash.
    QStringList directories;
    QVector<FileEntry> entries;
    // The elements of each IMG archive, by the archive's imgKey.
    QMap<qint32, QVector<FileEntry>> imgContents;

    // The text list format; out is cleared first. Records that the format cannot carry (a
    // space or line feed inside a field, a line that would read back as a section header)
    // are left out rather than written as lines that read back as something else.
    void writeText(QByteArray &out, bool withTimes) const;
    // Appends what the text holds; malformed lines are skipped, reading never fails. Returns
    // whether the text was whole: valid UTF-8 without NUL, an "[entries]" section, and every
    // line a header or a record its section understands. A stop request ends the reading
    // early, not whole.
    bool readText(const QByteArray &bytes, bool withTimes);
    // Sorts and removes duplicates (by path, by element name), keeping the first of each.
    void normalize();
    // Lower-case hexadecimal MD5 over the canonical form of the list. With times it follows
    // modification times and ignores file digests; without, it follows digests only.
    QString fingerprint(bool withTimes) const;

    // True when text can stand as one field of a list line.
    static bool fitsTextField(const QString &text);

    // The sealed list container: the magic "KORVINABNRYLST01", then the payload's ciphertext.
    // name begins with "/" and is appended to the launcher's directory (the running
    // launcher's, or launcherDir). A missing, foreign or damaged file reads as empty.
    static QByteArray readSealedFile(const QString &name);
    static QByteArray readSealedFile(const QString &name, const QString &launcherDir);
    // Replaces the file only once the new content is complete on disk, so that a crash or
    // power cut mid-write leaves the previous state intact. False when nothing was written.
    static bool writeSealedFile(const QString &name, const QByteArray &bytes);
    static bool writeSealedFile(
        const QString &name, const QByteArray &bytes, const QString &launcherDir);
    // The container's bytes for a payload (empty if it cannot be enciphered), and back.
    static QByteArray sealPayload(const QByteArray &payload);
    static QByteArray unsealPayload(const QByteArray &fileBytes);

    // The game directory that the scan and hashing work on, absolute, without trailing slash.
    QString rootPath() const { return root; }
    void setRootPath(const QString &path) { root = path; }

signals:
    void updateProgressBar(quint64 maxValue, quint64 currentValue);
    void resetProgressBar();
    void updateCurrentFile(QString currentFile);
    void resetCurrentFile();

private:
    QString root;
    // Parse state of readText (the current "[img]" key); key counter of the IMG scan.
    qint32 currentKey = 0;
};
