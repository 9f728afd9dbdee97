#include "files/filesystem.h"

#include "app/runstate.h"

#include <QCryptographicHash>
#include <QSet>
#include <QTextCodec>

#include <algorithm>
#include <cstring>

namespace {

const QString directoriesHeader = QStringLiteral("[directories]");
const QString entriesHeader = QStringLiteral("[entries]");
const QString imgHeader = QStringLiteral("[img]");
const QString kindImgArchive = QStringLiteral("img_archive");
const QString kindAudioFile = QStringLiteral("audio_file");

// A line that reads back as a section header would switch the section of every line after it.
// The reader cuts the text at the first NUL and splits it at line feeds.
bool fitsDirectoryLine(const QString &line)
{
    return !line.contains(QLatin1Char('\n')) && !line.contains(QChar(0))
        && line != directoriesHeader && line != entriesHeader && !line.startsWith(imgHeader);
}

// Entry and element lines go on after their first field, so they can only be mistaken for an
// "[img]" header.
bool writableEntry(const FileEntry &entry)
{
    return FileSystem::fitsTextField(entry.path) && FileSystem::fitsTextField(entry.name)
        && FileSystem::fitsTextField(entry.md5) && !entry.path.startsWith(imgHeader);
}

bool writableElement(const FileEntry &element)
{
    return FileSystem::fitsTextField(element.name) && FileSystem::fitsTextField(element.md5)
        && !element.name.startsWith(imgHeader);
}

quint32 readUInt(const QStringRef &field)
{
    bool ok = false;
    const uint value = field.toUInt(&ok);
    return ok ? value : 0;
}

qint32 readInt(const QStringRef &field)
{
    bool ok = false;
    const int value = field.toInt(&ok);
    return ok ? value : 0;
}

void appendNumber(QByteArray &out, qint64 value)
{
    out += ' ';
    out += QByteArray::number(value);
}

void appendField(QByteArray &out, const QString &text)
{
    out += ' ';
    out += text.toUtf8();
}

void writeEntryLine(QByteArray &out, const FileEntry &entry, bool withTimes)
{
    out += entry.path.toUtf8();
    appendField(out, entry.name);
    switch (entry.kind) {
    case FileEntry::img_archive:
        out += " img_archive";
        appendNumber(out, entry.size);
        appendNumber(out, entry.imgKey);
        appendNumber(out, entry.partCount);
        appendNumber(out, entry.packedSize);
        break;
    case FileEntry::audio_file:
        out += " audio_file";
        appendNumber(out, entry.size);
        appendField(out, entry.md5);
        appendNumber(out, entry.partCount);
        appendNumber(out, entry.partSize);
        if (withTimes)
            appendNumber(out, entry.mtime);
        break;
    default:
        out += " file";
        appendNumber(out, entry.size);
        appendField(out, entry.md5);
        if (withTimes)
            appendNumber(out, entry.mtime);
        break;
    }
    out += '\n';
}

// The lines of one part of a fingerprint, written as UTF-8 one after another into one buffer
// and hashed in ascending order. A list kept normalised is mostly in that order already, and
// then the buffer is hashed as it is.
class FingerprintLines
{
public:
    void begin() { starts.append(bytes.size()); }

    void text(const QString &text)
    {
        const QChar *c = text.constData();
        const int size = text.size();
        for (int i = 0; i < size; ++i) {
            if (c[i].unicode() >= 0x80) {
                for (int k = i; k < size; ++k)
                    wide = wide || c[k].unicode() >= 0xD800;
                bytes += text.toUtf8();
                return;
            }
        }
        const int at = bytes.size();
        bytes.resize(at + size);
        char *out = bytes.data() + at;
        for (int i = 0; i < size; ++i)
            out[i] = char(c[i].unicode());
    }

    void latin(const char *text) { bytes += text; }

    void number(quint32 value)
    {
        char digits[10];
        int count = 0;
        do {
            digits[count++] = char('0' + value % 10);
            value /= 10;
        } while (value);
        while (count)
            bytes += digits[--count];
    }

    // Whether a text held a character from U+D800 on: UTF-8 bytes order those differently
    // from QString (UTF-16 code units), so the lines must be compared as QStrings.
    bool wide = false;

