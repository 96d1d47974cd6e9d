// I/O manager, user side: opens of DOS device names, read/write/control requests from Win32
// handles (buffered I/O), cancel, cleanup and close. A file object lives while its handle or any
// of its requests does; IRP_MJ_CLOSE goes out when the last of them is gone, at PASSIVE_LEVEL.
#include <pthread.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <thread>

#include "platform/host/kernel/io_internal.h"
#include "platform/host/kernel/user_io.h"
#include "platform/host/kernel/verifier.h"

using namespace tarnel::host::kernel;

namespace {

// Requests linked through their records, oldest first: entering and leaving allocate nothing.
struct PendingList {
    IrpRecord* head = nullptr;
    IrpRecord* tail = nullptr;
    bool empty() const { return head == nullptr; }
    void push_back(IrpRecord* r) {
        r->pendingPrev = tail;
        r->pendingNext = nullptr;
        (tail ? tail->pendingNext : head) = r;
        tail = r;
    }
    void remove(IrpRecord* r) {
        (r->pendingPrev ? r->pendingPrev->pendingNext : head) = r->pendingNext;
        (r->pendingNext ? r->pendingNext->pendingPrev : tail) = r->pendingPrev;
        r->pendingPrev = r->pendingNext = nullptr;
    }
    struct Iterator {
        IrpRecord* at;
        IrpRecord* operator*() const { return at; }
        Iterator& operator++() {
            at = at->pendingNext;
            return *this;
        }
        bool operator!=(const Iterator& other) const { return at != other.at; }
    };
    Iterator begin() const { return {head}; }
    Iterator end() const { return {nullptr}; }
};

// The object body of a user file: the FILE_OBJECT drivers see, then the I/O manager's record.
struct UserFile {
    FILE_OBJECT file;
    std::mutex mutex;
    PendingList pending;  // requests sent and not yet completed
    bool handleOpen = true;
    bool closeSent = false;
};

UserFile* UserFileOf(PFILE_OBJECT file) {
    return reinterpret_cast<UserFile*>(file);
}

}  // namespace

// Sends one request to the top of the file's device stack and waits for it.
NTSTATUS tarnel::host::kernel::SendFileRequest(PFILE_OBJECT file, UCHAR major, const void* buffer,
                                               ULONG length) {
    PDEVICE_OBJECT top = TopOfStack(file->DeviceObject);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = AllocateIrp(top->StackSize, IrpOrigin::Synchronous);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    irp->UserIosb = &iosb;
    irp->UserEvent = &done;
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = file;
    if (buffer && length) {
        // An open's extended attributes travel in the system buffer.
        void* copy = std::calloc(1, length);
        std::memcpy(copy, buffer, length);
        irp->AssociatedIrp.SystemBuffer = copy;
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        next->Parameters.Create.EaLength = length;
    }
    NTSTATUS status = IofCallDriver(top, irp);
    if (status == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return iosb.Status;
}

namespace {

void SendClose(UserFile* user) {
    PFILE_OBJECT file = &user->file;
    SendFileRequest(file, IRP_MJ_CLOSE);
    UncountDeviceFile(file->DeviceObject);
    user->~UserFile();
    ObfDereferenceObject(file);
}

// Closes that become due in a completion (possibly at DISPATCH_LEVEL) run on this thread.
class CloseWorker {
  public:
    static CloseWorker& instance() {
        static auto* worker = new CloseWorker;
        return *worker;
    }
    void post(UserFile* user) {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(user);
        if (!started_) {
            started_ = true;
            std::thread([this] { run(); }).detach();
        }
        wake_.notify_one();
    }

  private:
    void run() {
        for (;;) {
            UserFile* user;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [this] { return !queue_.empty(); });
                user = queue_.front();
                queue_.pop_front();
            }
            SendClose(user);
        }
    }
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<UserFile*> queue_;
    bool started_ = false;
};

// Whether the file is done with: handle closed and nothing pending. Caller holds user->mutex.
bool CloseDueLocked(UserFile* user) {
    if (user->handleOpen || !user->pending.empty() || user->closeSent)
        return false;
    user->closeSent = true;
    return true;
}

}  // namespace

