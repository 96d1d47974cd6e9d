// Tarnel driver: the TCP endpoint of a handle on "\Device\Tcp": its record, the address and
// connection objects, the transport requests (PASSIVE_LEVEL) and the event handlers
// (DISPATCH_LEVEL).
#include "driver/tdi_endpoint.h"

#include "driver/ring.h"

// The record sits behind a header whose first 32 bits hold the size of the whole block; the
// header is 8 bytes so that the record keeps its natural alignment.
#define VSERIAL_ENDPOINT_HEADER 8
#define VSERIAL_ENDPOINT_FILL 0xDA

#define VSERIAL_TDI_CONTROL_CODE 3
// A build for tests may shorten the limits to meet their edges.
#ifndef VSERIAL_CONNECT_TIMEOUT
#define VSERIAL_CONNECT_TIMEOUT (-700000000LL)  // 70 s
#endif
#ifndef VSERIAL_TRANSFER_TIMEOUT
#define VSERIAL_TRANSFER_TIMEOUT (-1000000000LL)  // 100 s: send and disconnect
#endif
#define VSERIAL_ADDRESS_EA_BYTES 328
#define VSERIAL_ADDRESS_EA_VALUE_BYTES 42
#define VSERIAL_CONNECTION_EA_BYTES 38

static const WCHAR kTcpDevice[] = TEXT("\\Device\\Tcp");
static const char kTransportAddress[] = "TransportAddress";
static const char kConnectionContext[] = "ConnectionContext";

PVSERIAL_TDI_ENDPOINT VSERIAL_EndpointAllocate() {
    const ULONG size = VSERIAL_ENDPOINT_HEADER + sizeof(VSERIAL_TDI_ENDPOINT);
    auto* block = static_cast<UCHAR*>(
        ExAllocatePoolWithTag(VSERIAL_NONPAGED_POOL, size, VSERIAL_TAG_ENDPOINT));
    if (!block)
        return nullptr;
    RtlZeroMemory(block, size);
    *reinterpret_cast<ULONG*>(block) = size;
    auto* endpoint = reinterpret_cast<PVSERIAL_TDI_ENDPOINT>(block + VSERIAL_ENDPOINT_HEADER);
    endpoint->References = 1;
    KeInitializeEvent(&endpoint->Idle, NotificationEvent, FALSE);
    KeInitializeEvent(&endpoint->Disconnected, NotificationEvent, FALSE);
    KeInitializeSpinLock(&endpoint->PutLock);
    return endpoint;
}

void VSERIAL_EndpointReference(PVSERIAL_TDI_ENDPOINT endpoint) {
    InterlockedIncrement(&endpoint->References);
}

void VSERIAL_EndpointDereference(PVSERIAL_TDI_ENDPOINT endpoint) {
    if (InterlockedDecrement(&endpoint->References) == 0)
        KeSetEvent(&endpoint->Idle, IO_NO_INCREMENT, FALSE);
}

void VSERIAL_EndpointFree(PVSERIAL_TDI_ENDPOINT endpoint) {
    if (!endpoint)
        return;
    UCHAR* block = reinterpret_cast<UCHAR*>(endpoint) - VSERIAL_ENDPOINT_HEADER;
    const ULONG size = *reinterpret_cast<ULONG*>(block);
    RtlFillMemory(block, size, VSERIAL_ENDPOINT_FILL);
    ExFreePoolWithTag(block, VSERIAL_TAG_ENDPOINT);
}

// ---- transport objects ----

// One extended attribute (name, its zero, then the value) in a zero-filled buffer.
static void VSERIAL_FillEa(UCHAR* buffer, ULONG bufferBytes, const char* name, UCHAR nameLength,
                           const void* value, USHORT valueBytes, USHORT declaredValueBytes) {
    RtlZeroMemory(buffer, bufferBytes);
    auto* ea = reinterpret_cast<PFILE_FULL_EA_INFORMATION>(buffer);
    ea->NextEntryOffset = 0;
    ea->Flags = 0;
    ea->EaNameLength = nameLength;
    ea->EaValueLength = declaredValueBytes;
    RtlCopyMemory(ea->EaName, name, nameLength);
    ea->EaName[nameLength] = 0;
    RtlCopyMemory(ea->EaName + nameLength + 1, value, valueBytes);
}

