// Win32 handles on devices: CreateFileW, ReadFile, WriteFile, DeviceIoControl, CancelIo,
// GetOverlappedResult and CloseHandle mapped to the I/O manager's user requests. A device handle
// is waitable: it is signalled when its last request completes, as a file object is on Windows.
#include <pthread.h>

#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/host/kernel/pnp.h"
#include "platform/host/kernel/user_io.h"
#include "platform/host/win32/devices.h"
#include "platform/host/win32/handles.h"
#include "platform/host/win32/sync.h"
#include "platform/host/win32/sync_object.h"

namespace hk = tarnel::host::kernel;

namespace tarnel::host {
namespace {

class DeviceFile : public WaitableObject {
  public:
    static const HandleKind kKind;
    DeviceFile(PFILE_OBJECT file, bool overlapped)
        : WaitableObject(kKind), file_(file), overlapped_(overlapped) {}
    ~DeviceFile() override { hk::UserRelease(file_); }

    void cleanup() override { hk::UserCleanup(file_); }
    bool isSignalledLocked() const override { return state_->signalled; }

    DWORD read(void* buffer, DWORD length, DWORD& done, OVERLAPPED* overlapped) override {
        hk::UserRequestParameters p{IRP_MJ_READ};
        p.output = buffer;
        p.outputLength = length;
        return issue(p, done, overlapped);
    }
    DWORD write(const void* buffer, DWORD length, DWORD& done, OVERLAPPED* overlapped) override {
        hk::UserRequestParameters p{IRP_MJ_WRITE};
        p.input = buffer;
        p.inputLength = length;
        return issue(p, done, overlapped);
    }
    DWORD flush() override {
        DWORD done = 0;
        return issue(hk::UserRequestParameters{IRP_MJ_FLUSH_BUFFERS}, done, nullptr);
    }
    DWORD control(DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength,
                  DWORD& done, OVERLAPPED* overlapped) {
        hk::UserRequestParameters p{IRP_MJ_DEVICE_CONTROL};
        p.code = code;
        p.input = in;
        p.inputLength = inLength;
        p.output = out;
        p.outputLength = outLength;
        return issue(p, done, overlapped);
    }
    bool cancel() { return hk::UserCancel(file_, true); }

  private:
    // A Win32 error, or ERROR_IO_PENDING for an overlapped request still running.
    DWORD issue(const hk::UserRequestParameters& p, DWORD& done, OVERLAPPED* overlapped) {
        done = 0;
        if (overlapped_ && !overlapped)
            return ERROR_INVALID_PARAMETER;
        if (overlapped_)
            return issueOverlapped(p, done, overlapped);
        // Synchronous handle: wait here for the completion, wherever it happens. The result
        // lives on this stack: a completion on another thread touches it only under its mutex;
        // one on this thread can only come before UserRequest returns, and needs no lock.
        struct Result {
            std::mutex mutex;
            std::condition_variable cv;
            bool finished = false;
            bool finishedHere = false;
            IO_STATUS_BLOCK iosb{};
            pthread_t issuer = pthread_self();
        };
        Result stackResult;
        Result* result = &stackResult;
        NTSTATUS status = hk::UserRequest(file_, p, [result](const IO_STATUS_BLOCK& r) {
            if (pthread_equal(pthread_self(), result->issuer)) {
                result->iosb = r;
                result->finishedHere = true;
                return;
            }
            std::lock_guard<std::mutex> lock(result->mutex);
            result->iosb = r;
            result->finished = true;
            result->cv.notify_all();
        });
        if (!result->finishedHere) {
            std::unique_lock<std::mutex> lock(result->mutex);
            if (status == STATUS_INSUFFICIENT_RESOURCES && !result->finished)
                return hk::NtStatusToWin32Error(status);
            result->cv.wait(lock, [&] { return result->finished; });
        }
        done = static_cast<DWORD>(result->iosb.Information);
        return hk::NtStatusToWin32Error(result->iosb.Status);
    }

