// Device I/O of the host machine's Win32 personality: control requests, overlapped results and
// cancel on handles that CreateFileW opened on devices ("COM5", "\\.\COM12").
#pragma once

#include <string>

#include "platform/host/types.h"
#include "platform/host/win32/files.h"

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped);
BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                         LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
// Cancels the calling thread's pending requests on the handle.
BOOL CancelIo(HANDLE hFile);

namespace tarnel::host {

// CreateFileW on a device name ("COM5", "Global\x"): the I/O manager's open, through the host
// kernel's user-request surface.
HANDLE OpenDevice(const std::u16string& name, DWORD access, DWORD share, DWORD disposition,
                  DWORD flags);

}  // namespace tarnel::host
