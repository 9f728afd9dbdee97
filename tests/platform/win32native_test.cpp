// The Win32 half of the platform layer against real Win32 calls, run under wine by win32.sh.
//   win32native_test <dir>   every check; <dir> holds launch.txt (from launchline) and receives
//                            the stub's records. PASS/FAIL lines; exit code 1 on a failure.
//   win32native_test mutex   exit code 0 when this process got the test mutex, 1 when refused.

#include "platform/win32native.h"

#include <cstdio>
#include <fstream>
#include <process.h>
#include <string>
#include <windows.h>

namespace {

const char mutexName[] = "Mutex: Korvina Test";
int failures = 0;

void check(bool ok, const char *what)
{
    std::printf("%s: %s\n", ok ? "PASS" : "FAIL", what);
    failures += ok ? 0 : 1;
}

std::wstring wide(const std::string &utf8)
{
    std::wstring text(utf8.size(), L'\0');
    text.resize(
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), &text[0], int(text.size())));
    return text;
}

void kernel(const char *self)
{
    // A child that gets the mutex exits and so releases it; _spawnl waits and returns its code.
    const std::string quoted = std::string("\"") + self + "\"";
    check(
        _spawnl(_P_WAIT, self, quoted.c_str(), "mutex", nullptr) == 0, "a process gets the mutex");
    check(Win32Native::acquireNamedMutex(mutexName), "once it has exited, the next one gets it");
    check(_spawnl(_P_WAIT, self, quoted.c_str(), "mutex", nullptr) == 1,
        "a second process is refused while the mutex is held");

    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    unsigned long long bytes = 0;
    check(Win32Native::freeBytesAvailable(temp, &bytes) && bytes > 0, "free space of a folder");
    check(!Win32Native::freeBytesAvailable(std::wstring(temp) + L"missing\\dir", &bytes),
        "no free space for a folder that does not exist");

    const unsigned long before = Win32Native::tickCount();
    for (int i = 0; i < 10000 && Win32Native::tickCount() - before < 20; ++i)
        Sleep(1);
    check(Win32Native::tickCount() - before >= 20, "the tick counter advances");
}

void user()
{
    const std::wstring key = L"SOFTWARE\\Korvina Test\\Client";
    const std::wstring nickname = L"\u0418\u0432\u0430\u043d_Smith";
    RegDeleteTreeW(HKEY_CURRENT_USER, L"SOFTWARE\\Korvina Test");
    std::wstring value;
    check(!Win32Native::readUserString(key, L"player_name", &value)
            && Win32Native::writeUserString(key, L"player_name", nickname)
            && Win32Native::readUserString(key, L"player_name", &value) && value == nickname,
        "player_name is written into a new key and reads back unchanged, non-ASCII included");

    std::string folder;
    check(Win32Native::documentsFolderAnsi(&folder)
            && (GetFileAttributesA(folder.c_str()) & FILE_ATTRIBUTE_DIRECTORY),
        "the documents folder is found");
    // It comes in a MAX_PATH buffer, so the settings paths built on it always fit the 512-byte
    // buffers of the game-side readers.
    check(folder.size() < MAX_PATH
            && (folder + "\\GTA San Andreas User Files\\listva.cfg").size() < 512,
        "the settings paths fit in 512 bytes");
}

void detachedStart(const std::wstring &dir)
{
    std::ifstream launches((dir + L"launch.txt").c_str());
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, L"Korvina stub go");
    std::string commandLine;
    std::string workingDirectory;
    for (const wchar_t *mode : { L"standard", L"reborn" }) {
        std::getline(launches, commandLine);
        std::getline(launches, workingDirectory);
        const std::wstring record = dir + L"record-" + mode + L".txt";
        DeleteFileW(record.c_str());
        SetEnvironmentVariableW(L"KORVINA_STUB_RECORD", record.c_str());
        ResetEvent(go);
        check(Win32Native::startDetached(wide(commandLine), wide(workingDirectory)),
            "the stub is started");
        SetEvent(go);
        for (int i = 0; i < 300 && GetFileAttributesW(record.c_str()) == INVALID_FILE_ATTRIBUTES;
             ++i)
            Sleep(100);
        std::ifstream in(record.c_str(), std::ios::binary);
        const std::string bytes { std::istreambuf_iterator<char>(in), {} };
        const std::wstring recorded(
            reinterpret_cast<const wchar_t *>(bytes.data()), bytes.size() / sizeof(wchar_t));
        std::printf("%ls start recorded:\n%ls", mode, recorded.c_str());
        // The current directory comes back without the trailing backslash of the reborn mode.
        if (workingDirectory.size() > 3 && workingDirectory.back() == '\\')
            workingDirectory.pop_back();
        check(recorded == wide(commandLine + "\n" + workingDirectory + "\nreleased\n"),
            "command line and working directory as built, not waited for");
    }
    CloseHandle(go);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && std::string(argv[1]) == "mutex")
        return Win32Native::acquireNamedMutex(mutexName) ? 0 : 1;
    if (argc != 2)
        return 2;
    kernel(argv[0]);
    user();
    detachedStart(wide(argv[1]));
    return failures == 0 ? 0 : 1;
}