static NTSTATUS VSERIAL_OpenTransportObject(PVOID eaBuffer, ULONG eaBytes, PHANDLE handle,
                                            PFILE_OBJECT* fileObject) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, kTcpDevice);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    IO_STATUS_BLOCK iosb;
    HANDLE h = nullptr;
    NTSTATUS status = ZwCreateFile(&h, FILE_READ_EA | FILE_WRITE_EA, &attributes, &iosb, nullptr,
                                   FILE_ATTRIBUTE_NORMAL, 0, FILE_OPEN_IF, 0, eaBuffer, eaBytes);
    if (!NT_SUCCESS(status))
        return status;
    PVOID object = nullptr;
    status = ObReferenceObjectByHandle(h, GENERIC_READ | GENERIC_WRITE, nullptr, KernelMode,
                                       &object, nullptr);
    if (!NT_SUCCESS(status)) {
        ZwClose(h);
        return status;
    }
    *handle = h;
    *fileObject = static_cast<PFILE_OBJECT>(object);
    return STATUS_SUCCESS;
}

static void VSERIAL_ReleaseTransportObject(HANDLE handle, PFILE_OBJECT fileObject) {
    ObDereferenceObject(fileObject);
    ZwClose(handle);
}

NTSTATUS VSERIAL_TdiOpenAddress(PHANDLE handle, PFILE_OBJECT* fileObject) {
    ULONG buffer[VSERIAL_ADDRESS_EA_BYTES / sizeof(ULONG)];
    TA_IP_ADDRESS any;
    RtlZeroMemory(&any, sizeof(any));
    any.TAAddressCount = 1;
    any.Address[0].AddressLength = TDI_ADDRESS_LENGTH_IP;
    any.Address[0].AddressType = TDI_ADDRESS_TYPE_IP;
    VSERIAL_FillEa(reinterpret_cast<UCHAR*>(buffer), sizeof(buffer), kTransportAddress,
                   sizeof(kTransportAddress) - 1, &any, sizeof(any),
                   VSERIAL_ADDRESS_EA_VALUE_BYTES);
    return VSERIAL_OpenTransportObject(buffer, sizeof(buffer), handle, fileObject);
}

NTSTATUS VSERIAL_TdiOpenConnection(PHANDLE handle, PFILE_OBJECT* fileObject) {
    ULONG buffer[(VSERIAL_CONNECTION_EA_BYTES + sizeof(ULONG) - 1) / sizeof(ULONG)];
    CONNECTION_CONTEXT context = nullptr;
    VSERIAL_FillEa(reinterpret_cast<UCHAR*>(buffer), sizeof(buffer), kConnectionContext,
                   sizeof(kConnectionContext) - 1, &context, sizeof(context), sizeof(context));
    return VSERIAL_OpenTransportObject(buffer, VSERIAL_CONNECTION_EA_BYTES, handle, fileObject);
}

NTSTATUS VSERIAL_OpenEndpoint(PVSERIAL_TDI_ENDPOINT endpoint) {
    HANDLE address = nullptr;
    PFILE_OBJECT addressObject = nullptr;
    NTSTATUS status = VSERIAL_TdiOpenAddress(&address, &addressObject);
    if (!NT_SUCCESS(status))
        return status;
    HANDLE connection = nullptr;
    PFILE_OBJECT connectionObject = nullptr;
    status = VSERIAL_TdiOpenConnection(&connection, &connectionObject);
    if (!NT_SUCCESS(status)) {
        VSERIAL_ReleaseTransportObject(address, addressObject);
        return status;
    }
    status = VSERIAL_TdiAssociate(address, connectionObject);
    if (!NT_SUCCESS(status)) {
        VSERIAL_ReleaseTransportObject(connection, connectionObject);
        VSERIAL_ReleaseTransportObject(address, addressObject);
        return status;
    }
    endpoint->AddressHandle = address;
    endpoint->ConnectionHandle = connection;
    endpoint->AddressFileObject = addressObject;
    endpoint->ConnectionFileObject = connectionObject;
    return STATUS_SUCCESS;
}

