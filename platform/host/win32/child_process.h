// Child processes of the host machine's Win32 personality: CreateProcessW runs another host
// program of ours on the same machine, its handle waits and gives the exit code.
//
// Every host program is a Linux program; which Windows build it stands for is told by where it
// lies, as in the release folder: an image in a folder named "x64" is the 64-bit build, which
// WOW64 does not wrap. The child learns its machine, its command line and its bitness from the
// environment CreateProcessW gives it; its entry calls tarnel::host::AdoptProcessStart() first.
#pragma once

#include "platform/host/types.h"
#include "platform/host/runtime/errors.h"
#include "platform/host/win32/registry.h"  // SECURITY_ATTRIBUTES

#define CREATE_NO_WINDOW 0x08000000
#define STARTF_USESHOWWINDOW 0x00000001

struct STARTUPINFOW {
    DWORD cb;
    LPWSTR lpReserved;
    LPWSTR lpDesktop;
    LPWSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    BYTE* lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
};
using LPSTARTUPINFOW = STARTUPINFOW*;

struct PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
};
using LPPROCESS_INFORMATION = PROCESS_INFORMATION*;

// lpApplicationName names the image (a Windows path; when NULL, the first token of the command
// line does); the child sees lpCommandLine whole through GetCommandLineW. Handles are not
// inherited, an environment block and a current folder of its own are not part of this
// personality (ERROR_NOT_SUPPORTED), nor creation flags other than CREATE_NO_WINDOW. A missing
// image fails with ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND before anything starts.
// hProcess and hThread both wait for the process's end; close both with CloseHandle.
BOOL CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine,
                    LPSECURITY_ATTRIBUTES lpProcessAttributes,
                    LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                    DWORD dwCreationFlags, LPVOID lpEnvironment, LPCWSTR lpCurrentDirectory,
                    LPSTARTUPINFOW lpStartupInfo, LPPROCESS_INFORMATION lpProcessInformation);
// STILL_ACTIVE while the process runs, then its exit code (a child killed by a signal gives
// 0xC0000000 | signal, in the place of an NTSTATUS).
BOOL GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode);
// Ends the process with a 32-bit exit code: a parent on this machine reads the whole code
// (a Linux exit status keeps only its low 8 bits, which is what other parents see).
[[noreturn]] void ExitProcess(UINT uExitCode);
// The command line the process was started with; a program not started by CreateProcessW has
// its Linux arguments, quoted where they hold spaces.
LPWSTR GetCommandLineW();

namespace tarnel::host {

// Takes what CreateProcessW handed to this process (machine, command line, bitness, the way
// back for its exit code). A program
// that was not started by CreateProcessW keeps its defaults.
void AdoptProcessStart(int argc, char** argv);

}  // namespace tarnel::host
