// Prints what GameStarter starts for a game directory, host, port and nickname: the command line
// and working directory of the standard start, then of the alternative one, as UTF-8 lines. The
// Win32 test under wine starts exactly these.

#include "app/gamestarter.h"

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 5)
        return 2;
    GameStarter starter;
    starter.gameDir = QString::fromUtf8(argv[1]);
    starter.host = QString::fromUtf8(argv[2]);
    starter.port = QString::fromUtf8(argv[3]);
    starter.nickname = QString::fromUtf8(argv[4]);
    for (const bool reborn : { false, true }) {
        const GameStarter::Launch launch = starter.launchFor(reborn);
        std::printf("%s\n%s\n", launch.commandLine.toUtf8().constData(),
            launch.workingDirectory.toUtf8().constData());
    }
    return 0;
}