void VSERIAL_CloseEndpoint(PVSERIAL_TDI_ENDPOINT endpoint) {
    VSERIAL_TdiDisassociate(endpoint->ConnectionFileObject);
    VSERIAL_ReleaseTransportObject(endpoint->ConnectionHandle, endpoint->ConnectionFileObject);
    VSERIAL_ReleaseTransportObject(endpoint->AddressHandle, endpoint->AddressFileObject);
    endpoint->AddressHandle = nullptr;
    endpoint->ConnectionHandle = nullptr;
    endpoint->AddressFileObject = nullptr;
    endpoint->ConnectionFileObject = nullptr;
}

// ---- transport requests ----

// One request: allocated here, given back by its completion routine (which only signals
// Finished), freed here. Whatever happens to the request, its issuer waits for Finished before
// it reads the result or frees anything, so a late completion never meets freed memory.
struct VSERIAL_TDI_CALL {
    KEVENT Finished;
    PDEVICE_OBJECT Device;
    PIRP Irp;
};

static NTSTATUS VSERIAL_TdiCallDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static bool VSERIAL_TdiBuild(VSERIAL_TDI_CALL* call, PFILE_OBJECT fileObject) {
    KeInitializeEvent(&call->Finished, NotificationEvent, FALSE);
    call->Device = IoGetRelatedDeviceObject(fileObject);
    call->Irp = IoAllocateIrp(call->Device->StackSize, FALSE);
    return call->Irp != nullptr;
}

static void VSERIAL_TdiRelease(VSERIAL_TDI_CALL* call) {
    if (call->Irp->MdlAddress) {
        IoFreeMdl(call->Irp->MdlAddress);  // built over non-paged memory: nothing to unlock
        call->Irp->MdlAddress = nullptr;
    }
    IoFreeIrp(call->Irp);
}

// Sends the built request and waits for its completion, at most `timeout` (null: no limit). A
// request that runs out of time is cancelled, and its completion still awaited.
static NTSTATUS VSERIAL_TdiIssue(VSERIAL_TDI_CALL* call, PLARGE_INTEGER timeout, bool* timedOut) {
    *timedOut = false;
    (void)IoCallDriver(call->Device, call->Irp);
    if (KeWaitForSingleObject(&call->Finished, Executive, KernelMode, FALSE, timeout) ==
        STATUS_TIMEOUT) {
        *timedOut = true;
        IoCancelIrp(call->Irp);
        KeWaitForSingleObject(&call->Finished, Executive, KernelMode, FALSE, nullptr);
    }
    return call->Irp->IoStatus.Status;
}

static NTSTATUS VSERIAL_TdiIssueOnce(VSERIAL_TDI_CALL* call, PLARGE_INTEGER timeout,
                                     bool* timedOut) {
    NTSTATUS status = VSERIAL_TdiIssue(call, timeout, timedOut);
    VSERIAL_TdiRelease(call);
    return status;
}

NTSTATUS VSERIAL_TdiAssociate(HANDLE addressHandle, PFILE_OBJECT connectionFileObject) {
    VSERIAL_TDI_CALL call;
    if (!VSERIAL_TdiBuild(&call, connectionFileObject))
        return STATUS_INSUFFICIENT_RESOURCES;
    TdiBuildAssociateAddress(call.Irp, call.Device, connectionFileObject, VSERIAL_TdiCallDone,
                             &call.Finished, addressHandle);
    bool timedOut;
    return VSERIAL_TdiIssueOnce(&call, nullptr, &timedOut);
}

