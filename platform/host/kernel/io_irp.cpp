// I/O manager, requests: IRP allocation, IofCallDriver, completion with its routines, cancel,
// synchronous device-control requests, MDLs. Strict: double completion, completion with a cancel
// routine set, and running out of stack locations bug-check.
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "platform/host/kernel/io_internal.h"
#include "platform/host/kernel/verifier.h"

using namespace tarnel::host::kernel;

namespace {

constexpr CSHORT kIrpType = 6;
constexpr ULONG64 kLiveIrp = 0x5052494556494C41ULL;
constexpr ULONG64 kCompletedIrp = 0x5052494445544F4EULL;
constexpr ULONG64 kFreedIrp = 0x5052494445455246ULL;

// Freed requests stay readable for a while so that a late second completion is recognised: each
// takes a slot of this ring and is released only when a later one takes the slot over.
constexpr size_t kQuarantine = 256;
std::atomic<IrpRecord*> g_quarantine[kQuarantine];
std::atomic<size_t> g_quarantineNext{0};

// Records that have left the quarantine, kept by the thread that evicted them for its next
// requests of the same stack size: a request then costs no trip through the allocator.
class RecordCache {
  public:
    ~RecordCache() {
        for (auto& bin : bins_)
            for (size_t i = 0; i < bin.count; ++i)
                std::free(bin.records[i]);
    }
    IrpRecord* take(CCHAR stackSize) {
        Bin* bin = binOf(stackSize);
        return bin && bin->count ? bin->records[--bin->count] : nullptr;
    }
    void give(IrpRecord* record) {
        Bin* bin = binOf(record->irp.StackCount);
        if (bin && bin->count < kPerBin)
            bin->records[bin->count++] = record;
        else
            std::free(record);
    }

  private:
    static constexpr int kStackSizes = 8;
    static constexpr size_t kPerBin = 8;
    struct Bin {
        IrpRecord* records[kPerBin];
        size_t count = 0;
    };
    Bin* binOf(CCHAR stackSize) {
        return stackSize >= 1 && stackSize <= kStackSizes ? &bins_[stackSize - 1] : nullptr;
    }
    Bin bins_[kStackSizes];
};
thread_local RecordCache t_records;

// One freed system buffer per thread, for the next request's: a thread reading or writing in a
// loop reuses one buffer instead of asking the allocator for pages each time.
constexpr size_t kCachedBufferLimit = 64 * 1024;
struct BufferCache {
    ~BufferCache() { std::free(buffer); }
    void* buffer = nullptr;
};
thread_local BufferCache t_buffer;

KSPIN_LOCK g_cancelLock = 0;

bool ShouldInvoke(UCHAR control, NTSTATUS status, BOOLEAN cancelled) {
    if (cancelled && (control & SL_INVOKE_ON_CANCEL))
        return true;
    if (NT_SUCCESS(status))
        return (control & SL_INVOKE_ON_SUCCESS) != 0;
    return (control & SL_INVOKE_ON_ERROR) != 0;
}

}  // namespace

