// Tarnel driver: open of the port. Connects the handle to its printer and starts the handle's
// emulation and read threads; PASSIVE_LEVEL, completes the request before returning.
#include "driver/connection.h"
#include "driver/vserial.h"

#define VSERIAL_TIMER_RESOLUTION 10000  // 1 ms, in 100 ns units
// How long a worker keeps its timer resolution request with nothing to poll for.
#define VSERIAL_FINE_TIMER_LINGER (-10000000LL)  // 1 s, relative

// Starts one worker and keeps a reference to its thread object.
static NTSTATUS VSERIAL_StartWorker(PKSTART_ROUTINE routine, PVSERIAL_EXTENSION ext,
                                    PVOID* thread) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr,
                                           nullptr, routine, ext);
    if (!NT_SUCCESS(status))
        return status;
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, thread,
                                       nullptr);
    ZwClose(handle);
    return status;
}

void VSERIAL_StopWorker(PKEVENT stopRequest, PKEVENT wake, PVOID* thread) {
    VSERIAL_SignalStop(stopRequest, wake);
    if (!*thread)
        return;
    KeWaitForSingleObject(*thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(*thread);
    *thread = nullptr;
}

void VSERIAL_PollClockStart(VSERIAL_POLL_CLOCK* clock, ULONGLONG period) {
    clock->Period = period;
    clock->Due = 0;
    clock->Armed = FALSE;
    clock->FineTimer = FALSE;
}

void VSERIAL_PollClockStop(VSERIAL_POLL_CLOCK* clock) {
    if (clock->FineTimer) {
        clock->FineTimer = FALSE;
        ExSetTimerResolution(0, FALSE);
    }
}

NTSTATUS VSERIAL_WorkerWait(VSERIAL_POLL_CLOCK* clock, PKEVENT wake, BOOLEAN polling) {
    if (!polling) {
        clock->Armed = FALSE;
        if (clock->FineTimer) {
            LARGE_INTEGER linger;
            linger.QuadPart = VSERIAL_FINE_TIMER_LINGER;
            const NTSTATUS status =
                KeWaitForSingleObject(wake, Executive, KernelMode, FALSE, &linger);
            if (status != STATUS_TIMEOUT)
                return status;
            VSERIAL_PollClockStop(clock);
            return STATUS_SUCCESS;
        }
        return KeWaitForSingleObject(wake, Executive, KernelMode, FALSE, nullptr);
    }
    if (!clock->FineTimer) {
        ExSetTimerResolution(VSERIAL_TIMER_RESOLUTION, TRUE);
        clock->FineTimer = TRUE;
    }
    ULONGLONG now = KeQueryInterruptTime();
    if (!clock->Armed) {
        // The first poll is a whole period after there is something to poll for.
        clock->Due = now + clock->Period;
        clock->Armed = TRUE;
    }
    NTSTATUS status = STATUS_TIMEOUT;
    if (clock->Due > now) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -static_cast<LONGLONG>(clock->Due - now);
        status = KeWaitForSingleObject(wake, Executive, KernelMode, FALSE, &timeout);
    }
    if (status == STATUS_TIMEOUT) {
        now = KeQueryInterruptTime();
        clock->Due += clock->Period;
        if (clock->Due <= now)
            clock->Due = now + clock->Period;
    }
    return status;
}

NTSTATUS VSERIAL_Create(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* ext = static_cast<PVSERIAL_EXTENSION>(DeviceObject->DeviceExtension);
    DbgPrint("+ VSERIAL_Create Start ----------------------\n");
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    // A device that is going away takes no new handles, as Windows' serial drivers answer.
    if (VSERIAL_LoadAcquire(&ext->Removed))
        return VSERIAL_CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    // Claimed before connecting, which may take 70 s: a second open meanwhile is refused too.
    // The claim is this file object's: only its own cleanup or close gives it back.
    if (InterlockedCompareExchangePointer(reinterpret_cast<PVOID*>(&ext->OpenOwner), file,
                                          nullptr) != nullptr)
        return VSERIAL_CompleteRequest(Irp, STATUS_PORT_CONNECTION_REFUSED, 0);
    VSERIAL_StoreRelease(&ext->OpenFlag, 1);
    if (VSERIAL_LoadAcquire(&ext->Removed)) {
        VSERIAL_ReleaseOpenClaim(ext, file);
        return VSERIAL_CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    }

    if (!NT_SUCCESS(VSERIAL_OpenConnection(ext, file))) {
        VSERIAL_ReleaseOpenClaim(ext, file);
        return VSERIAL_CompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
    }
    VSERIAL_SetLinesReady(ext, TRUE);

    // The workers run before the open completes, so the handle's cleanup always finds them.
    KeResetEvent(&ext->EmulationPollingExitEvent);
    KeResetEvent(&ext->EmulationStoppedEvent);
    KeResetEvent(&ext->ReadStoppedEvent);
    KeResetEvent(&ext->ReadPollingExitEvent);
    KeResetEvent(&ext->ReadWake);
    KeResetEvent(&ext->EmulationWake);
    ext->EmulationThread = nullptr;
    ext->ReadThread = nullptr;
    NTSTATUS status = VSERIAL_StartWorker(pEmulationPollingFunction, ext, &ext->EmulationThread);
    if (NT_SUCCESS(status))
        status = VSERIAL_StartWorker(pReadPollingFunction, ext, &ext->ReadThread);
    if (!NT_SUCCESS(status)) {
        VSERIAL_StopWorker(&ext->EmulationPollingExitEvent, &ext->EmulationWake,
                           &ext->EmulationThread);
        VSERIAL_StopWorker(&ext->ReadPollingExitEvent, &ext->ReadWake, &ext->ReadThread);
        VSERIAL_CloseConnection(ext, file);
        VSERIAL_SetLinesReady(ext, FALSE);
        VSERIAL_ReleaseOpenClaim(ext, file);
        return VSERIAL_CompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
    }
    return VSERIAL_CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

BOOLEAN VSERIAL_ReleaseOpenClaim(PVSERIAL_EXTENSION ext, PFILE_OBJECT file) {
    // The flag is cleared first: nobody can claim in between and lose the flag to this release.
    if (InterlockedCompareExchangePointer(reinterpret_cast<PVOID*>(&ext->OpenOwner), nullptr,
                                          nullptr) != file)
        return FALSE;
    VSERIAL_StoreRelease(&ext->OpenFlag, 0);
    InterlockedCompareExchangePointer(reinterpret_cast<PVOID*>(&ext->OpenOwner), nullptr, file);
    return TRUE;
}