NTSTATUS VSERIAL_TdiDisassociate(PFILE_OBJECT connectionFileObject) {
    VSERIAL_TDI_CALL call;
    if (!VSERIAL_TdiBuild(&call, connectionFileObject))
        return STATUS_INSUFFICIENT_RESOURCES;
    TdiBuildDisassociateAddress(call.Irp, call.Device, connectionFileObject, VSERIAL_TdiCallDone,
                                &call.Finished);
    bool timedOut;
    return VSERIAL_TdiIssueOnce(&call, nullptr, &timedOut);
}

NTSTATUS VSERIAL_TdiConnect(PVSERIAL_TDI_ENDPOINT endpoint, PKSPIN_LOCK slotLock, ULONG address,
                            USHORT port) {
    TA_IP_ADDRESS remote;
    RtlZeroMemory(&remote, sizeof(remote));
    remote.TAAddressCount = 1;
    remote.Address[0].AddressLength = TDI_ADDRESS_LENGTH_IP;
    remote.Address[0].AddressType = TDI_ADDRESS_TYPE_IP;
    remote.Address[0].Address[0].sin_port = port;
    remote.Address[0].Address[0].in_addr = address;
    TDI_CONNECTION_INFORMATION request;
    RtlZeroMemory(&request, sizeof(request));
    request.RemoteAddressLength = sizeof(remote);
    request.RemoteAddress = &remote;
    TDI_CONNECTION_INFORMATION returned;
    RtlZeroMemory(&returned, sizeof(returned));
    LARGE_INTEGER timeout;
    timeout.QuadPart = VSERIAL_CONNECT_TIMEOUT;

    DbgPrint("*(^^)* Connect TimeoutValue: %x\n", timeout.LowPart);
    PFILE_OBJECT connection = endpoint->ConnectionFileObject;
    VSERIAL_TDI_CALL call;
    if (!VSERIAL_TdiBuild(&call, connection))
        return STATUS_INSUFFICIENT_RESOURCES;
    TdiBuildConnect(call.Irp, call.Device, connection, VSERIAL_TdiCallDone, &call.Finished,
                    &timeout, &request, &returned);
    // Published before it is issued: from here a cleanup cancels it rather than waiting 70 s.
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(slotLock);
    const bool cancelled = endpoint->CancelConnect != 0;
    if (!cancelled)
        endpoint->ConnectIrp = call.Irp;
    KeReleaseSpinLock(slotLock, irql);
    if (cancelled) {
        VSERIAL_TdiRelease(&call);
        return STATUS_CANCELLED;
    }
    bool timedOut;
    NTSTATUS status = VSERIAL_TdiIssue(&call, &timeout, &timedOut);
    irql = KeAcquireSpinLockRaiseToDpc(slotLock);
    endpoint->ConnectIrp = nullptr;
    KeReleaseSpinLock(slotLock, irql);
    VSERIAL_TdiRelease(&call);
    return timedOut ? STATUS_UNSUCCESSFUL : status;
}

NTSTATUS VSERIAL_TdiDisconnectWithin(PFILE_OBJECT connectionFileObject, LONGLONG limit,
                                     BOOLEAN abortive) {
    TDI_CONNECTION_INFORMATION returned;
    RtlZeroMemory(&returned, sizeof(returned));
    LARGE_INTEGER timeout;
    timeout.QuadPart = limit;
    VSERIAL_TDI_CALL call;
    if (!VSERIAL_TdiBuild(&call, connectionFileObject))
        return STATUS_INSUFFICIENT_RESOURCES;
    TdiBuildDisconnect(
        call.Irp, call.Device, connectionFileObject, VSERIAL_TdiCallDone, &call.Finished, &timeout,
        abortive ? TDI_DISCONNECT_ABORT : TDI_DISCONNECT_RELEASE, nullptr, &returned);
    bool timedOut;
    return VSERIAL_TdiIssueOnce(&call, &timeout, &timedOut);
}

NTSTATUS VSERIAL_TdiDisconnect(PFILE_OBJECT connectionFileObject) {
    return VSERIAL_TdiDisconnectWithin(connectionFileObject, VSERIAL_TRANSFER_TIMEOUT, FALSE);
}

