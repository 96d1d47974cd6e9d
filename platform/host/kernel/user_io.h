// The I/O manager's user-mode side, as the Win32 personality's device handles use it.
#pragma once

#include <functional>
#include <string>

#include "platform/host/kernel/ntapi.h"

namespace tarnel::host::kernel {

using UserCompletion = std::function<void(const IO_STATUS_BLOCK& result)>;

struct UserRequestParameters {
    UCHAR major;     // IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_FLUSH_BUFFERS
    ULONG code = 0;  // device-control code
    const void* input = nullptr;
    ULONG inputLength = 0;
    void* output = nullptr;  // receives what the driver returns (Information bytes at most)
    ULONG outputLength = 0;
};

// Opens "COM7" (any name in the DOS device namespace) with IRP_MJ_CREATE to the top of the
// device's stack. On success the caller owns one handle reference: UserCleanup, then UserRelease.
NTSTATUS UserOpen(const std::u16string& dosName, ACCESS_MASK access, ULONG share,
                  PFILE_OBJECT* file);
// Sends a buffered request; `done` runs once when it completes, possibly before this returns
// and possibly on another thread at DISPATCH_LEVEL. Returns what the driver's dispatch returned.
NTSTATUS UserRequest(PFILE_OBJECT file, const UserRequestParameters& request, UserCompletion done);
// Cancels the file's pending requests (only the calling thread's, as CancelIo does); true when
// there was any.
bool UserCancel(PFILE_OBJECT file, bool callingThreadOnly);
// The last handle is closing: IRP_MJ_CLEANUP. A request still pending without a cancel routine
// afterwards bug-checks.
void UserCleanup(PFILE_OBJECT file);
// Drops the handle's reference; IRP_MJ_CLOSE follows once no request is pending.
void UserRelease(PFILE_OBJECT file);

ULONG NtStatusToWin32Error(NTSTATUS status);

}  // namespace tarnel::host::kernel
