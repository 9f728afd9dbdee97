#pragma once

// The Win32 calls behind the platform layer, kept free of Qt so that this half can be
// compiled on its own by a Windows cross compiler.

#include <string>

namespace Win32Native {

// Creates the named mutex with initial ownership; false only when it already existed.
// The handle is never closed: it is what keeps a second instance out until this process ends.
bool acquireNamedMutex(const char *utf8Name);

// Bytes available to the calling user on the volume of the path; false when unknown.
bool freeBytesAvailable(const std::wstring &path, unsigned long long *bytes);

unsigned long tickCount();

// Prints of the process go to the console of the program that started it, if it has one.
void attachParentConsole();

// Opens a URL (in the ANSI code page) with the shell's "open" verb in a normal window.
bool shellOpen(const std::string &ansiUrl);

// The user's documents folder in the ANSI code page; false when the shell does not know it.
bool documentsFolderAnsi(std::string *folder);

// String values under HKEY_CURRENT_USER\subKey.
bool readUserString(const std::wstring &subKey, const std::wstring &valueName, std::wstring *value);
bool writeUserString(
    const std::wstring &subKey, const std::wstring &valueName, const std::wstring &value);

// Starts commandLine exactly as given (the program's path first, quoted) in workingDirectory
// and returns at once: nothing waits for the process and no handle to it is kept or inherited.
bool startDetached(const std::wstring &commandLine, const std::wstring &workingDirectory);

// Opens path for reading, shared with readers only, so that no process can change, replace or
// delete it while the handle is held (a program may still be started from it); null when it
// cannot be opened.
void *holdFile(const std::wstring &path);
void releaseFile(void *handle);

} // namespace Win32Native