    void feed(QCryptographicHash &hash)
    {
        starts.append(bytes.size());
        const int count = starts.size() - 1;
        QVector<int> order(count);
        for (int i = 0; i < count; ++i)
            order[i] = i;
        const auto before = [this](int a, int b) {
            const int sizeA = starts[a + 1] - starts[a];
            const int sizeB = starts[b + 1] - starts[b];
            const int common = std::memcmp(bytes.constData() + starts[a],
                bytes.constData() + starts[b], size_t(qMin(sizeA, sizeB)));
            return common < 0 || (common == 0 && sizeA < sizeB);
        };
        if (std::is_sorted(order.begin(), order.end(), before)) {
            hash.addData(bytes);
            return;
        }
        std::stable_sort(order.begin(), order.end(), before);
        for (const int i : qAsConst(order))
            hash.addData(bytes.constData() + starts[i], starts[i + 1] - starts[i]);
    }

private:
    QByteArray bytes;
    QVector<int> starts;
};

// The canonical form line by line as QStrings, sorted as QStrings: for lists whose text holds
// characters from U+D800 on, where the order of UTF-8 bytes is not that of QString.
QString fingerprintByLines(const FileSystem &list, bool withTimes)
{
    const QChar space(QLatin1Char(' '));
    QStringList directoryLines;
    QStringList entryLines;
    QStringList elementLines;
    QMap<qint32, QString> archivePaths;

    for (const QString &directory : list.directories) {
        if (!directory.isEmpty())
            directoryLines.append(directory);
    }
    entryLines.reserve(list.entries.size());
    for (const FileEntry &entry : list.entries) {
        if (entry.name.isEmpty())
            continue;
        QString line = entry.path + space;
        switch (entry.kind) {
        case FileEntry::img_archive:
            line += QLatin1String("ia");
            if (!archivePaths.contains(entry.imgKey))
                archivePaths.insert(entry.imgKey, entry.path);
            break;
        case FileEntry::audio_file:
            line += QLatin1String("af ") + QString::number(entry.size) + space
                + QString::number(entry.partCount) + space + QString::number(entry.partSize) + space
                + (withTimes ? QString::number(entry.mtime) : entry.md5);
            break;
        default:
            line += QLatin1String("f ") + QString::number(entry.size) + space
                + (withTimes ? QString::number(entry.mtime) : entry.md5);
            break;
        }
        entryLines.append(line);
    }
    for (const FileEntry &entry : list.entries) {
        if (entry.kind != FileEntry::img_archive || entry.name.isEmpty())
            continue;
        const auto sequence = list.imgContents.constFind(entry.imgKey);
        if (sequence == list.imgContents.constEnd())
            continue;
        const QString prefix = archivePaths.value(entry.imgKey) + QLatin1Char(':');
        for (const FileEntry &element : *sequence) {
            if (element.name.isEmpty())
                continue;
            QString line = prefix + element.name + space + QString::number(element.size);
            if (!withTimes)
                line += space + element.md5;
            elementLines.append(line);
        }
    }

    QCryptographicHash hash(QCryptographicHash::Md5);
    for (QStringList *lines : { &directoryLines, &entryLines, &elementLines }) {
        std::stable_sort(lines->begin(), lines->end());
        for (const QString &line : qAsConst(*lines))
            hash.addData(line.toUtf8());
    }
    return QString::fromLatin1(hash.result().toHex());
}

// std::unique, except that a nameless record, which every other operation skips, is kept only
// when its run holds no named one: otherwise it would displace the real record of its path.
template<typename Iterator, typename Equal>
Iterator uniqueNamedFirst(Iterator first, Iterator last, Equal equal)
{
    Iterator out = first;
    while (first != last) {
        Iterator runEnd = std::next(first);
        while (runEnd != last && equal(*first, *runEnd))
            ++runEnd;
        const Iterator named = std::find_if(
            first, runEnd, [](const FileEntry &entry) { return !entry.name.isEmpty(); });
        *out++ = std::move(named != runEnd ? *named : *first);
        first = runEnd;
    }
    return out;
}

} // namespace

FileSystem::FileSystem(QObject *parent)
    : QObject(parent)
{
}

bool FileSystem::fitsTextField(const QString &text)
{
    return !text.contains(QLatin1Char(' ')) && !text.contains(QLatin1Char('\n'))
        && !text.contains(QChar(0));
}

