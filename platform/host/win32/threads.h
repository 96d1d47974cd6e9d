// Threads of the host machine's Win32 personality: CreateThread and the thread handle, which is
// signalled when the thread function has returned.
#pragma once

#include "platform/host/types.h"
#include "platform/host/win32/errors.h"
#include "platform/host/win32/registry.h"  // SECURITY_ATTRIBUTES

using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID lpThreadParameter);

#define STILL_ACTIVE 259L
#define CREATE_SUSPENDED 0x00000004
#define THREAD_PRIORITY_NORMAL 0

// Starts at once; a suspended start and a stack size are not part of this personality (the stack
// size is ignored, CREATE_SUSPENDED fails with ERROR_NOT_SUPPORTED). The handle waits with
// WaitForSingleObject and closes with CloseHandle; closing it leaves the thread running.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId);
// STILL_ACTIVE while the thread runs, then the value its function returned.
BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
