// Tarnel driver: read requests, their cancel routine and the read thread that completes the one
// waiting read and reports received bytes to waiting wait-on-mask requests. Dispatch at
// PASSIVE_LEVEL; the thread runs at priority 16 and polls every millisecond while a read or a
// wait-on-mask request waits. Otherwise it sleeps until woken: by a read or wait that starts to
// wait, by a purge that makes room for bytes the transport holds, or by its stop request. The
// receive handler completes the waiting read as its bytes arrive (without counting a poll), and a
// read that drains the ring far enough (or finds it empty) fetches held bytes itself.
//
// The pending-read slot holds one request, guarded by the device lock; the receive handler peeks
// at it without the lock, so it is stored atomically. A request enters it with
// its cancel routine already set and leaves it with the routine cleared by exchange: whoever
// clears the routine completes the request; a request whose routine a running cancel already
// took is left in the slot for that cancel to remove and complete.
#include "driver/connection.h"
#include "driver/ring.h"
#include "driver/tdi_endpoint.h"
#include "driver/vserial.h"
#include "driver/wait_queue.h"

#define VSERIAL_READ_PERIOD 10000ULL  // 1 ms, in 100 ns units
// Polls a waiting read lasts without data: 10 when a read total constant is set, else none.
#define VSERIAL_READ_POLLS_WITH_CONSTANT 10

// Held bytes are fetched once reads have drained the ring to half: one fetch then brings many
// reads' worth, and the reader still has half a ring to take meanwhile.
#define VSERIAL_REFILL_LEVEL (VSERIAL_RING_SIZE / 2)

BOOLEAN VSERIAL_TakeRoomWanted(PVSERIAL_EXTENSION ext) {
    if (!ext->RoomWanted || VSERIAL_RingCount(ext->Ring) > VSERIAL_REFILL_LEVEL)
        return FALSE;
    ext->RoomWanted = 0;
    return TRUE;
}

// Bytes the transport holds come into the ring the read made room in, on the reader's own thread
// (a fetch never waits): no hand-off to the read thread. Asked again before looking for room, as
// the read thread does, so a take that makes room after the fetch found none comes back here.
// The receive handler asks too when it leaves bytes, so no thread needs waking for them.
static void VSERIAL_Refill(PVSERIAL_EXTENSION ext) {
    // A read issued from a completion at DISPATCH_LEVEL leaves the fetch to a later one.
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        return;
    PVSERIAL_TDI_ENDPOINT endpoint = VSERIAL_ReferenceConnection(ext);
    if (!endpoint)
        return;
    if (VSERIAL_LoadAcquire(&endpoint->Held)) {
        VSERIAL_WantRoom(ext);
        VSERIAL_TdiFetchHeld(endpoint);
    }
    VSERIAL_ReleaseConnection(endpoint);
}

NTSTATUS VSERIAL_Read(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* ext = static_cast<PVSERIAL_EXTENSION>(DeviceObject->DeviceExtension);
    const ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;

    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->DeviceLock);
    DbgPrint("++++++++++++++VSERIAL_Read start\n");
    if (length == 0) {
        KeReleaseSpinLock(&ext->DeviceLock, irql);
        return VSERIAL_CompleteRequest(Irp, STATUS_SUCCESS, 0, IO_SERIAL_INCREMENT);
    }
    // A read never waits to fill its whole length.
    ULONG taken = VSERIAL_RingGet(ext->Ring, Irp->AssociatedIrp.SystemBuffer, length);
    const BOOLEAN roomMade = VSERIAL_TakeRoomWanted(ext);
    // Timeouts are set under the device lock.
    const bool immediate = ext->Timeouts.ReadIntervalTimeout == MAXULONG &&
                           ext->Timeouts.ReadTotalTimeoutMultiplier == 0;
    KeReleaseSpinLock(&ext->DeviceLock, irql);
    if (taken) {
        VSERIAL_CompleteRequest(Irp, STATUS_SUCCESS, taken, IO_SERIAL_INCREMENT);
        if (roomMade)
            VSERIAL_Refill(ext);
        return STATUS_SUCCESS;
    }
    if (roomMade) {
        // An empty ring while the transport holds bytes: they come in for this read.
        VSERIAL_Refill(ext);
        irql = KeAcquireSpinLockRaiseToDpc(&ext->DeviceLock);
        taken = VSERIAL_RingGet(ext->Ring, Irp->AssociatedIrp.SystemBuffer, length);
        KeReleaseSpinLock(&ext->DeviceLock, irql);
        if (taken)
            return VSERIAL_CompleteRequest(Irp, STATUS_SUCCESS, taken, IO_SERIAL_INCREMENT);
    }
    if (immediate)
        return VSERIAL_CompleteRequest(Irp, STATUS_SUCCESS, 0, IO_SERIAL_INCREMENT);

    irql = KeAcquireSpinLockRaiseToDpc(&ext->DeviceLock);
    if (ext->PendingReadIrp) {
        // The slot is taken: this read returns empty, as a serial time-out would, and the
        // waiting one keeps its place.
        KeReleaseSpinLock(&ext->DeviceLock, irql);
        return VSERIAL_CompleteRequest(Irp, STATUS_SUCCESS, 0, IO_SERIAL_INCREMENT);
    }
    Irp->IoStatus.Information = 0;
    IoMarkIrpPending(Irp);
    (void)IoSetCancelRoutine(Irp, VSERIAL_ReadCancel);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr)) {
        // Cancelled before it got here, and no cancel routine will run for it.
        KeReleaseSpinLock(&ext->DeviceLock, irql);
        VSERIAL_CompleteRequest(Irp, STATUS_CANCELLED, 0, IO_SERIAL_INCREMENT);
        return STATUS_PENDING;
    }
    VSERIAL_SetPendingRead(ext, Irp);
    KeReleaseSpinLock(&ext->DeviceLock, irql);
    // The read thread starts counting polls for it (and takes bytes that came meanwhile).
    KeSetEvent(&ext->ReadWake, IO_NO_INCREMENT, FALSE);
    return STATUS_PENDING;
}

