#pragma once

// Builds version-2 IMG archives byte by byte, independently of the code under test, so that
// the tests check the format rather than the editor's own idea of it.

#include <QByteArray>
#include <QFile>
#include <QVector>
#include <QtEndian>

#include <cstring>

namespace ImgTest {

struct Element
{
    QByteArray name;
    QByteArray data;
    // Sector offset; 0 places the element right behind the previous one.
    quint32 offset = 0;
    // Size fields; when both are 0 the streaming size is taken from the data.
    quint16 streamingSize = 0;
    quint16 sizeInArchive = 0;
};

inline QByteArray entryBytes(
    quint32 offset, quint16 streamingSize, quint16 sizeInArchive, const QByteArray &name)
{
    QByteArray record(32, '\0');
    qToLittleEndian<quint32>(offset, record.data());
    qToLittleEndian<quint16>(streamingSize, record.data() + 4);
    qToLittleEndian<quint16>(sizeInArchive, record.data() + 6);
    std::memcpy(record.data() + 8, name.constData(), size_t(qMin(name.size(), 24)));
    return record;
}

inline QByteArray pattern(int size, int seed)
{
    QByteArray bytes(size, '\0');
    quint32 state = 2166136261u ^ quint32(seed);
    for (int i = 0; i < size; ++i) {
        state = state * 16777619u + 0x9e3779b9u;
        bytes[i] = char(state >> 24);
    }
    return bytes;
}

// An archive with the given magic: header, directory, and the data of every element in whole
// sectors. firstSector is where data starts when an element gives no offset (0: right behind
// the directory).
inline QByteArray buildArchive(
    const QByteArray &magic, const QVector<Element> &elements, quint32 firstSector = 0)
{
    QByteArray directory = magic.left(4);
    directory.resize(8);
    qToLittleEndian<qint32>(elements.size(), directory.data() + 4);
    quint32 next = firstSector ? firstSector : quint32((8 + 32 * elements.size() + 2047) / 2048);
    QByteArray file;
    QVector<quint32> offsets;
    for (const Element &element : elements) {
        const quint32 offset = element.offset ? element.offset : next;
        quint16 streaming = element.streamingSize;
        if (!streaming && !element.sizeInArchive)
            streaming = quint16((element.data.size() + 2047) / 2048);
        directory += entryBytes(offset, streaming, element.sizeInArchive, element.name);
        next = offset + (element.sizeInArchive ? element.sizeInArchive : streaming);
        offsets.append(offset);
    }
    file = directory;
    for (int i = 0; i < elements.size(); ++i) {
        const qint64 at = qint64(offsets[i]) * 2048;
        if (file.size() < at + elements[i].data.size())
            file.append(QByteArray(int(at + elements[i].data.size() - file.size()), '\0'));
        std::memcpy(
            file.data() + at, elements[i].data.constData(), size_t(elements[i].data.size()));
    }
    // Whole sectors up to the end of the last element, zero padded.
    if (file.size() < qint64(next) * 2048)
        file.append(QByteArray(int(qint64(next) * 2048 - file.size()), '\0'));
    return file;
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(bytes) == bytes.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline quint32 le32(const QByteArray &bytes, int at)
{
    return qFromLittleEndian<quint32>(bytes.constData() + at);
}

inline quint16 le16(const QByteArray &bytes, int at)
{
    return qFromLittleEndian<quint16>(bytes.constData() + at);
}

} // namespace ImgTest
