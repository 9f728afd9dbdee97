#pragma once

// The few operating-system services the launcher needs, Win32 on Windows and a portable Qt
// equivalent elsewhere, behind one set of functions.

#include <QString>

namespace Platform {

// True when this process is the only launcher of the logged-on user. On Windows this is the
// named mutex; elsewhere an advisory lock on a per-user file, which the kernel drops when the
// process dies, so a crashed launcher never blocks the next start.
bool acquireSingleInstance(const QString &name);

// Call before the application object exists. Where the session names no runtime directory
// (XDG_RUNTIME_DIR), names the private one Qt would fall back to, so that Qt does not warn
// about it; nothing on Windows.
void prepareRuntimeDir();

// What the process prints reaches the command prompt that started it (a Windows program has
// no console of its own); nothing elsewhere.
void attachConsole();

// Bytes available to the user on the volume holding path, or -1 when unknown.
qint64 freeDiskBytes(const QString &path);

// Milliseconds since an arbitrary start, wrapping at 32 bits like the Windows tick counter.
quint32 tickCount();

// Opens a web page in the user's browser; anything but an http or https address is ignored
// (false).
bool openUrl(const QString &url);

// The user's documents folder in native form, or empty when it is unknown.
QString documentsFolder();

// The multiplayer client's nickname value "player_name": on Windows the string value under
// HKEY_CURRENT_USER\<client registry key>; elsewhere the key player_name of the INI file
// playerNameStorePath().
QString readPlayerName();
bool writePlayerName(const QString &name);
QString playerNameStorePath();

// Starts a Windows command line (the program's path in quotes, then blank-separated arguments
// without quotes of their own) in workingDirectory, also in Windows form, and returns without
// waiting; false when it could not be started. On Windows both reach CreateProcessW unchanged.
// Elsewhere "\" becomes "/" again and the program runs through wine when that is installed.
bool startDetached(const QString &commandLine, const QString &workingDirectory);

// While it lives, nobody changes, replaces or deletes the file it holds (on Windows, where a
// downloaded installer is checked and then started: what was checked is what starts); held()
// is false when the file could not be opened. Elsewhere only an open file, as such a hold
// cannot be had.
class HeldFile
{
public:
    explicit HeldFile(const QString &path);
    ~HeldFile();
    HeldFile(const HeldFile &) = delete;
    HeldFile &operator=(const HeldFile &) = delete;
    bool held() const { return handle != nullptr; }

private:
    void *handle = nullptr;
};

} // namespace Platform
