// Feeds arbitrary bytes as an IMG archive to the editor and to the static-header rebuild, and
// checks the promises both make about any file: no crash, bounded growth, and a rebuild that
// either yields a recognised archive or leaves the file untouched.
#include "fuzzcheck.h"
#include "img/archiveeditor.h"
#include "img/imgformat.h"
#include "img/staticheader.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

using TestFiles::readFile;
using TestFiles::writeFile;

namespace {

// New data lands at most one largest element past the end of the file or of the directory area
// (a rebuild adds an area per 12800 entries the input holds); the sectors are for rounding and
// for the two elements written here.
constexpr qint64 growthLimit
    = ImgArchive::directoryAreaSize + ImgArchive::maxElementSize + 3 * ImgArchive::sectorSize;

void editArchive(const QString &path, const QByteArray &input)
{
    using namespace ImgArchive;
    ArchiveEditor editor(path);
    if (!editor.open())
        return;
    for (int i = 0; i < editor.entries().size(); ++i) {
        check(editor.readEntry(i).size() <= input.size());
        check(editor.findEntry(editor.entries().at(i).name) <= i);
    }
    const QByteArray element("fuzzed element data");
    if (!editor.entries().isEmpty())
        editor.replaceEntry(0, element);
    const bool appended = editor.appendEntry("fuzz.new", element);
    const bool written = editor.writeDirectory();
    editor.close();
    check(QFileInfo(path).size() <= input.size() + growthLimit);
    if (appended && written) {
        check(editor.open());
        check(editor.readEntry(editor.findEntry("FUZZ.NEW")).startsWith(element));
    }
}

} // namespace

void fuzz(const QByteArray &input)
{
    // Every input writes and renames several files; a memory-backed directory, where there is
    // one, keeps that from dominating the run.
    static QTemporaryDir dir(
        (QFileInfo(QStringLiteral("/dev/shm")).isWritable() ? QStringLiteral("/dev/shm")
                                                            : QDir::tempPath())
        + QStringLiteral("/fuzz_imgarchive-XXXXXX"));

    const QString edited = dir.filePath("edited.img");
    check(writeFile(edited, input));
    editArchive(edited, input);

    const QString converted = dir.filePath("converted.img");
    check(writeFile(converted, input));
    if (ImgArchive::convertToStaticHeader(converted)) {
        check(ImgArchive::isStaticHeaderArchive(converted));
        check(QFileInfo(converted).size() <= 2 * input.size() + growthLimit);
        ImgArchive::ArchiveEditor editor(converted);
        check(editor.open());
        // Every element lies inside the rebuilt file.
        const qint64 fileSize = QFileInfo(converted).size();
        for (int i = 0; i < editor.entries().size(); ++i)
            check((qint64(editor.entries().at(i).offset) + editor.entrySectors(i)) * 2048
                <= fileSize);
    } else {
        check(readFile(converted) == input);
    }
    check(!QFile::exists(ImgArchive::staticHeaderTempPath(converted)));
    ImgArchive::isStaticHeaderArchive(edited);
}