namespace tarnel::host::kernel {

// The verifier's state word is read by IoCancelIrp while a completion may be changing it, as a
// cancel may meet a request that is completing.
static ULONG64 MagicOf(const IrpRecord* record) {
    return __atomic_load_n(&record->magic, __ATOMIC_ACQUIRE);
}
static void SetMagic(IrpRecord* record, ULONG64 magic) {
    __atomic_store_n(&record->magic, magic, __ATOMIC_RELEASE);
}

IrpRecord* RecordOf(PIRP irp) {
    auto* record =
        reinterpret_cast<IrpRecord*>(reinterpret_cast<char*>(irp) - offsetof(IrpRecord, irp));
    if (MagicOf(record) == kFreedIrp)
        BugCheck("MULTIPLE_IRP_COMPLETE_REQUESTS", "IRP %p used after it was freed",
                 static_cast<void*>(irp));
    if (MagicOf(record) != kLiveIrp && MagicOf(record) != kCompletedIrp)
        BugCheck("INVALID_IRP", "%p is not an IRP of the I/O manager", static_cast<void*>(irp));
    return record;
}

PIRP AllocateIrp(CCHAR stackSize, IrpOrigin origin) {
    if (stackSize < 1)
        stackSize = 1;
    size_t bytes = sizeof(IrpRecord) + sizeof(IO_STACK_LOCATION) * stackSize;
    auto* record = t_records.take(stackSize);
    if (record)
        std::memset(static_cast<void*>(record), 0, bytes);
    else
        record = static_cast<IrpRecord*>(std::calloc(1, bytes));
    if (!record)
        return nullptr;
    SetMagic(record, kLiveIrp);
    record->origin = origin;
    PIRP irp = &record->irp;
    irp->Type = kIrpType;
    irp->Size = static_cast<USHORT>(sizeof(IRP) + sizeof(IO_STACK_LOCATION) * stackSize);
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = record->stack + stackSize;
    irp->IoStatus.Status = STATUS_SUCCESS;
    return irp;
}

void* AllocateSystemBuffer(size_t size) {
    void* cached = t_buffer.buffer;
    if (cached && malloc_usable_size(cached) >= size) {
        t_buffer.buffer = nullptr;
        return cached;
    }
    return std::malloc(size);
}

// The larger of two buffers is the one kept.
void FreeSystemBuffer(void* buffer) {
    const size_t size = buffer ? malloc_usable_size(buffer) : 0;
    void* cached = t_buffer.buffer;
    if (size > kCachedBufferLimit || (cached && malloc_usable_size(cached) >= size)) {
        std::free(buffer);
        return;
    }
    std::free(cached);
    t_buffer.buffer = buffer;
}

void SetCompletion(IrpRecord* record, UserCompletion&& done) {
    new (record->completion) UserCompletion(std::move(done));
    record->hasCompletion = true;
}

UserCompletion TakeCompletion(IrpRecord* record) {
    if (!record->hasCompletion)
        return {};
    auto* stored = std::launder(reinterpret_cast<UserCompletion*>(record->completion));
    UserCompletion out = std::move(*stored);
    stored->~UserCompletion();
    record->hasCompletion = false;
    return out;
}

void FreeIrpRecord(IrpRecord* record) {
    SetMagic(record, kFreedIrp);
    TakeCompletion(record);  // a request that never completed still lets go of it
    const size_t slot = g_quarantineNext.fetch_add(1, std::memory_order_relaxed) % kQuarantine;
    if (IrpRecord* evicted = g_quarantine[slot].exchange(record, std::memory_order_acq_rel))
        t_records.give(evicted);
}

}  // namespace tarnel::host::kernel

PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN) {
    return AllocateIrp(stackSize, IrpOrigin::Driver);
}

void IoFreeIrp(PIRP irp) {
    IrpRecord* record = RecordOf(irp);
    if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_ACQUIRE))
        BugCheck("CANCEL_STATE_IN_COMPLETED_IRP", "IRP %p freed with a cancel routine set",
                 static_cast<void*>(irp));
    FreeIrpRecord(record);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT device, PIRP irp) {
    IrpRecord* record = RecordOf(irp);
    if (MagicOf(record) == kCompletedIrp) {
        // A completion routine that returned STATUS_MORE_PROCESSING_REQUIRED may reuse it.
        SetMagic(record, kLiveIrp);
    }
    irp->CurrentLocation--;
    if (irp->CurrentLocation <= 0)
        BugCheck("NO_MORE_IRP_STACK_LOCATIONS", "IRP %p passed to %p with no stack location left",
                 static_cast<void*>(irp), static_cast<void*>(device));
    PIO_STACK_LOCATION stack = --irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = device;
    PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[stack->MajorFunction];
    return dispatch(device, irp);
}

void IofCompleteRequest(PIRP irp, CCHAR) {
    IrpRecord* record = RecordOf(irp);
    if (MagicOf(record) == kCompletedIrp)
        BugCheck("MULTIPLE_IRP_COMPLETE_REQUESTS", "IRP %p completed twice",
                 static_cast<void*>(irp));
    if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_ACQUIRE))
        BugCheck("CANCEL_STATE_IN_COMPLETED_IRP", "IRP %p completed with its cancel routine set",
                 static_cast<void*>(irp));
    if (irp->IoStatus.Status == STATUS_PENDING)
        BugCheck("IRP_COMPLETED_PENDING", "IRP %p completed with STATUS_PENDING",
                 static_cast<void*>(irp));
    SetMagic(record, kCompletedIrp);

    while (irp->CurrentLocation <= irp->StackCount) {
        PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
        const UCHAR control = stack->Control;
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        irp->PendingReturned = (control & SL_PENDING_RETURNED) != 0;
        irp->CurrentLocation++;
        irp->Tail.Overlay.CurrentStackLocation++;
        const bool above = irp->CurrentLocation <= irp->StackCount;
        PDEVICE_OBJECT upper =
            above ? irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
        if (routine && ShouldInvoke(control, irp->IoStatus.Status,
                                    __atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE))) {
            // While its routine runs the request may be completed again or freed by the
            // routine's owner, so it counts as live; after STATUS_MORE_PROCESSING_REQUIRED it
            // belongs to that owner and is not touched again here.
            SetMagic(record, kLiveIrp);
            NTSTATUS st = routine(upper, irp, context);
            if (st == STATUS_MORE_PROCESSING_REQUIRED)
                return;
            if (MagicOf(record) != kLiveIrp)
                BugCheck("IRP_FREED_BY_COMPLETION_ROUTINE",
                         "IRP %p completed or freed by a completion routine that did not return "
                         "STATUS_MORE_PROCESSING_REQUIRED",
                         static_cast<void*>(irp));
            SetMagic(record, kCompletedIrp);
        } else if (irp->PendingReturned && above) {
            IoMarkIrpPending(irp);
        }
    }
    FinishIrp(record);
}