    DWORD issueOverlapped(const hk::UserRequestParameters& p, DWORD& done, OVERLAPPED* ov) {
        HANDLE event = ov->hEvent;
        {
            std::lock_guard<std::mutex> lock(WaitableObject::lock());
            ov->Internal = static_cast<ULONG_PTR>(STATUS_PENDING);
            ov->InternalHigh = 0;
            state_->signalled = false;
        }
        if (event)
            ResetEvent(event);
        // The completion may outlive this handle object: it only touches the shared state.
        NTSTATUS status =
            hk::UserRequest(file_, p, [state = state_, ov, event](const IO_STATUS_BLOCK& r) {
                {
                    std::lock_guard<std::mutex> lock(WaitableObject::lock());
                    ov->InternalHigh = r.Information;
                    ov->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(r.Status));
                    state->signalled = true;
                    WaitableObject::notifyAll();
                }
                if (event)
                    SetEvent(event);
            });
        if (status == STATUS_PENDING)
            return ERROR_IO_PENDING;
        std::lock_guard<std::mutex> lock(WaitableObject::lock());
        // Completed before the dispatch routine returned: report it at once.
        if (static_cast<NTSTATUS>(ov->Internal) == STATUS_PENDING)
            return ERROR_IO_PENDING;
        done = static_cast<DWORD>(ov->InternalHigh);
        return hk::NtStatusToWin32Error(static_cast<NTSTATUS>(ov->Internal));
    }

    struct State {
        bool signalled = true;  // under WaitableObject::lock()
    };
    PFILE_OBJECT file_;
    const bool overlapped_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

const HandleKind DeviceFile::kKind{"Device"};

}  // namespace

HANDLE OpenDevice(const std::u16string& name, DWORD access, DWORD share, DWORD disposition,
                  DWORD flags) {
    if (disposition != OPEN_EXISTING) {
        SetLastError(ERROR_FILE_NOT_FOUND);  // devices are opened, never created
        return INVALID_HANDLE_VALUE;
    }
    hk::EnsureMachineBooted();
    PFILE_OBJECT file = nullptr;
    NTSTATUS status = hk::UserOpen(name, access, share, &file);
    if (!NT_SUCCESS(status)) {
        SetLastError(hk::NtStatusToWin32Error(status));
        return INVALID_HANDLE_VALUE;
    }
    auto device = std::make_shared<DeviceFile>(file, (flags & FILE_FLAG_OVERLAPPED) != 0);
    HANDLE handle = HandleTable::instance().insert(device);
    if (!handle)
        return INVALID_HANDLE_VALUE;  // the object's release closes the file
    SetLastError(ERROR_SUCCESS);
    return handle;
}

}  // namespace tarnel::host

using namespace tarnel::host;

BOOL DeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                     LPDWORD returned, LPOVERLAPPED overlapped) {
    auto device = HandleTable::instance().lookup<DeviceFile>(handle);
    if (!device)
        return FALSE;
    DWORD done = 0;
    DWORD error = device->control(code, in, inSize, out, outSize, done, overlapped);
    if (returned)
        *returned = done;
    SetLastError(error);
    return error == ERROR_SUCCESS;
}

BOOL GetOverlappedResult(HANDLE handle, LPOVERLAPPED ov, LPDWORD transferred, BOOL wait) {
    auto object = std::dynamic_pointer_cast<WaitableObject>(HandleTable::instance().lookup(handle));
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto pending = [&] {
        std::lock_guard<std::mutex> lock(WaitableObject::lock());
        return static_cast<NTSTATUS>(ov->Internal) == STATUS_PENDING;
    };
    if (pending()) {
        if (!wait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        WaitForSingleObject(ov->hEvent ? ov->hEvent : handle, INFINITE);
    }
    std::lock_guard<std::mutex> lock(WaitableObject::lock());
    if (transferred)
        *transferred = static_cast<DWORD>(ov->InternalHigh);
    DWORD error = hk::NtStatusToWin32Error(static_cast<NTSTATUS>(ov->Internal));
    SetLastError(error);
    return error == ERROR_SUCCESS;
}

BOOL CancelIo(HANDLE handle) {
    auto device = HandleTable::instance().lookup<DeviceFile>(handle);
    if (!device)
        return FALSE;
    device->cancel();
    return TRUE;
}
