// Stands in for the launcher in the installer's test under wine: it holds the launcher's
// single-instance mutex and owns a hidden top-level window titled "Korvina Launcher", as the real
// one does, so that the installer can be seen closing it and starting it again. Each step goes,
// one line each, to standin.log beside the program:
//   started <pid> <working directory> | close <pid> | exit <pid> | ignored <pid> | duplicate <pid>
// The installer starts it without arguments, so the test steers it through the environment:
//   KORVINA_STANDIN_IGNORE_CLOSE=1   stays whatever it is sent
//   KORVINA_STANDIN_LINGER_MS=<ms>   frees the mutex on WM_CLOSE but keeps the process, and so its
//                                    locked program file, that much longer
// With "--hold <file> <ms>" it is no launcher at all but another program whose window bears the
// same title, as Explorer open on the launcher's folder does, and which keeps <file> open, shared
// with no one, for that long, as a virus scanner might ("hold", then "release"; never "close").

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <windows.h>

static char logPath[MAX_PATH];
static HANDLE mutex = nullptr;
static HANDLE heldFile = INVALID_HANDLE_VALUE;

static void note(const char *what, const char *detail = "")
{
    // Opened for each line, so that the test reads every line that was written.
    FILE *file = std::fopen(logPath, "a");
    if (!file)
        return;
    std::fprintf(file, "%s %lu %s\n", what, GetCurrentProcessId(), detail);
    std::fclose(file);
}

static int environmentNumber(const char *name)
{
    const char *value = std::getenv(name);
    return value ? std::atoi(value) : 0;
}

static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CLOSE:
        if (environmentNumber("KORVINA_STANDIN_IGNORE_CLOSE")) {
            note("ignored");
            return 0;
        }
        note("close");
        ReleaseMutex(mutex);
        CloseHandle(mutex);
        DestroyWindow(window);
        return 0;
    case WM_TIMER:
        note("release");
        CloseHandle(heldFile);
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

int main(int argc, char **argv)
{
    DWORD length = GetModuleFileNameA(nullptr, logPath, MAX_PATH);
    while (length > 0 && logPath[length - 1] != '\\')
        --length;
    std::strcpy(logPath + length, "standin.log");
    const bool holder = argc == 4 && !std::strcmp(argv[1], "--hold");
    if (holder) {
        heldFile = CreateFileA(argv[2], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (heldFile == INVALID_HANDLE_VALUE) {
            note("nohold", argv[2]);
            return 2;
        }
        note("hold", argv[2]);
    } else {
        mutex = CreateMutexA(nullptr, TRUE, "Mutex: Korvina Launcher");
        if (mutex && GetLastError() == ERROR_ALREADY_EXISTS) {
            note("duplicate");
            return 3;
        }
        char directory[MAX_PATH] = {};
        GetCurrentDirectoryA(MAX_PATH, directory);
        note("started", directory);
    }

    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "KorvinaLauncherStandIn";
    RegisterClassA(&windowClass);
    // Never shown: FindWindow sees hidden top-level windows too.
    HWND window = CreateWindowExA(0, windowClass.lpszClassName, "Korvina Launcher",
                                  WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                                  windowClass.hInstance, nullptr);
    if (!window) {
        note("nowindow");
        return 2;
    }
    if (holder)
        SetTimer(window, 1, std::atoi(argv[3]), nullptr);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    if (!holder)
        Sleep(environmentNumber("KORVINA_STANDIN_LINGER_MS"));
    note("exit");
    return 0;
}
