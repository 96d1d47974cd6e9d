// Windows paths on the host machine: C:\ is the machine's drive_c/, Z:\ the Linux root. Names
// resolve case-insensitively, as on Windows, when the exact spelling does not exist.
#pragma once

#include <string>

#include "platform/host/types.h"

namespace tarnel::host {

// Device names are not files: "COM5", "NUL", "COM1:" or "C:\x\LPT1.txt" (a reserved DOS name as
// the last component), and everything under "\\.\" or "\\?\" that is not a drive path
// ("\\.\COM12", "\\.\Global\x"). True with the device's name ("COM5", "COM12", "Global\x").
bool IsDevicePath(LPCWSTR path, std::u16string* deviceName = nullptr);

// The full Windows form of a path, without looking at the file system: a drive letter in upper
// case, '\' separators ('/' is accepted), "." and ".." resolved (never above the drive's root),
// trailing dots and spaces of names dropped, relative paths against the current directory.
// False with ERROR_PATH_NOT_FOUND (empty), ERROR_INVALID_NAME (a name with < > : " | ? * or
// control characters), ERROR_BAD_NETPATH (UNC paths) or ERROR_FILE_NOT_FOUND (devices).
bool FullWindowsPath(LPCWSTR path, std::u16string& full, DWORD& error);

// A Windows path resolved on the Linux file system.
struct ResolvedPath {
    std::string linuxPath;  // existing components in their on-disk spelling, the rest as given
    std::string parent;     // the Linux folder that holds, or would hold, the last component
    std::string name;       // the last component as given (the spelling a new file gets); empty
                            // for a drive's root
    bool exists = false;    // the whole path names an existing entry
};

// File-system redirection, as WOW64 applies it: for a 32-bit program on 64-bit Windows (the tool
// under WOW64, not its 64-bit build) a full path in C:\Windows\System32 names the same path in
// C:\Windows\SysWOW64, except in the folders both kinds of program share (catroot, catroot2,
// DriverStore, drivers\etc, LogFiles, spool). GetSystemDirectoryW still answers
// C:\Windows\system32, as on Windows. Wow64DisableWow64FsRedirection and the Sysnative alias are
// not part of this personality: our code reaches the real System32 through the 64-bit build.
// True when `full` was changed.
bool Wow64RedirectedPath(std::u16string& full);

// Resolves after WOW64 redirection. False with the errors of FullWindowsPath, or
// ERROR_PATH_NOT_FOUND for a drive other than C: and Z:. A path that does not exist still resolves
// (exists = false).
bool ResolvePath(LPCWSTR path, ResolvedPath& out, DWORD& error);
bool ToLinuxPath(LPCWSTR path, std::string& linuxPath, DWORD& error);

// The Windows path of a Linux path: C:\ inside the machine's drive_c, Z:\ everywhere else.
// Relative Linux paths are taken against the current directory.
bool ToWindowsPath(const std::string& linuxPath, std::u16string& windowsPath);

// The error Windows gives for a path that does not exist: ERROR_FILE_NOT_FOUND when its folder
// exists, ERROR_PATH_NOT_FOUND when the folder is missing too (or is not a folder).
DWORD MissingPathError(const std::string& linuxPath);

// Joins a Linux folder and a name.
std::string JoinLinux(const std::string& folder, const std::string& name);

}  // namespace tarnel::host