void FileSystem::writeText(QByteArray &out, bool withTimes) const
{
    out.clear();
    out.reserve(64 + 96 * (directories.size() + entries.size()));
    out += "[directories]\n";
    for (const QString &directory : directories) {
        if (directory.isEmpty() || !fitsDirectoryLine(directory))
            continue;
        out += directory.toUtf8();
        out += '\n';
    }
    out += "\n[entries]\n";
    for (const FileEntry &entry : entries) {
        if (!entry.name.isEmpty() && writableEntry(entry))
            writeEntryLine(out, entry, withTimes);
    }

    // Each key's elements are written once even when two archives share the key: written
    // twice, they would read back doubled.
    QSet<qint32> writtenKeys;
    for (const FileEntry &entry : entries) {
        if (entry.kind != FileEntry::img_archive || entry.name.isEmpty() || !writableEntry(entry)
            || writtenKeys.contains(entry.imgKey))
            continue;
        writtenKeys.insert(entry.imgKey);
        out += "\n[img]";
        appendNumber(out, entry.imgKey);
        out += '\n';
        const auto sequence = imgContents.constFind(entry.imgKey);
        if (sequence == imgContents.constEnd())
            continue;
        for (const FileEntry &element : *sequence) {
            if (element.name.isEmpty() || !writableElement(element))
                continue;
            out += element.name.toUtf8();
            appendNumber(out, element.size);
            appendField(out, element.md5);
            out += '\n';
        }
    }
}

bool FileSystem::readText(const QByteArray &bytes, bool withTimes)
{
    enum class Section { None, Directories, Entries, Elements };

    const int nul = bytes.indexOf('\0');
    QTextCodec::ConverterState decoding;
    const QString text = QTextCodec::codecForMib(106)->toUnicode(
        bytes.constData(), nul < 0 ? bytes.size() : nul, &decoding);
    bool whole = nul < 0 && decoding.invalidChars == 0 && decoding.remainingChars == 0;
    bool sawEntries = false;
    Section section = Section::None;
    QVector<FileEntry> *elements = nullptr;

    // Line by line rather than split up front: a text of nothing but line feeds would make a
    // reference for each. A closing launcher is not kept waiting for a long list.
    int lines = 0;
    for (int start = 0, end = 0; start < text.size(); start = end + 1) {
        end = text.indexOf(QLatin1Char('\n'), start);
        if (end < 0)
            end = text.size();
        if ((++lines & 0xffff) == 0 && quitRequested.load(std::memory_order_relaxed))
            return false;
        const QStringRef line = text.midRef(start, end - start);
        if (line.isEmpty())
            continue;
        if (line == directoriesHeader) {
            section = Section::Directories;
            continue;
        }
        if (line == entriesHeader) {
            section = Section::Entries;
            sawEntries = true;
            continue;
        }
        if (line.startsWith(imgHeader)) {
            currentKey = readInt(line.mid(6));
            elements = &imgContents[currentKey];
            section = Section::Elements;
            continue;
        }

        switch (section) {
        case Section::None:
            whole = false;
            break;
        case Section::Directories:
            directories.append(line.toString());
            break;
        case Section::Entries: {
            const QVector<QStringRef> fields = line.split(QLatin1Char(' '), Qt::KeepEmptyParts);
            if (fields.size() < 4) {
                whole = false;
                break;
            }
            FileEntry entry;
            if (fields[2] == kindImgArchive)
                entry.kind = FileEntry::img_archive;
            else if (fields[2] == kindAudioFile)
                entry.kind = FileEntry::audio_file;
            const int needed = entry.kind == FileEntry::img_archive ? 7
                : entry.kind == FileEntry::audio_file               ? (withTimes ? 8 : 7)
                                                                    : (withTimes ? 6 : 5);
            if (fields.size() < needed) {
                whole = false;
                break;
            }
            entry.path = fields[0].toString();
            entry.name = fields[1].toString();
            entry.size = readUInt(fields[3]);
            if (entry.kind == FileEntry::img_archive) {
                entry.imgKey = readInt(fields[4]);
                entry.partCount = readUInt(fields[5]);
                entry.packedSize = readUInt(fields[6]);
            } else if (entry.kind == FileEntry::audio_file) {
                entry.md5 = fields[4].toString();
                entry.partCount = readUInt(fields[5]);
                entry.partSize = readUInt(fields[6]);
                if (withTimes)
                    entry.mtime = readUInt(fields[7]);
            } else {
                entry.md5 = fields[4].toString();
                if (withTimes)
                    entry.mtime = readUInt(fields[5]);
            }
            entries.append(std::move(entry));
            break;
        }
        case Section::Elements: {
            const QVector<QStringRef> fields = line.split(QLatin1Char(' '), Qt::KeepEmptyParts);
            if (fields.size() != 3) {
                whole = false;
                break;
            }
            FileEntry element;
            element.name = fields[0].toString();
            element.size = readUInt(fields[1]);
            element.md5 = fields[2].toString();
            elements->append(std::move(element));
            break;
        }
        }
    }
    return whole && sawEntries;
}