namespace tarnel::host::kernel {

// Buffered output goes back to the issuer's buffer (no more than the driver reported, no more
// than the buffer holds), then the system buffer is freed.
static void ReleaseSystemBuffer(IrpRecord* record) {
    PIRP irp = &record->irp;
    if ((irp->Flags & IRP_INPUT_OPERATION) && record->outputBuffer &&
        NT_SUCCESS(irp->IoStatus.Status)) {
        ULONG_PTR n = irp->IoStatus.Information;
        if (n > record->outputLength)
            n = record->outputLength;
        if (n)
            std::memcpy(record->outputBuffer, irp->AssociatedIrp.SystemBuffer, n);
    }
    if (irp->Flags & IRP_DEALLOCATE_BUFFER)
        FreeSystemBuffer(irp->AssociatedIrp.SystemBuffer);
}

// The request has left the last driver: hand results back to whoever issued it.
void FinishIrp(IrpRecord* record) {
    PIRP irp = &record->irp;
    for (PMDL mdl = irp->MdlAddress; mdl;) {
        PMDL next = mdl->Next;
        if (mdl->MdlFlags & kMdlLocked)
            MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        mdl = next;
    }
    irp->MdlAddress = nullptr;
    switch (record->origin) {
        case IrpOrigin::Driver:
            BugCheck("IRP_COMPLETED_TO_NOBODY",
                     "IRP %p from IoAllocateIrp reached the I/O manager: its owner must take it "
                     "back with a completion routine",
                     static_cast<void*>(irp));
        case IrpOrigin::Synchronous: {
            ReleaseSystemBuffer(record);
            if (irp->UserIosb)
                *irp->UserIosb = irp->IoStatus;
            PKEVENT event = irp->UserEvent;
            FreeIrpRecord(record);
            if (event)
                KeSetEvent(event, IO_NO_INCREMENT, FALSE);
            return;
        }
        case IrpOrigin::User: {
            UserCompletion completion = TakeCompletion(record);
            IO_STATUS_BLOCK result = irp->IoStatus;
            ReleaseSystemBuffer(record);
            PFILE_OBJECT closeDue = ForgetPending(record);
            FreeIrpRecord(record);
            if (completion)
                completion(result);
            if (closeDue)
                PostClose(closeDue);
            return;
        }
    }
}

}  // namespace tarnel::host::kernel

void IoAcquireCancelSpinLock(PKIRQL irql) {
    *irql = KeAcquireSpinLockRaiseToDpc(&g_cancelLock);
}
void IoReleaseCancelSpinLock(KIRQL irql) {
    KeReleaseSpinLock(&g_cancelLock, irql);
}

