// Sealed files from anywhere, read the way the launcher reads its state: the container, the
// cipher and the list text behind it. Any payload written must read back unchanged.
#include "files/filesystem.h"
#include "fuzzcheck.h"

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>
#include <QtGlobal>

#include <cstdint>

namespace {

void discardMessages(QtMsgType, const QMessageLogContext &, const QString &) { }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = (qInstallMessageHandler(discardMessages), true);
    Q_UNUSED(quiet);
    static QTemporaryDir dir;
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));

    const QByteArray payload = FileSystem::unsealPayload(input);
    FileSystem state;
    state.readText(payload, true);

    // Writing for a share of the inputs only: each write sets up a level-9 deflate and syncs
    // the file to disk, which would make a run crawl if done for every input.
    if (size % 61 == 17) {
        check(FileSystem::unsealPayload(FileSystem::sealPayload(input)) == input);
        QFile file(dir.path() + "/korvina_launcher.bin");
        check(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        check(file.write(input) == input.size());
        file.close();
        check(FileSystem::readSealedFile("/korvina_launcher.bin", dir.path()) == payload);
        check(FileSystem::writeSealedFile("/korvina_servers.bin", input, dir.path()));
        check(FileSystem::readSealedFile("/korvina_servers.bin", dir.path()) == input);
    }
    return 0;
}
