// Tarnel driver: the serial control requests, answered from the emulated serial state in the
// extension. PASSIVE_LEVEL, in the caller's thread. Every request is completed here, except a
// wait-on-mask request (the wait queue's until a worker, a cancel or cleanup completes it) and
// the removal-notification request (held until removal or cancel).
//
// Settings are written and read under the device lock, so the workers' per-poll snapshot of the
// wait mask and modem control, and the read thread's view of the timeouts, is never torn.
#include "driver/notification.h"
#include "driver/ring.h"
#include "driver/serial_codes.h"
#include "driver/vserial.h"
#include "driver/wait_queue.h"

#define VSERIAL_QUEUE_FULL_STATUS STATUS_INVALID_PARAMETER

// Queues the request for the workers; its event word is 0 until one of them reports.
static NTSTATUS VSERIAL_WaitOnMask(PVSERIAL_EXTENSION ext, PIRP irp) {
    const ULONG word = 0;
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &word, sizeof(word));
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->DeviceLock);
    if (VSERIAL_WaitQueueCount(ext) == VSERIAL_WAIT_QUEUE_CAPACITY) {
        KeReleaseSpinLock(&ext->DeviceLock, irql);
        return VSERIAL_CompleteRequest(irp, VSERIAL_QUEUE_FULL_STATUS, 0);
    }
    IoMarkIrpPending(irp);
    (void)IoSetCancelRoutine(irp, VSERIAL_WaitCancel);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
        // Cancelled before its routine was set: no cancel routine will run for it.
        KeReleaseSpinLock(&ext->DeviceLock, irql);
        VSERIAL_CompleteWait(irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    // Queued even when a cancel already took the routine: that cancel looks for it here.
    VSERIAL_WaitQueuePush(ext, irp);
    KeReleaseSpinLock(&ext->DeviceLock, irql);
    // Both workers poll while a request waits.
    KeSetEvent(&ext->ReadWake, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&ext->EmulationWake, IO_NO_INCREMENT, FALSE);
    return STATUS_PENDING;
}

// The oldest waiting request learns that the mask changed (event word 0); masks accumulate until
// a mask of 0 clears them.
static void VSERIAL_SetWaitMask(PVSERIAL_EXTENSION ext, ULONG mask) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->DeviceLock);
    PIRP oldest = VSERIAL_WaitQueueClaimOldest(ext);
    ext->WaitMask = mask ? ext->WaitMask | mask : 0;
    KeReleaseSpinLock(&ext->DeviceLock, irql);
    if (oldest)
        VSERIAL_CompleteWait(oldest, STATUS_SUCCESS, 0);
}

// Transmit purges have nothing to do: writes never wait in the driver.
static void VSERIAL_Purge(PVSERIAL_EXTENSION ext, ULONG mask) {
    if (mask & SERIAL_PURGE_RXABORT)
        VSERIAL_CompletePendingRead(ext, STATUS_CANCELLED);
    if (mask & SERIAL_PURGE_RXCLEAR) {
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->DeviceLock);
        VSERIAL_RingReset(ext->Ring);
        const BOOLEAN roomMade = VSERIAL_TakeRoomWanted(ext);
        KeReleaseSpinLock(&ext->DeviceLock, irql);
        if (roomMade)
            KeSetEvent(&ext->ReadWake, IO_NO_INCREMENT, FALSE);
    }
}

