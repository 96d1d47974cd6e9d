// Tarnel driver: establishing a handle's connection (open, or a write after the connection was
// lost) and tearing it down (after a failed send, and at cleanup). PASSIVE_LEVEL.
#include "driver/connection.h"

#include "driver/tdi_endpoint.h"

// At cleanup: the graceful close and the printer's answer to it, each bounded and short, so that
// a stalled printer never holds the port for long.
#define VSERIAL_CLEANUP_DISCONNECT_WAIT (-20000000LL)  // 2 s for the close request
#define VSERIAL_DISCONNECT_WAIT (-10000000LL)          // 1 s for the printer's answer
#define VSERIAL_ABORT_WAIT (-20000000LL)               // 2 s for an abortive close

static KIRQL VSERIAL_SlotLock(PVSERIAL_EXTENSION ext) {
    return KeAcquireSpinLockRaiseToDpc(&ext->Connection.Lock);
}
static void VSERIAL_SlotUnlock(PVSERIAL_EXTENSION ext, KIRQL irql) {
    KeReleaseSpinLock(&ext->Connection.Lock, irql);
}

// Makes, opens and connects a record. The record is visible to cleanup (Connecting) while its
// connect is in flight.
static NTSTATUS VSERIAL_Connect(PVSERIAL_EXTENSION ext, PVSERIAL_TDI_ENDPOINT* out) {
    *out = nullptr;
    // Everything a handler touches is ready before the handlers are registered.
    PVSERIAL_TDI_ENDPOINT endpoint = VSERIAL_EndpointAllocate();
    if (!endpoint)
        return STATUS_UNSUCCESSFUL;
    endpoint->State = VSERIAL_ENDPOINT_NOT_CONNECTED;
    endpoint->Ring = ext->Ring;
    endpoint->Device = ext;

    if (!NT_SUCCESS(VSERIAL_OpenEndpoint(endpoint))) {
        VSERIAL_EndpointFree(endpoint);
        return STATUS_UNSUCCESSFUL;
    }
    VSERIAL_TdiSetEventHandler(endpoint->AddressFileObject, TDI_EVENT_RECEIVE,
                               reinterpret_cast<PVOID>(VSERIAL_ClientEventReceive), endpoint);
    VSERIAL_TdiSetEventHandler(endpoint->AddressFileObject, TDI_EVENT_DISCONNECT,
                               reinterpret_cast<PVOID>(VSERIAL_ClientEventDisconnect), endpoint);
    *out = endpoint;

    // A port the store does not know is dialled as 0.0.0.0 port 0, which fails.
    ULONG address = 0;
    ULONG port = 0;
    VSERIAL_LookupPrinterAddress(ext->PortName, &address, &port);
    USHORT networkPort;
    RtlCopyMemory(&networkPort, &port, sizeof(networkPort));  // the first two stored bytes

    KIRQL irql = VSERIAL_SlotLock(ext);
    const bool closing = ext->Connection.Closing != 0;
    if (!closing)
        ext->Connection.Connecting = endpoint;
    VSERIAL_SlotUnlock(ext, irql);
    if (closing)
        return STATUS_UNSUCCESSFUL;
    NTSTATUS status = VSERIAL_TdiConnect(endpoint, &ext->Connection.Lock, address, networkPort);
    return NT_SUCCESS(status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS VSERIAL_EstablishConnection(PVSERIAL_EXTENSION ext, PFILE_OBJECT file) {
    PVSERIAL_TDI_ENDPOINT endpoint = nullptr;
    NTSTATUS status = VSERIAL_Connect(ext, &endpoint);
    PVSERIAL_TDI_ENDPOINT unused = nullptr;

    KIRQL irql = VSERIAL_SlotLock(ext);
    ext->Connection.Connecting = nullptr;
    if (NT_SUCCESS(status) && !ext->Connection.Closing) {
        VSERIAL_StoreRelease(&endpoint->State, VSERIAL_ENDPOINT_CONNECTED);
        ext->Connection.Endpoint = endpoint;
        file->FsContext = endpoint;
    } else {
        unused = endpoint;  // never published: nobody else can hold it
        status = STATUS_UNSUCCESSFUL;
    }
    ext->Connection.Establishing = 0;
    ext->Connection.Attempts++;
    KeSetEvent(&ext->Connection.Settled, IO_NO_INCREMENT, FALSE);
    VSERIAL_SlotUnlock(ext, irql);

    if (unused) {
        // Closing the address object ends the handlers' calls before the record goes.
        VSERIAL_CloseEndpoint(unused);
        VSERIAL_EndpointFree(unused);
    }
    return status;
}

NTSTATUS VSERIAL_OpenConnection(PVSERIAL_EXTENSION ext, PFILE_OBJECT file) {
    KIRQL irql = VSERIAL_SlotLock(ext);
    ext->Connection.Endpoint = nullptr;
    ext->Connection.Connecting = nullptr;
    ext->Connection.Closing = 0;
    ext->Connection.Establishing = 1;
    KeResetEvent(&ext->Connection.Settled);
    VSERIAL_SlotUnlock(ext, irql);
    return VSERIAL_EstablishConnection(ext, file);
}

NTSTATUS ReCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* ext = static_cast<PVSERIAL_EXTENSION>(DeviceObject->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    DbgPrint("+ ReCreate, Statck: 0x%x\n", static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(stack)));
    NTSTATUS status = VSERIAL_EstablishConnection(ext, stack->FileObject);
    Irp->IoStatus.Status = NT_SUCCESS(status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    Irp->IoStatus.Information = 0;
    return Irp->IoStatus.Status;
}

NTSTATUS VSERIAL_AcquireConnection(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                   VSERIAL_TDI_ENDPOINT** out) {
    auto* ext = static_cast<PVSERIAL_EXTENSION>(DeviceObject->DeviceExtension);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    auto* owner = static_cast<PFILE_OBJECT>(InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID*>(&ext->OpenOwner), nullptr, nullptr));
    if (owner != file)
        return STATUS_UNSUCCESSFUL;  // a request of a handle that no longer owns the port
    for (;;) {
        KIRQL irql = VSERIAL_SlotLock(ext);
        VSERIAL_CONNECTION_SLOT* slot = &ext->Connection;
        if (slot->Closing) {
            VSERIAL_SlotUnlock(ext, irql);
            return STATUS_UNSUCCESSFUL;
        }
        if (slot->Endpoint) {
            VSERIAL_EndpointReference(slot->Endpoint);
            *out = slot->Endpoint;
            VSERIAL_SlotUnlock(ext, irql);
            return STATUS_SUCCESS;
        }
        if (slot->Establishing) {
            // Another writer reconnects: wait for it and take its result.
            const ULONG attempts = slot->Attempts;
            VSERIAL_SlotUnlock(ext, irql);
            KeWaitForSingleObject(&slot->Settled, Executive, KernelMode, FALSE, nullptr);
            irql = VSERIAL_SlotLock(ext);
            const bool failed = slot->Attempts != attempts && !slot->Endpoint;
            VSERIAL_SlotUnlock(ext, irql);
            if (failed)
                return STATUS_UNSUCCESSFUL;
            continue;
        }
        slot->Establishing = 1;
        KeResetEvent(&slot->Settled);
        VSERIAL_SlotUnlock(ext, irql);
        if (!NT_SUCCESS(ReCreate(DeviceObject, Irp)))
            return STATUS_UNSUCCESSFUL;
    }
}

VSERIAL_TDI_ENDPOINT* VSERIAL_ReferenceConnection(PVSERIAL_EXTENSION ext) {
    KIRQL irql = VSERIAL_SlotLock(ext);
    PVSERIAL_TDI_ENDPOINT endpoint = ext->Connection.Closing ? nullptr : ext->Connection.Endpoint;
    if (endpoint)
        VSERIAL_EndpointReference(endpoint);
    VSERIAL_SlotUnlock(ext, irql);
    return endpoint;
}

void VSERIAL_ReleaseConnection(VSERIAL_TDI_ENDPOINT* endpoint) {
    VSERIAL_EndpointDereference(endpoint);
}

// Tears down an endpoint taken out of the slot; the caller holds the slot's reference. Requests
// of other users still in flight are failed by an abortive close; the record goes once the last
// of them has let go.
static void VSERIAL_Teardown(PVSERIAL_TDI_ENDPOINT endpoint, bool atCleanup) {
    const bool othersInFlight = InterlockedCompareExchange(&endpoint->References, 0, 0) > 1;
    if (othersInFlight) {
        VSERIAL_TdiDisconnectWithin(endpoint->ConnectionFileObject, VSERIAL_ABORT_WAIT, TRUE);
    } else if (VSERIAL_LoadAcquire(&endpoint->State) == VSERIAL_ENDPOINT_CONNECTED) {
        if (atCleanup) {
            KeResetEvent(&endpoint->Disconnected);
            // The printer's own close may have come meanwhile: then there is nothing to wait for.
            if (VSERIAL_LoadAcquire(&endpoint->State) == VSERIAL_ENDPOINT_CONNECTED &&
                NT_SUCCESS(VSERIAL_TdiDisconnectWithin(endpoint->ConnectionFileObject,
                                                       VSERIAL_CLEANUP_DISCONNECT_WAIT, FALSE))) {
                LARGE_INTEGER wait;
                wait.QuadPart = VSERIAL_DISCONNECT_WAIT;
                KeWaitForSingleObject(&endpoint->Disconnected, Executive, KernelMode, FALSE, &wait);
            }
        } else {
            VSERIAL_TdiDisconnect(endpoint->ConnectionFileObject);
        }
    }
    VSERIAL_StoreRelease(&endpoint->State, VSERIAL_ENDPOINT_NOT_CONNECTED);
    VSERIAL_EndpointDereference(endpoint);
    KeWaitForSingleObject(&endpoint->Idle, Executive, KernelMode, FALSE, nullptr);
    // Closing the address object ends the handlers' calls before the record goes.
    VSERIAL_CloseEndpoint(endpoint);
    VSERIAL_EndpointFree(endpoint);
}

NTSTATUS VSERIAL_PreCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp, VSERIAL_TDI_ENDPOINT* endpoint) {
    auto* ext = static_cast<PVSERIAL_EXTENSION>(DeviceObject->DeviceExtension);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    DbgPrint("VSERIAL_PreCleanup Start \n");
    VSERIAL_SignalStop(&ext->EmulationPollingExitEvent, &ext->EmulationWake);
    DbgPrint("VSERIAL_PreCleanup : EmulationPollingExitEvent \n");
    // Of several writes whose sends failed together, the first takes the endpoint down.
    KIRQL irql = VSERIAL_SlotLock(ext);
    const bool mine = ext->Connection.Endpoint == endpoint;
    if (mine) {
        ext->Connection.Endpoint = nullptr;
        if (file->FsContext == endpoint)
            file->FsContext = nullptr;
    }
    VSERIAL_SlotUnlock(ext, irql);
    VSERIAL_EndpointDereference(endpoint);
    if (mine)
        VSERIAL_Teardown(endpoint, false);
    DbgPrint("VSERIAL_PreCleanup End \n");
    return STATUS_SUCCESS;
}