NTSTATUS VSERIAL_TdiSend(PFILE_OBJECT connectionFileObject, PVOID buffer, ULONG length,
                         PULONG bytesSent) {
    *bytesSent = 0;
    PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
    if (!mdl)
        return STATUS_INSUFFICIENT_RESOURCES;
    // The request's system buffer is non-paged pool: described, never probed.
    MmBuildMdlForNonPagedPool(mdl);
    VSERIAL_TDI_CALL call;
    if (!VSERIAL_TdiBuild(&call, connectionFileObject)) {
        IoFreeMdl(mdl);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    TdiBuildSend(call.Irp, call.Device, connectionFileObject, VSERIAL_TdiCallDone, &call.Finished,
                 mdl, 0, length);
    LARGE_INTEGER timeout;
    timeout.QuadPart = VSERIAL_TRANSFER_TIMEOUT;
    bool timedOut;
    NTSTATUS status = VSERIAL_TdiIssue(&call, &timeout, &timedOut);
    if (NT_SUCCESS(status) || timedOut)
        *bytesSent = static_cast<ULONG>(call.Irp->IoStatus.Information);
    VSERIAL_TdiRelease(&call);
    if (!timedOut)
        return status;
    VSERIAL_TdiDisconnect(connectionFileObject);
    return STATUS_TIMEOUT;
}

NTSTATUS VSERIAL_TdiSetEventHandler(PFILE_OBJECT addressFileObject, LONG eventType, PVOID handler,
                                    PVOID context) {
    VSERIAL_TDI_CALL call;
    if (!VSERIAL_TdiBuild(&call, addressFileObject))
        return STATUS_INSUFFICIENT_RESOURCES;
    TdiBuildSetEventHandler(call.Irp, call.Device, addressFileObject, VSERIAL_TdiCallDone,
                            &call.Finished, eventType, handler, context);
    bool timedOut;
    return VSERIAL_TdiIssueOnce(&call, nullptr, &timedOut);
}

void VSERIAL_TdiFetchHeld(PVSERIAL_TDI_ENDPOINT endpoint) {
    for (;;) {
        UCHAR* start = nullptr;
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&endpoint->PutLock);
        const ULONG span = endpoint->Held && !endpoint->Fetching
                               ? VSERIAL_RingFreeSpan(endpoint->Ring, &start)
                               : 0;
        if (span) {
            // Until the fetch completes the handler leaves bytes with the transport: the
            // request is writing where the handler would put.
            endpoint->Fetching = 1;
            VSERIAL_StoreRelease(&endpoint->Held, 0);
        }
        KeReleaseSpinLock(&endpoint->PutLock, irql);
        if (!span)
            return;

        ULONG received = 0;
        NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
        VSERIAL_TDI_CALL call;
        PMDL mdl = IoAllocateMdl(start, span, FALSE, FALSE, nullptr);
        if (mdl && VSERIAL_TdiBuild(&call, endpoint->ConnectionFileObject)) {
            MmBuildMdlForNonPagedPool(mdl);
            TdiBuildReceive(call.Irp, call.Device, endpoint->ConnectionFileObject,
                            VSERIAL_TdiCallDone, &call.Finished, mdl, TDI_RECEIVE_NORMAL, span);
            mdl = nullptr;  // the request carries it now
            // A fetch takes only what the transport holds now: one that would wait for new
            // bytes (the transport handed them to the handler meanwhile, or a full span left
            // nothing behind) is cancelled at once rather than keeping this thread from reads.
            LARGE_INTEGER now;
            now.QuadPart = 0;
            bool timedOut;
            status = VSERIAL_TdiIssue(&call, &now, &timedOut);
            if (NT_SUCCESS(status))
                received = static_cast<ULONG>(call.Irp->IoStatus.Information);
            VSERIAL_TdiRelease(&call);
        }
        if (mdl)
            IoFreeMdl(mdl);

        irql = KeAcquireSpinLockRaiseToDpc(&endpoint->PutLock);
        if (received)
            VSERIAL_RingCommit(endpoint->Ring, received > span ? span : received);
        // A full span may have left more behind; a fetch that was cancelled (the transport was
        // busy offering the bytes, or held none) or never issued leaves them where they were.
        const bool unknown = received == 0 && (status == STATUS_CANCELLED ||
                                               status == STATUS_INSUFFICIENT_RESOURCES);
        if ((NT_SUCCESS(status) && received >= span) || unknown)
            VSERIAL_StoreRelease(&endpoint->Held, 1);
        endpoint->Fetching = 0;
        KeReleaseSpinLock(&endpoint->PutLock, irql);
        if (!NT_SUCCESS(status) || received < span)
            return;
    }
}