// The requests that only store or return settings; caller holds the device lock. `buffer` holds
// at least the request's input and output (checked against its shape).
static NTSTATUS VSERIAL_Setting(PVSERIAL_EXTENSION ext, ULONG code, PVOID buffer) {
    switch (code) {
        case IOCTL_SERIAL_SET_BAUD_RATE:
            RtlCopyMemory(&ext->BaudRate, buffer, sizeof(ULONG));
            return STATUS_SUCCESS;
        case IOCTL_SERIAL_GET_BAUD_RATE:
            RtlCopyMemory(buffer, &ext->BaudRate, sizeof(ULONG));
            return STATUS_SUCCESS;
        case IOCTL_SERIAL_SET_LINE_CONTROL:
            RtlCopyMemory(&ext->LineControl, buffer, sizeof(SERIAL_LINE_CONTROL));
            return STATUS_SUCCESS;
        case IOCTL_SERIAL_GET_LINE_CONTROL:
            RtlCopyMemory(buffer, &ext->LineControl, sizeof(SERIAL_LINE_CONTROL));
            return STATUS_SUCCESS;
        case IOCTL_SERIAL_SET_TIMEOUTS:
            RtlCopyMemory(&ext->Timeouts, buffer, sizeof(SERIAL_TIMEOUTS));
            return STATUS_SUCCESS;
        case IOCTL_SERIAL_GET_TIMEOUTS:
            RtlCopyMemory(buffer, &ext->Timeouts, sizeof(SERIAL_TIMEOUTS));
            return STATUS_SUCCESS;
        case IOCTL_SERIAL_SET_HANDFLOW:
            RtlCopyMemory(&ext->HandFlow, buffer, sizeof(SERIAL_HANDFLOW));
            return STATUS_SUCCESS;
        case IOCTL_SERIAL_GET_HANDFLOW:
            RtlCopyMemory(buffer, &ext->HandFlow, sizeof(SERIAL_HANDFLOW));
            return STATUS_SUCCESS;
        case IOCTL_SERIAL_GET_WAIT_MASK:
            RtlCopyMemory(buffer, &ext->WaitMask, sizeof(ULONG));
            return STATUS_SUCCESS;
        case IOCTL_SERIAL_SET_MODEM_CONTROL: {
            RtlCopyMemory(&ext->ModemControl, buffer, sizeof(ULONG));
            // Only DTR reaches the emulated lines.
            VSERIAL_UpdateModemStatus(ext, (ext->ModemControl & SERIAL_DTR_STATE)
                                               ? VSERIAL_MODEM_DSR_ON
                                               : VSERIAL_MODEM_DSR_OFF);
            return STATUS_SUCCESS;
        }
        case IOCTL_SERIAL_GET_MODEM_CONTROL:
            RtlCopyMemory(buffer, &ext->ModemControl, sizeof(ULONG));
            return STATUS_SUCCESS;
        case IOCTL_SERIAL_GET_MODEMSTATUS: {
            // Asking for the lines raises both: the printer is always there to talk to.
            VSERIAL_SetLinesReady(ext, TRUE);
            const ULONG status = VSERIAL_LoadAcquire(&ext->ModemStatus);
            RtlCopyMemory(buffer, &status, sizeof(status));
            return STATUS_SUCCESS;
        }
        case IOCTL_SERIAL_GET_COMMSTATUS: {
            SERIAL_STATUS status;
            RtlZeroMemory(&status, sizeof(status));
            status.AmountInInQueue = VSERIAL_RingCount(ext->Ring);
            RtlCopyMemory(buffer, &status, sizeof(status));
            return STATUS_SUCCESS;
        }
        case IOCTL_SERIAL_SET_DTR:
            VSERIAL_UpdateModemStatus(ext, VSERIAL_MODEM_DSR_ON);
            return STATUS_SUCCESS;
        case IOCTL_SERIAL_CLR_DTR:
            VSERIAL_UpdateModemStatus(ext, VSERIAL_MODEM_DSR_OFF);
            return STATUS_SUCCESS;
        case IOCTL_SERIAL_SET_RTS:
            VSERIAL_UpdateModemStatus(ext, VSERIAL_MODEM_CTS_ON);
            return STATUS_SUCCESS;
        case IOCTL_SERIAL_CLR_RTS:
            VSERIAL_UpdateModemStatus(ext, VSERIAL_MODEM_CTS_OFF);
            return STATUS_SUCCESS;
        case IOCTL_SERIAL_GET_COMMCONFIG:
        case IOCTL_SERIAL_SET_COMMCONFIG:
            return STATUS_UNSUCCESSFUL;
        default:
            // Accepted without effect: queue size, break, immediate char, reset, XON/XOFF,
            // chars, XOFF counter, properties, DTR/RTS, LSR/MST insertion, config size,
            // statistics, FIFO control, and the private no-operation code.
            return STATUS_SUCCESS;
    }
}

NTSTATUS VSERIAL_DeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* ext = static_cast<PVSERIAL_EXTENSION>(DeviceObject->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inputBytes = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outputBytes = stack->Parameters.DeviceIoControl.OutputBufferLength;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;

    VSERIAL_REQUEST_SHAPE shape;
    if (!VSERIAL_RequestShape(code, &shape))
        return VSERIAL_CompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
    // The system buffer is as long as the longer of the two: nothing past it is read or written.
    if (inputBytes < shape.InputBytes || outputBytes < shape.OutputBytes)
        return VSERIAL_CompleteRequest(Irp, STATUS_BUFFER_TOO_SMALL, 0);
    // The I/O manager copies `information` bytes to the caller's output buffer, so a set that
    // echoes its input reports no more than that buffer holds.
    const ULONG information = shape.Information < outputBytes ? shape.Information : outputBytes;
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;

    switch (code) {
        case IOCTL_SERIAL_WAIT_ON_MASK:
            return VSERIAL_WaitOnMask(ext, Irp);
        case VSERIAL_IOCTL_REMOVAL_NOTIFY:
            return VSERIAL_HoldNotification(ext, Irp);
        case IOCTL_SERIAL_SET_WAIT_MASK: {
            ULONG mask;
            RtlCopyMemory(&mask, buffer, sizeof(mask));
            VSERIAL_SetWaitMask(ext, mask);
            return VSERIAL_CompleteRequest(Irp, STATUS_SUCCESS, information);
        }
        case IOCTL_SERIAL_PURGE: {
            ULONG mask;
            RtlCopyMemory(&mask, buffer, sizeof(mask));
            VSERIAL_Purge(ext, mask);
            return VSERIAL_CompleteRequest(Irp, STATUS_SUCCESS, information);
        }
        default: {
            KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->DeviceLock);
            const NTSTATUS status = VSERIAL_Setting(ext, code, buffer);
            KeReleaseSpinLock(&ext->DeviceLock, irql);
            return VSERIAL_CompleteRequest(Irp, status, NT_SUCCESS(status) ? information : 0);
        }
    }
}