void VSERIAL_EnterWrite(PVSERIAL_EXTENSION ext) {
    KIRQL irql = VSERIAL_SlotLock(ext);
    ext->Connection.Writes++;
    VSERIAL_SlotUnlock(ext, irql);
}

void VSERIAL_LeaveWrite(PVSERIAL_EXTENSION ext) {
    KIRQL irql = VSERIAL_SlotLock(ext);
    if (--ext->Connection.Writes == 0 && ext->Connection.Closing)
        KeSetEvent(&ext->Connection.WritesGone, IO_NO_INCREMENT, FALSE);
    VSERIAL_SlotUnlock(ext, irql);
}

void VSERIAL_CloseConnection(PVSERIAL_EXTENSION ext, PFILE_OBJECT file) {
    KIRQL irql = VSERIAL_SlotLock(ext);
    VSERIAL_CONNECTION_SLOT* slot = &ext->Connection;
    slot->Closing = 1;
    const bool writing = slot->Writes != 0;
    if (writing)
        KeResetEvent(&slot->WritesGone);
    PVSERIAL_TDI_ENDPOINT endpoint = slot->Endpoint;
    slot->Endpoint = nullptr;
    if (file->FsContext == endpoint)
        file->FsContext = nullptr;
    if (PVSERIAL_TDI_ENDPOINT connecting = slot->Connecting) {
        // The request stays valid while published: its issuer clears it under this lock first.
        connecting->CancelConnect = 1;
        if (connecting->ConnectIrp)
            IoCancelIrp(connecting->ConnectIrp);
    }
    VSERIAL_SlotUnlock(ext, irql);
    if (endpoint)
        VSERIAL_Teardown(endpoint, true);
    // A reconnecting write sees Closing and releases what it made.
    KeWaitForSingleObject(&slot->Settled, Executive, KernelMode, FALSE, nullptr);
    // Writes whose requests were failed above complete before the handle is gone.
    if (writing)
        KeWaitForSingleObject(&slot->WritesGone, Executive, KernelMode, FALSE, nullptr);
}