void VSERIAL_WantRoom(PVSERIAL_EXTENSION device) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&device->DeviceLock);
    device->RoomWanted = 1;
    KeReleaseSpinLock(&device->DeviceLock, irql);
}

// ---- event handlers, DISPATCH_LEVEL on the transport's thread ----

NTSTATUS VSERIAL_ClientEventReceive(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
                                    ULONG ReceiveFlags, ULONG BytesIndicated, ULONG BytesAvailable,
                                    ULONG* BytesTaken, PVOID Tsdu, PIRP* IoRequestPacket) {
    UNREFERENCED_PARAMETER(ConnectionContext);
    UNREFERENCED_PARAMETER(ReceiveFlags);
    auto* endpoint = static_cast<PVSERIAL_TDI_ENDPOINT>(TdiEventContext);
    ULONG taken = 0;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&endpoint->PutLock);
    // While a fetch writes into the ring nothing is put; the bytes wait for the next fetch.
    if (!endpoint->Fetching)
        taken = VSERIAL_RingPut(endpoint->Ring, Tsdu, BytesIndicated);
    // What did not fit stays with the transport, which offers it again only when more bytes
    // arrive: a read that makes room fetches it.
    const bool held = taken < BytesIndicated || taken < BytesAvailable;
    // Everything taken means the transport holds nothing any more.
    const bool newlyHeld = held && !endpoint->Held;
    VSERIAL_StoreRelease(&endpoint->Held, held ? 1 : 0);
    KeReleaseSpinLock(&endpoint->PutLock, irql);
    PVSERIAL_EXTENSION device = endpoint->Device;
    // The read that drains the ring far enough fetches them (the read thread does so for a read
    // that waits): nobody needs waking for held bytes.
    if (newlyHeld)
        VSERIAL_WantRoom(device);
    // A waiting read completes here as its bytes arrive, not at the read thread's next poll.
    if (taken && __atomic_load_n(&device->PendingReadIrp, __ATOMIC_ACQUIRE))
        VSERIAL_CompleteReadWithBytes(device);
    *BytesTaken = taken;
    *IoRequestPacket = nullptr;
    return STATUS_SUCCESS;
}

NTSTATUS VSERIAL_ClientEventDisconnect(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
                                       LONG DisconnectDataLength, PVOID DisconnectData,
                                       LONG DisconnectInformationLength,
                                       PVOID DisconnectInformation, ULONG DisconnectFlags) {
    UNREFERENCED_PARAMETER(ConnectionContext);
    UNREFERENCED_PARAMETER(DisconnectDataLength);
    UNREFERENCED_PARAMETER(DisconnectData);
    UNREFERENCED_PARAMETER(DisconnectInformationLength);
    UNREFERENCED_PARAMETER(DisconnectInformation);
    UNREFERENCED_PARAMETER(DisconnectFlags);
    auto* endpoint = static_cast<PVSERIAL_TDI_ENDPOINT>(TdiEventContext);
    // The event is the last thing touched: a cleanup waiting for it releases the record at once.
    VSERIAL_StoreRelease(&endpoint->State, VSERIAL_ENDPOINT_NOT_CONNECTED);
    KeSetEvent(&endpoint->Disconnected, IO_NO_INCREMENT, FALSE);
    return STATUS_SUCCESS;
}