BOOLEAN IoCancelIrp(PIRP irp) {
    RecordOf(irp);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    __atomic_store_n(&irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    irp->CancelIrql = irql;
    // The routine releases the cancel spin lock.
    routine(irp->Tail.Overlay.CurrentStackLocation->DeviceObject, irp);
    return TRUE;
}

PIRP IoBuildDeviceIoControlRequest(ULONG code, PDEVICE_OBJECT device, PVOID input,
                                   ULONG inputLength, PVOID output, ULONG outputLength,
                                   BOOLEAN internal, PKEVENT event, PIO_STATUS_BLOCK iosb) {
    PIRP irp = AllocateIrp(device->StackSize, IrpOrigin::Synchronous);
    if (!irp)
        return nullptr;
    IrpRecord* record = RecordOf(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    switch (METHOD_FROM_CTL_CODE(code)) {
        case METHOD_BUFFERED: {
            ULONG size = inputLength > outputLength ? inputLength : outputLength;
            if (size) {
                void* buffer = std::calloc(1, size);
                if (input && inputLength)
                    std::memcpy(buffer, input, inputLength);
                irp->AssociatedIrp.SystemBuffer = buffer;
                irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
                if (output && outputLength) {
                    irp->Flags |= IRP_INPUT_OPERATION;
                    record->outputBuffer = output;
                    record->outputLength = outputLength;
                }
            }
            break;
        }
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT:
            if (inputLength) {
                void* buffer = std::calloc(1, inputLength);
                if (input)
                    std::memcpy(buffer, input, inputLength);
                irp->AssociatedIrp.SystemBuffer = buffer;
                irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            }
            if (output && outputLength) {
                PMDL mdl = IoAllocateMdl(output, outputLength, FALSE, FALSE, irp);
                MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
            }
            break;
        default:
            next->Parameters.DeviceIoControl.Type3InputBuffer = input;
            irp->UserBuffer = output;
            break;
    }
    irp->UserIosb = iosb;
    irp->UserEvent = event;
    irp->Tail.Overlay.Thread = KeGetCurrentThread();
    return irp;
}

namespace {

// MDLs freed on a thread, kept for its next IoAllocateMdl: a driver that describes each request's
// buffer with one then costs no trip through the allocator. Not under AddressSanitizer, which
// must see every MDL freed to catch its use afterwards.
struct MdlCache {
    ~MdlCache() {
        for (size_t i = 0; i < count; ++i)
            std::free(mdls[i]);
    }
#ifdef __SANITIZE_ADDRESS__
    static constexpr size_t kKept = 0;
#else
    static constexpr size_t kKept = 8;
#endif
    PMDL mdls[kKept + 1];
    size_t count = 0;
};
thread_local MdlCache t_mdls;

}  // namespace

PMDL IoAllocateMdl(PVOID va, ULONG length, BOOLEAN secondary, BOOLEAN, PIRP irp) {
    auto* mdl = t_mdls.count ? t_mdls.mdls[--t_mdls.count]
                             : static_cast<PMDL>(std::malloc(sizeof(MDL)));
    if (!mdl)
        return nullptr;
    *mdl = MDL{};
    mdl->Size = sizeof(MDL);
    mdl->StartVa = va;
    mdl->MappedSystemVa = va;
    mdl->ByteCount = length;
    if (irp) {
        if (!secondary) {
            irp->MdlAddress = mdl;
        } else {
            PMDL tail = irp->MdlAddress;
            while (tail && tail->Next)
                tail = tail->Next;
            if (tail)
                tail->Next = mdl;
            else
                irp->MdlAddress = mdl;
        }
    }
    return mdl;
}

void IoFreeMdl(PMDL mdl) {
    if (mdl->MdlFlags & kMdlLocked)
        BugCheck("MDL_STILL_LOCKED", "MDL %p freed with its pages still locked",
                 static_cast<void*>(mdl));
    if (t_mdls.count < MdlCache::kKept)
        t_mdls.mdls[t_mdls.count++] = mdl;
    else
        std::free(mdl);
}

void MmProbeAndLockPages(PMDL mdl, KPROCESSOR_MODE, LOCK_OPERATION) {
    if (mdl->MdlFlags & kMdlLocked)
        BugCheck("MDL_ALREADY_LOCKED", "MDL %p locked twice", static_cast<void*>(mdl));
    mdl->MdlFlags |= kMdlLocked;
}

void MmBuildMdlForNonPagedPool(PMDL mdl) {
    if (mdl->MdlFlags & kMdlLocked)
        BugCheck("MDL_ALREADY_LOCKED", "MDL %p of locked pages built for non-paged pool",
                 static_cast<void*>(mdl));
    mdl->MappedSystemVa = mdl->StartVa;
}

void MmUnlockPages(PMDL mdl) {
    if (!(mdl->MdlFlags & kMdlLocked))
        BugCheck("MDL_NOT_LOCKED", "MDL %p unlocked but not locked", static_cast<void*>(mdl));
    mdl->MdlFlags &= ~kMdlLocked;
}

PVOID MmGetSystemAddressForMdlSafe_(PMDL mdl, ULONG) {
    return mdl->MappedSystemVa;
}

void PoStartNextPowerIrp(PIRP) {}
NTSTATUS PoCallDriver(PDEVICE_OBJECT device, PIRP irp) {
    return IofCallDriver(device, irp);
}
