#include "win32native.h"

// The shell headers need windows.h before them.
// clang-format off
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
// clang-format on

#include <cstdio>
#include <vector>

namespace Win32Native {

bool acquireNamedMutex(const char *utf8Name)
{
    HANDLE mutex = CreateMutexA(nullptr, TRUE, utf8Name);
    // Any failure other than an existing mutex lets the launcher run.
    return !(mutex != nullptr && GetLastError() == ERROR_ALREADY_EXISTS);
}

bool freeBytesAvailable(const std::wstring &path, unsigned long long *bytes)
{
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(path.c_str(), &available, nullptr, nullptr))
        return false;
    *bytes = available.QuadPart;
    return true;
}

unsigned long tickCount()
{
    return GetTickCount();
}

void attachParentConsole()
{
    // A windows program has no console of its own; a command prompt that started it lends its
    // own, so that --help and --version print where they were asked.
    if (!AttachConsole(ATTACH_PARENT_PROCESS))
        return;
    FILE *stream = nullptr;
    freopen_s(&stream, "CONOUT$", "w", stdout);
    freopen_s(&stream, "CONOUT$", "w", stderr);
}

bool shellOpen(const std::string &ansiUrl)
{
    const HINSTANCE result
        = ShellExecuteA(nullptr, "open", ansiUrl.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    // ShellExecute reports success as a value above 32.
    return reinterpret_cast<INT_PTR>(result) > 32;
}

bool documentsFolderAnsi(std::string *folder)
{
    char buffer[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, buffer)))
        return false;
    folder->assign(buffer);
    return true;
}

bool readUserString(const std::wstring &subKey, const std::wstring &valueName, std::wstring *value)
{
    DWORD size = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, subKey.c_str(), valueName.c_str(), RRF_RT_REG_SZ, nullptr,
            nullptr, &size)
        != ERROR_SUCCESS)
        return false;
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
    size = DWORD(buffer.size() * sizeof(wchar_t));
    if (RegGetValueW(HKEY_CURRENT_USER, subKey.c_str(), valueName.c_str(), RRF_RT_REG_SZ, nullptr,
            buffer.data(), &size)
        != ERROR_SUCCESS)
        return false;
    value->assign(buffer.data());
    return true;
}

bool writeUserString(
    const std::wstring &subKey, const std::wstring &valueName, const std::wstring &value)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
            KEY_SET_VALUE, nullptr, &key, nullptr)
        != ERROR_SUCCESS)
        return false;
    const DWORD bytes = DWORD((value.size() + 1) * sizeof(wchar_t));
    const LONG status = RegSetValueExW(
        key, valueName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()), bytes);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool startDetached(const std::wstring &commandLine, const std::wstring &workingDirectory)
{
    // CreateProcessW may write into the command line, so it gets a copy of its own.
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
            workingDirectory.c_str(), &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

void *holdFile(const std::wstring &path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

void releaseFile(void *handle)
{
    if (handle)
        CloseHandle(handle);
}

} // namespace Win32Native