void VSERIAL_ReadCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    auto* ext = static_cast<PVSERIAL_EXTENSION>(DeviceObject->DeviceExtension);
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->DeviceLock);
    if (ext->PendingReadIrp == Irp)
        VSERIAL_SetPendingRead(ext, nullptr);
    KeReleaseSpinLock(&ext->DeviceLock, irql);
    VSERIAL_CompleteRequest(Irp, STATUS_CANCELLED, 0, IO_SERIAL_INCREMENT);
}

// The read thread reports only received bytes; the emulation thread reports the modem events.
static ULONG VSERIAL_ReceivedEvent(PVSERIAL_EXTENSION ext) {
    return VSERIAL_RingCount(ext->Ring) ? ext->WaitMask & SERIAL_EV_RXCHAR : 0;
}

void pReadPollingFunction(PVOID context) {
    auto* ext = static_cast<PVSERIAL_EXTENSION>(context);
    DbgPrint("pReadPollingFunction Start \n");
    KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
    KIRQL startIrql = KeAcquireSpinLockRaiseToDpc(&ext->DeviceLock);
    ext->ReadPolls = 0;
    KeReleaseSpinLock(&ext->DeviceLock, startIrql);

    VSERIAL_POLL_CLOCK clock;
    VSERIAL_PollClockStart(&clock, VSERIAL_READ_PERIOD);
    for (;;) {
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->DeviceLock);
        const BOOLEAN polling = ext->PendingReadIrp || VSERIAL_WaitQueueCount(ext);
        KeReleaseSpinLock(&ext->DeviceLock, irql);
        const NTSTATUS woken = VSERIAL_WorkerWait(&clock, &ext->ReadWake, polling);
        if (KeReadStateEvent(&ext->ReadPollingExitEvent))
            break;
        // Only a poll counts towards a read's time-out and serves a waiting wait-on-mask.
        const bool poll = woken == STATUS_TIMEOUT;

        if (poll) {
            ULONG word = 0;
            irql = KeAcquireSpinLockRaiseToDpc(&ext->DeviceLock);
            PIRP wait = VSERIAL_WaitQueueServeOldest(ext, VSERIAL_ReceivedEvent, &word);
            KeReleaseSpinLock(&ext->DeviceLock, irql);
            if (wait)
                VSERIAL_CompleteWait(wait, STATUS_SUCCESS, word);
        }

        // Completed after the lock is released: a completion routine may issue again at once.
        PIRP done = nullptr;
        ULONG taken = 0;
        irql = KeAcquireSpinLockRaiseToDpc(&ext->DeviceLock);
        if (ext->PendingReadIrp) {
            const ULONG limit =
                ext->Timeouts.ReadTotalTimeoutConstant ? VSERIAL_READ_POLLS_WITH_CONSTANT : 0;
            if (poll)
                ++ext->ReadPolls;
            // Bytes are taken only into a read whose cancel routine was cleared here, so a read
            // being cancelled never carries received bytes away with it.
            if (VSERIAL_RingCount(ext->Ring) || ext->ReadPolls > limit)
                done = VSERIAL_FillPendingRead(ext, &taken);
        }
        KeReleaseSpinLock(&ext->DeviceLock, irql);
        if (done)
            VSERIAL_CompleteRequest(done, STATUS_SUCCESS, taken, IO_SERIAL_INCREMENT);

        // Bytes the transport kept while the ring was full come in once reads made room.
        if (PVSERIAL_TDI_ENDPOINT endpoint = VSERIAL_ReferenceConnection(ext)) {
            if (VSERIAL_LoadAcquire(&endpoint->Held)) {
                // Asked (under the lock that guards every take) before looking for room: a read
                // that makes room after the fetch found none wakes this thread again.
                irql = KeAcquireSpinLockRaiseToDpc(&ext->DeviceLock);
                ext->RoomWanted = 1;
                KeReleaseSpinLock(&ext->DeviceLock, irql);
                VSERIAL_TdiFetchHeld(endpoint);
            }
            VSERIAL_ReleaseConnection(endpoint);
        }
    }

    VSERIAL_PollClockStop(&clock);
    KeSetEvent(&ext->ReadStoppedEvent, IO_NO_INCREMENT, FALSE);
    // One waiting request learns of the end (event word 0); the emulation thread ends the rest.
    VSERIAL_CompleteOldestWait(ext);
    VSERIAL_CompletePendingRead(ext, STATUS_SUCCESS);
    DbgPrint("pReadPollingFunction Exit\n");
    PsTerminateSystemThread(STATUS_SUCCESS);
}
