// Sealed files from anywhere, read the way the launcher reads its state: the container, the
// cipher and the list text behind it. Any payload written must read back unchanged.
#include "files/filesystem.h"
#include "fuzzcheck.h"
#include "testfiles.h"

#include <QTemporaryDir>

void fuzz(const QByteArray &input)
{
    discardQtMessages();
    static QTemporaryDir dir;

    const QByteArray payload = FileSystem::unsealPayload(input);
    FileSystem state;
    state.readText(payload, true);

    // Writing for a share of the inputs only: each write sets up a level-9 deflate and syncs
    // the file to disk, which would make a run crawl if done for every input.
    if (input.size() % 61 == 17) {
        check(FileSystem::unsealPayload(FileSystem::sealPayload(input)) == input);
        check(TestFiles::writeFile(dir.filePath("korvina_launcher.bin"), input));
        check(FileSystem::readSealedFile("/korvina_launcher.bin", dir.path()) == payload);
        check(FileSystem::writeSealedFile("/korvina_servers.bin", input, dir.path()));
        check(FileSystem::readSealedFile("/korvina_servers.bin", dir.path()) == input);
    }
}
