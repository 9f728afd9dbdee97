// Stands in for the game under wine: records its command line, its working directory and whether
// the launcher let it go on (the event), one per line in UTF-16, to the file KORVINA_STUB_RECORD.

#include <cstdio>
#include <string>
#include <windows.h>

int main()
{
    wchar_t record[MAX_PATH] = {};
    wchar_t directory[MAX_PATH] = {};
    if (!GetEnvironmentVariableW(L"KORVINA_STUB_RECORD", record, MAX_PATH)
        || !GetCurrentDirectoryW(MAX_PATH, directory))
        return 2;
    // Set by the test only once the start has returned: a start that waited for this process
    // would leave it here until the time-out.
    HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, L"Korvina stub go");
    const bool released = go && WaitForSingleObject(go, 20000) == WAIT_OBJECT_0;
    const std::wstring text = std::wstring(GetCommandLineW()) + L"\n" + directory + L"\n"
        + (released ? L"released\n" : L"not released\n");
    // Written beside and renamed, so that the test never reads half a record.
    const std::wstring partial = std::wstring(record) + L".part";
    FILE *file = _wfopen(partial.c_str(), L"wb");
    if (!file || std::fwrite(text.data(), sizeof(wchar_t), text.size(), file) != text.size()
        || std::fclose(file) != 0)
        return 1;
    return MoveFileExW(partial.c_str(), record, MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
