// The WOW64 relay. A 32-bit program on 64-bit Windows may not install or remove devices (the
// calls fail with ERROR_IN_WOW64), and its file names under System32 are redirected to
// SysWOW64. Under WOW64 the tool therefore runs those steps in its 64-bit build, the program of
// the same name in the "x64" folder beside it, started with an internal command line; the
// 64-bit build writes its trace lines into the caller's log and shows the caller's messages.
#pragma once

#include "platform/win32.h"
#include "tool/support/xstring.h"

// The 64-bit side. When `commandLine` (the program's whole command line, as GetCommandLineW
// gives it) is an internal command, runs it and returns true with the process's exit code;
// otherwise returns false and touches nothing. The program calls this first thing at start.
bool RunInternalCommand(const XStringW& commandLine, int& exitCode);

// The 32-bit side: whether the steps go through the 64-bit build (the tool runs under WOW64).
bool Wow64RelayNeeded();
// CVPInstall::InstallRootEnumeratedDriver in the 64-bit build; false (the error traced) when it
// failed there or the 64-bit build could not run, with the last-error code of the failure.
bool RelayInstallRootEnumeratedDriver(const XStringW& hardwareId, const XStringW& infPath,
                                      BOOL& reboot);
// CVPInstall::DeleteDeviceInfo in the 64-bit build; when that cannot run, the removal counts
// as failed the way a refused removal does.
void RelayDeleteDeviceInfo(const XStringW& hardwareId);
// CPortChange::RelinkPort in the 64-bit build, which may restart the device; false when the
// rename failed there or the 64-bit build could not run.
bool RelayRelinkPort(const XStringW& current, const XStringW& newName);
// DeleteFileW in the 64-bit build, which sees System32 unredirected; the result and last-error
// code of DeleteFileW.
BOOL RelayDeleteFile(const XStringW& path);
