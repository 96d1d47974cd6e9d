// Tarnel driver: establishing a handle's connection (open, or a write after the connection was
// lost) and tearing it down (after a failed send, and at cleanup). PASSIVE_LEVEL.
#include "driver/connection.h"

#include "driver/tdi_endpoint.h"

#define VSERIAL_DISCONNECT_WAIT (-100000000LL)  // 10 s for the printer's answer at cleanup

NTSTATUS VSERIAL_EstablishConnection(PVSERIAL_EXTENSION ext, PFILE_OBJECT file) {
    // Everything a handler touches is ready before the handlers are registered.
    PVSERIAL_TDI_ENDPOINT endpoint = VSERIAL_EndpointAllocate();
    if (!endpoint)
        return STATUS_UNSUCCESSFUL;
    endpoint->State = VSERIAL_ENDPOINT_NOT_CONNECTED;
    endpoint->Ring = ext->Ring;
    KeInitializeEvent(&endpoint->Disconnected, NotificationEvent, FALSE);

    if (!NT_SUCCESS(VSERIAL_OpenEndpoint(endpoint))) {
        VSERIAL_EndpointFree(endpoint);
        return STATUS_UNSUCCESSFUL;
    }
    VSERIAL_TdiSetEventHandler(endpoint->AddressFileObject, TDI_EVENT_RECEIVE,
                               reinterpret_cast<PVOID>(VSERIAL_ClientEventReceive), endpoint);
    VSERIAL_TdiSetEventHandler(endpoint->AddressFileObject, TDI_EVENT_DISCONNECT,
                               reinterpret_cast<PVOID>(VSERIAL_ClientEventDisconnect), endpoint);
    file->FsContext = endpoint;

    // A port the store does not know is dialled as 0.0.0.0 port 0, which fails.
    ULONG address = 0;
    ULONG port = 0;
    VSERIAL_LookupPrinterAddress(ext->PortName, &address, &port);
    USHORT networkPort;
    RtlCopyMemory(&networkPort, &port, sizeof(networkPort));  // the first two stored bytes

    if (!NT_SUCCESS(VSERIAL_TdiConnect(endpoint->ConnectionFileObject, address, networkPort))) {
        VSERIAL_CloseEndpoint(endpoint);
        VSERIAL_EndpointFree(endpoint);
        file->FsContext = nullptr;
        return STATUS_UNSUCCESSFUL;
    }
    VSERIAL_StoreRelease(&endpoint->State, VSERIAL_ENDPOINT_CONNECTED);
    return STATUS_SUCCESS;
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

// Releases the endpoint in FsContext, if any; a connected one gets a graceful disconnect first.
static void VSERIAL_ReleaseConnection(PFILE_OBJECT file, bool awaitPrinter) {
    auto* endpoint = static_cast<PVSERIAL_TDI_ENDPOINT>(file->FsContext);
    if (!endpoint)
        return;
    if (VSERIAL_LoadAcquire(&endpoint->State) == VSERIAL_ENDPOINT_CONNECTED) {
        if (awaitPrinter)
            KeResetEvent(&endpoint->Disconnected);
        VSERIAL_TdiDisconnect(endpoint->ConnectionFileObject);
        if (awaitPrinter) {
            LARGE_INTEGER wait;
            wait.QuadPart = VSERIAL_DISCONNECT_WAIT;
            KeWaitForSingleObject(&endpoint->Disconnected, Executive, KernelMode, FALSE, &wait);
        }
        VSERIAL_StoreRelease(&endpoint->State, VSERIAL_ENDPOINT_NOT_CONNECTED);
    }
    // Closing the address object ends the handlers' calls before the record goes.
    VSERIAL_CloseEndpoint(endpoint);
    VSERIAL_EndpointFree(endpoint);
    file->FsContext = nullptr;
}

NTSTATUS VSERIAL_PreCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* ext = static_cast<PVSERIAL_EXTENSION>(DeviceObject->DeviceExtension);
    DbgPrint("VSERIAL_PreCleanup Start \n");
    KeSetEvent(&ext->EmulationPollingExitEvent, IO_NO_INCREMENT, FALSE);
    DbgPrint("VSERIAL_PreCleanup : EmulationPollingExitEvent \n");
    VSERIAL_ReleaseConnection(IoGetCurrentIrpStackLocation(Irp)->FileObject, false);
    DbgPrint("VSERIAL_PreCleanup End \n");
    return STATUS_SUCCESS;
}

void VSERIAL_CloseConnection(PFILE_OBJECT file) {
    VSERIAL_ReleaseConnection(file, true);
}
