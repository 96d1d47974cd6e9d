// A small test driver for the user-mode I/O path: a named port whose writes are kept and handed
// back to reads; a read with nothing to take waits (cancellable) until a write or cleanup. Every
// request is logged with DbgPrint as "echo: <what>".
#include "platform/nt.h"

namespace {

constexpr ULONG kCapacity = 4096;
// Makes the next waiting read stay pending without a cancel routine (a driver bug).
constexpr ULONG kIoctlForgetCancel =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Returns the input reversed.
constexpr ULONG kIoctlReverse =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct EchoExtension {
    PDEVICE_OBJECT lower;
    PDEVICE_OBJECT pdo;
    KSPIN_LOCK lock;
    PIRP waitingRead;
    BOOLEAN forgetCancel;
    ULONG count;
    UCHAR data[kCapacity];
    WCHAR link[64];
};

EchoExtension* Ext(PDEVICE_OBJECT d) {
    return static_cast<EchoExtension*>(d->DeviceExtension);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Takes up to `length` bytes into the read's buffer; caller holds the lock.
ULONG Take(EchoExtension* ext, PIRP irp) {
    ULONG want = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    ULONG n = want < ext->count ? want : ext->count;
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, ext->data, n);
    RtlMoveMemory(ext->data, ext->data + n, ext->count - n);
    ext->count -= n;
    return n;
}

void CancelRead(PDEVICE_OBJECT device, PIRP irp) {
    EchoExtension* ext = Ext(device);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&ext->lock);
    if (ext->waitingRead == irp)
        ext->waitingRead = nullptr;
    KeReleaseSpinLock(&ext->lock, old);
    DbgPrint("echo: read cancelled\n");
    Complete(irp, STATUS_CANCELLED, 0);
}