void FileSystem::normalize()
{
    const auto byPath = [](const FileEntry &a, const FileEntry &b) { return a.path < b.path; };
    const auto samePath = [](const FileEntry &a, const FileEntry &b) { return a.path == b.path; };
    const auto byName = [](const FileEntry &a, const FileEntry &b) { return a.name < b.name; };
    const auto sameName = [](const FileEntry &a, const FileEntry &b) { return a.name == b.name; };

    // A list normalised before (the state, saved after every step) is mostly in order already.
    if (!std::is_sorted(directories.cbegin(), directories.cend()))
        std::stable_sort(directories.begin(), directories.end());
    if (!std::is_sorted(entries.cbegin(), entries.cend(), byPath))
        std::stable_sort(entries.begin(), entries.end(), byPath);
    for (QVector<FileEntry> &sequence : imgContents) {
        if (!std::is_sorted(sequence.cbegin(), sequence.cend(), byName))
            std::stable_sort(sequence.begin(), sequence.end(), byName);
    }

    directories.erase(std::unique(directories.begin(), directories.end()), directories.end());
    entries.erase(uniqueNamedFirst(entries.begin(), entries.end(), samePath), entries.end());
    for (QVector<FileEntry> &sequence : imgContents)
        sequence.erase(std::unique(sequence.begin(), sequence.end(), sameName), sequence.end());
}

QString FileSystem::fingerprint(bool withTimes) const
{
    FingerprintLines directoryLines;
    FingerprintLines entryLines;
    FingerprintLines elementLines;
    QMap<qint32, QString> archivePaths;

    for (const QString &directory : directories) {
        if (directory.isEmpty())
            continue;
        directoryLines.begin();
        directoryLines.text(directory);
    }
    for (const FileEntry &entry : entries) {
        if (entry.name.isEmpty())
            continue;
        entryLines.begin();
        entryLines.text(entry.path);
        switch (entry.kind) {
        case FileEntry::img_archive:
            entryLines.latin(" ia");
            if (!archivePaths.contains(entry.imgKey))
                archivePaths.insert(entry.imgKey, entry.path);
            break;
        default: {
            const bool audio = entry.kind == FileEntry::audio_file;
            entryLines.latin(audio ? " af " : " f ");
            entryLines.number(entry.size);
            entryLines.latin(" ");
            if (audio) {
                entryLines.number(entry.partCount);
                entryLines.latin(" ");
                entryLines.number(entry.partSize);
                entryLines.latin(" ");
            }
            if (withTimes)
                entryLines.number(entry.mtime);
            else
                entryLines.text(entry.md5);
            break;
        }
        }
    }
    for (const FileEntry &entry : entries) {
        if (entry.kind != FileEntry::img_archive || entry.name.isEmpty())
            continue;
        const auto sequence = imgContents.constFind(entry.imgKey);
        if (sequence == imgContents.constEnd())
            continue;
        const QString archivePath = archivePaths.value(entry.imgKey);
        for (const FileEntry &element : *sequence) {
            if (element.name.isEmpty())
                continue;
            elementLines.begin();
            elementLines.text(archivePath);
            elementLines.latin(":");
            elementLines.text(element.name);
            elementLines.latin(" ");
            elementLines.number(element.size);
            if (!withTimes) {
                elementLines.latin(" ");
                elementLines.text(element.md5);
            }
        }
    }

    if (directoryLines.wide || entryLines.wide || elementLines.wide)
        return fingerprintByLines(*this, withTimes);
    QCryptographicHash hash(QCryptographicHash::Md5);
    directoryLines.feed(hash);
    entryLines.feed(hash);
    elementLines.feed(hash);
    return QString::fromLatin1(hash.result().toHex());
}