namespace tarnel::host::kernel {

ULONG NtStatusToWin32Error(NTSTATUS status) {
    switch (status) {
        case STATUS_SUCCESS:
            return 0;
        case STATUS_PENDING:
            return 997;  // ERROR_IO_PENDING
        case STATUS_TIMEOUT:
            return 258;  // WAIT_TIMEOUT
        case STATUS_BUFFER_OVERFLOW:
            return 234;  // ERROR_MORE_DATA
        case STATUS_NO_MORE_ENTRIES:
            return 259;  // ERROR_NO_MORE_ITEMS
        case STATUS_DEVICE_BUSY:
            return 170;  // ERROR_BUSY
        case STATUS_UNSUCCESSFUL:
            return 31;  // ERROR_GEN_FAILURE
        case STATUS_NOT_IMPLEMENTED:
            return 1;  // ERROR_INVALID_FUNCTION
        case STATUS_INVALID_DEVICE_REQUEST:
            return 1;  // ERROR_INVALID_FUNCTION
        case STATUS_INVALID_HANDLE:
            return 6;  // ERROR_INVALID_HANDLE
        case STATUS_INVALID_PARAMETER:
            return 87;  // ERROR_INVALID_PARAMETER
        case STATUS_NO_SUCH_DEVICE:
            return 433;  // ERROR_NO_SUCH_DEVICE
        case STATUS_NO_MEMORY:
            return 8;  // ERROR_NOT_ENOUGH_MEMORY
        case STATUS_ACCESS_DENIED:
            return 5;  // ERROR_ACCESS_DENIED
        case STATUS_BUFFER_TOO_SMALL:
            return 122;  // ERROR_INSUFFICIENT_BUFFER
        case STATUS_OBJECT_NAME_INVALID:
            return 123;  // ERROR_INVALID_NAME
        case STATUS_OBJECT_NAME_NOT_FOUND:
            return 2;  // ERROR_FILE_NOT_FOUND
        case STATUS_OBJECT_PATH_NOT_FOUND:
            return 3;  // ERROR_PATH_NOT_FOUND
        case STATUS_SHARING_VIOLATION:
            return 32;  // ERROR_SHARING_VIOLATION
        case STATUS_DELETE_PENDING:
            return 5;  // ERROR_ACCESS_DENIED, as Windows maps it
        case STATUS_INSUFFICIENT_RESOURCES:
            return 1450;  // ERROR_NO_SYSTEM_RESOURCES
        case STATUS_NOT_SUPPORTED:
            return 50;  // ERROR_NOT_SUPPORTED
        case STATUS_IO_TIMEOUT:
            return 121;  // ERROR_SEM_TIMEOUT
        case STATUS_CANCELLED:
            return 995;  // ERROR_OPERATION_ABORTED
        case STATUS_CONNECTION_REFUSED:
            return 1225;  // ERROR_CONNECTION_REFUSED
        case STATUS_PORT_CONNECTION_REFUSED:
            return 5;  // ERROR_ACCESS_DENIED
        case STATUS_NETWORK_UNREACHABLE:
            return 1231;  // ERROR_NETWORK_UNREACHABLE
        case STATUS_HOST_UNREACHABLE:
            return 1232;  // ERROR_HOST_UNREACHABLE
        case STATUS_CONNECTION_RESET:
            return 64;  // ERROR_NETNAME_DELETED
        case STATUS_CONNECTION_DISCONNECTED:
            return 64;  // ERROR_NETNAME_DELETED
        case STATUS_INVALID_DEVICE_STATE:
            return 22;  // ERROR_BAD_COMMAND
        default:
            return NT_SUCCESS(status) ? 0 : 317;  // ERROR_MR_MID_NOT_FOUND
    }
}

NTSTATUS UserOpen(const std::u16string& dosName, ACCESS_MASK access, ULONG share,
                  PFILE_OBJECT* out) {
    *out = nullptr;
    std::u16string target;
    if (!ResolveLink(u"\\??\\" + dosName, target))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    PDEVICE_OBJECT device = LookupDeviceByName(target);
    if (!device)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    // An exclusive device (the named one or the function device on top of it) has one open.
    NTSTATUS counted = CountDeviceFile(
        device, true, ((device->Flags | TopOfStack(device)->Flags) & DO_EXCLUSIVE) != 0);
    if (!NT_SUCCESS(counted))
        return counted;

    void* body = CreateObject(&g_fileType, sizeof(UserFile), nullptr);
    if (!body) {
        UncountDeviceFile(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* user = new (body) UserFile;
    PFILE_OBJECT file = &user->file;
    file->Type = 5;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    file->ReadAccess = (access & (GENERIC_READ | FILE_READ_ACCESS | GENERIC_ALL)) != 0;
    file->WriteAccess = (access & (GENERIC_WRITE | FILE_WRITE_ACCESS | GENERIC_ALL)) != 0;
    file->SharedRead = (share & 1) != 0;
    file->SharedWrite = (share & 2) != 0;

    NTSTATUS status = SendFileRequest(file, IRP_MJ_CREATE);
    if (!NT_SUCCESS(status)) {
        // A failed open is never cleaned up or closed.
        UncountDeviceFile(device);
        user->~UserFile();
        ObfDereferenceObject(file);
        return status;
    }
    *out = file;
    return STATUS_SUCCESS;
}

NTSTATUS UserRequest(PFILE_OBJECT file, const UserRequestParameters& p, UserCompletion done) {
    PDEVICE_OBJECT top = TopOfStack(file->DeviceObject);
    PIRP irp = AllocateIrp(top->StackSize, IrpOrigin::User);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    IrpRecord* record = RecordOf(irp);
    UserFile* user = UserFileOf(file);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = p.major;
    next->FileObject = file;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->RequestorMode = UserMode;
    record->file = file;
    record->thread = pthread_self();

    // Reads and writes need no zero-filled buffer: a write's is filled from the caller, and only
    // what a read's driver reports is copied back.
    auto buffered = [&](ULONG size, bool zeroed) {
        if (!size)
            return;
        void* buffer = zeroed ? std::calloc(1, size) : AllocateSystemBuffer(size);
        if (p.input && p.inputLength)
            std::memcpy(buffer, p.input, p.inputLength);
        irp->AssociatedIrp.SystemBuffer = buffer;
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    };
    switch (p.major) {
        case IRP_MJ_READ:
            next->Parameters.Read.Length = p.outputLength;
            buffered(p.outputLength, false);
            irp->Flags |= IRP_INPUT_OPERATION;
            record->outputBuffer = p.output;
            record->outputLength = p.outputLength;
            break;
        case IRP_MJ_WRITE:
            next->Parameters.Write.Length = p.inputLength;
            buffered(p.inputLength, false);
            break;
        case IRP_MJ_DEVICE_CONTROL:
            next->Parameters.DeviceIoControl.IoControlCode = p.code;
            next->Parameters.DeviceIoControl.InputBufferLength = p.inputLength;
            next->Parameters.DeviceIoControl.OutputBufferLength = p.outputLength;
            if (METHOD_FROM_CTL_CODE(p.code) == METHOD_NEITHER) {
                next->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(p.input);
                irp->UserBuffer = p.output;
            } else {
                buffered(p.inputLength > p.outputLength ? p.inputLength : p.outputLength, true);
                if (p.output && p.outputLength) {
                    irp->Flags |= IRP_INPUT_OPERATION;
                    record->outputBuffer = p.output;
                    record->outputLength = p.outputLength;
                }
            }
            break;
        default:
            break;
    }
    SetCompletion(record, std::move(done));
    {
        std::lock_guard<std::mutex> lock(user->mutex);
        user->pending.push_back(record);
        record->inDispatch = true;
    }
    NTSTATUS status = IofCallDriver(top, irp);
    // Completed requests have left the list (and may be freed); one still listed is pending.
    std::lock_guard<std::mutex> lock(user->mutex);
    for (IrpRecord* listed : user->pending)
        if (listed == record)
            record->inDispatch = false;
    return status;
}

// Called by FinishIrp for user requests before their completion runs.
PFILE_OBJECT ForgetPending(IrpRecord* record) {
    if (!record->file)
        return nullptr;
    UserFile* user = UserFileOf(record->file);
    std::lock_guard<std::mutex> lock(user->mutex);
    user->pending.remove(record);
    return CloseDueLocked(user) ? record->file : nullptr;
}

void PostClose(PFILE_OBJECT file) {
    CloseWorker::instance().post(UserFileOf(file));
}

bool UserCancel(PFILE_OBJECT file, bool callingThreadOnly) {
    UserFile* user = UserFileOf(file);
    std::vector<PIRP> targets;
    {
        std::lock_guard<std::mutex> lock(user->mutex);
        for (IrpRecord* record : user->pending)
            if (!callingThreadOnly || pthread_equal(record->thread, pthread_self()))
                targets.push_back(&record->irp);
    }
    // A request may complete between the snapshot and its cancel; a completed request
    // is no longer in the list, so re-check under the lock before each cancel.
    for (PIRP irp : targets) {
        bool stillPending;
        {
            std::lock_guard<std::mutex> lock(user->mutex);
            stillPending = false;
            for (IrpRecord* record : user->pending)
                stillPending = stillPending || &record->irp == irp;
        }
        if (stillPending)
            IoCancelIrp(irp);
    }
    return !targets.empty();
}

void UserCleanup(PFILE_OBJECT file) {
    UserFile* user = UserFileOf(file);
    SendFileRequest(file, IRP_MJ_CLEANUP);
    std::lock_guard<std::mutex> lock(user->mutex);
    for (IrpRecord* record : user->pending) {
        // A request being cancelled has no routine any more but is on its way out; one whose
        // dispatch routine still runs (another thread's request that came with the cleanup) is
        // not left pending yet.
        if (!record->inDispatch && !record->irp.CancelRoutine && !record->irp.Cancel)
            BugCheck("IRP_PENDING_AT_CLEANUP",
                     "IRP %p (major 0x%02x) still pending without a cancel routine after "
                     "cleanup of its file",
                     static_cast<void*>(&record->irp),
                     record->stack[record->irp.StackCount - 1].MajorFunction);
    }
}

void UserRelease(PFILE_OBJECT file) {
    UserFile* user = UserFileOf(file);
    bool close;
    {
        std::lock_guard<std::mutex> lock(user->mutex);
        user->handleOpen = false;
        close = CloseDueLocked(user);
    }
    if (close)
        SendClose(user);
}

}  // namespace tarnel::host::kernel