// The waiting read, if its cancel routine can still be taken away; caller holds the lock.
PIRP ClaimWaitingRead(EchoExtension* ext) {
    PIRP irp = ext->waitingRead;
    if (!irp)
        return nullptr;
    if (!ext->forgetCancel && !IoSetCancelRoutine(irp, nullptr))
        return nullptr;  // being cancelled
    ext->waitingRead = nullptr;
    return irp;
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    EchoExtension* ext = Ext(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
        case IRP_MJ_CREATE:
            DbgPrint("echo: create\n");
            return Complete(irp, STATUS_SUCCESS, 0);
        case IRP_MJ_CLOSE:
            DbgPrint("echo: close\n");
            return Complete(irp, STATUS_SUCCESS, 0);
        case IRP_MJ_CLEANUP: {
            DbgPrint("echo: cleanup\n");
            KIRQL old = KeAcquireSpinLockRaiseToDpc(&ext->lock);
            PIRP read = ext->forgetCancel ? nullptr : ClaimWaitingRead(ext);
            KeReleaseSpinLock(&ext->lock, old);
            if (read)
                Complete(read, STATUS_CANCELLED, 0);
            return Complete(irp, STATUS_SUCCESS, 0);
        }
        case IRP_MJ_WRITE: {
            ULONG length = stack->Parameters.Write.Length;
            DbgPrint("echo: write %u\n", length);
            KIRQL old = KeAcquireSpinLockRaiseToDpc(&ext->lock);
            ULONG room = kCapacity - ext->count;
            ULONG n = length < room ? length : room;
            RtlCopyMemory(ext->data + ext->count, irp->AssociatedIrp.SystemBuffer, n);
            ext->count += n;
            PIRP read = ext->count ? ClaimWaitingRead(ext) : nullptr;
            ULONG taken = read ? Take(ext, read) : 0;
            KeReleaseSpinLock(&ext->lock, old);
            if (read)
                Complete(read, STATUS_SUCCESS, taken);
            return Complete(irp, STATUS_SUCCESS, n);
        }
        case IRP_MJ_READ: {
            DbgPrint("echo: read %u\n", stack->Parameters.Read.Length);
            KIRQL old = KeAcquireSpinLockRaiseToDpc(&ext->lock);
            if (ext->count || stack->Parameters.Read.Length == 0) {
                ULONG n = Take(ext, irp);
                KeReleaseSpinLock(&ext->lock, old);
                return Complete(irp, STATUS_SUCCESS, n);
            }
            if (ext->waitingRead) {
                KeReleaseSpinLock(&ext->lock, old);
                return Complete(irp, STATUS_DEVICE_BUSY, 0);
            }
            IoMarkIrpPending(irp);
            ext->waitingRead = irp;
            if (!ext->forgetCancel)
                IoSetCancelRoutine(irp, CancelRead);
            KeReleaseSpinLock(&ext->lock, old);
            return STATUS_PENDING;
        }
        case IRP_MJ_DEVICE_CONTROL: {
            ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
            if (code == kIoctlForgetCancel) {
                ext->forgetCancel = TRUE;
                return Complete(irp, STATUS_SUCCESS, 0);
            }
            if (code == kIoctlReverse) {
                ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
                if (stack->Parameters.DeviceIoControl.OutputBufferLength < in)
                    return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
                auto* b = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
                for (ULONG i = 0; i < in / 2; ++i) {
                    UCHAR t = b[i];
                    b[i] = b[in - 1 - i];
                    b[in - 1 - i] = t;
                }
                return Complete(irp, STATUS_SUCCESS, in);
            }
            return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        }
        default:
            return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS StartEcho(EchoExtension* ext) {
    HANDLE key;
    NTSTATUS status = IoOpenDeviceRegistryKey(ext->pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
    if (!NT_SUCCESS(status))
        return status;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, TEXT("PortName"));
    ULONG buffer[32];
    ULONG length;
    status =
        ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &length);
    ZwClose(key);
    if (!NT_SUCCESS(status))
        return status;
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    RtlZeroMemory(ext->link, sizeof ext->link);
    static const WCHAR prefix[] = TEXT("\\DosDevices\\");
    RtlCopyMemory(ext->link, prefix, sizeof prefix - sizeof(WCHAR));
    ULONG bytes = info->DataLength < 80 ? info->DataLength : 80;
    RtlCopyMemory(ext->link + (sizeof prefix / sizeof(WCHAR) - 1), info->Data, bytes);
    WCHAR pdoName[64];
    status = IoGetDeviceProperty(ext->pdo, DevicePropertyPhysicalDeviceObjectName, sizeof pdoName,
                                 pdoName, &length);
    if (!NT_SUCCESS(status))
        return status;
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, ext->link);
    RtlInitUnicodeString(&target, pdoName);
    return IoCreateSymbolicLink(&link, &target);
}

NTSTATUS StartCompletion(PDEVICE_OBJECT, PIRP, PVOID event) {
    KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS Pnp(PDEVICE_OBJECT device, PIRP irp) {
    EchoExtension* ext = Ext(device);
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor == IRP_MN_START_DEVICE) {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, StartCompletion, &done, TRUE, TRUE, TRUE);
        if (IoCallDriver(ext->lower, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        NTSTATUS status = irp->IoStatus.Status;
        if (NT_SUCCESS(status))
            status = StartEcho(ext);
        return Complete(irp, status, 0);
    }
    PDEVICE_OBJECT lower = ext->lower;
    if (minor == IRP_MN_REMOVE_DEVICE) {
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, ext->link);
        IoDeleteSymbolicLink(&link);
        IoDetachDevice(lower);
        IoDeleteDevice(device);
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(EchoExtension), nullptr, FILE_DEVICE_UNKNOWN, 0,
                                     TRUE, &device);
    if (!NT_SUCCESS(status))
        return status;
    EchoExtension* ext = Ext(device);
    RtlZeroMemory(ext, sizeof *ext);
    KeInitializeSpinLock(&ext->lock);
    ext->pdo = pdo;
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
    return STATUS_SUCCESS;
}

void Unload(PDRIVER_OBJECT) {}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    static const UCHAR majors[] = {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP,
                                   IRP_MJ_READ,   IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL};
    for (UCHAR major : majors)
        driver->MajorFunction[major] = Dispatch;
    driver->MajorFunction[IRP_MJ_PNP] = Pnp;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
