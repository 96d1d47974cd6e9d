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
#define VSERIAL_CONNECT_TIMEOUT (-700000000LL)    // 70 s
#define VSERIAL_TRANSFER_TIMEOUT (-1000000000LL)  // 100 s: send and disconnect
#define VSERIAL_ADDRESS_EA_BYTES 328
#define VSERIAL_ADDRESS_EA_VALUE_BYTES 42
#define VSERIAL_CONNECTION_EA_BYTES 38

static const WCHAR kTcpDevice[] = TEXT("\\Device\\Tcp");
static const char kTransportAddress[] = "TransportAddress";
static const char kConnectionContext[] = "ConnectionContext";

PVSERIAL_TDI_ENDPOINT VSERIAL_EndpointAllocate() {
    const ULONG size = VSERIAL_ENDPOINT_HEADER + sizeof(VSERIAL_TDI_ENDPOINT);
    auto* block =
        static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, size, VSERIAL_TAG_ENDPOINT));
    if (!block)
        return nullptr;
    RtlZeroMemory(block, size);
    *reinterpret_cast<ULONG*>(block) = size;
    return reinterpret_cast<PVSERIAL_TDI_ENDPOINT>(block + VSERIAL_ENDPOINT_HEADER);
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

// One request on the caller's stack: the I/O manager signals Finished and fills Iosb when the
// request is gone, so the caller waits for that before its frame goes away.
struct VSERIAL_TDI_CALL {
    KEVENT Finished;
    IO_STATUS_BLOCK Iosb;
    PDEVICE_OBJECT Device;
    PIRP Irp;
};

static bool VSERIAL_TdiBuild(VSERIAL_TDI_CALL* call, PFILE_OBJECT fileObject) {
    KeInitializeEvent(&call->Finished, NotificationEvent, FALSE);
    call->Iosb.Status = STATUS_UNSUCCESSFUL;
    call->Iosb.Information = 0;
    call->Device = IoGetRelatedDeviceObject(fileObject);
    call->Irp = IoBuildDeviceIoControlRequest(VSERIAL_TDI_CONTROL_CODE, call->Device, nullptr, 0,
                                              nullptr, 0, TRUE, &call->Finished, &call->Iosb);
    return call->Irp != nullptr;
}

// Sends the built request and waits for it, at most `timeout` (null: no limit). A request that
// runs out of time is cancelled and its completion awaited; *timedOut tells the caller.
static NTSTATUS VSERIAL_TdiIssue(VSERIAL_TDI_CALL* call, PLARGE_INTEGER timeout, bool* timedOut) {
    *timedOut = false;
    NTSTATUS status = IoCallDriver(call->Device, call->Irp);
    if (status != STATUS_PENDING)
        return status;
    if (KeWaitForSingleObject(&call->Finished, Executive, KernelMode, FALSE, timeout) ==
        STATUS_TIMEOUT) {
        *timedOut = true;
        IoCancelIrp(call->Irp);
        KeWaitForSingleObject(&call->Finished, Executive, KernelMode, FALSE, nullptr);
    }
    return call->Iosb.Status;
}

NTSTATUS VSERIAL_TdiAssociate(HANDLE addressHandle, PFILE_OBJECT connectionFileObject) {
    VSERIAL_TDI_CALL call;
    if (!VSERIAL_TdiBuild(&call, connectionFileObject))
        return STATUS_INSUFFICIENT_RESOURCES;
    TdiBuildAssociateAddress(call.Irp, call.Device, connectionFileObject, nullptr, nullptr,
                             addressHandle);
    bool timedOut;
    return VSERIAL_TdiIssue(&call, nullptr, &timedOut);
}

NTSTATUS VSERIAL_TdiDisassociate(PFILE_OBJECT connectionFileObject) {
    VSERIAL_TDI_CALL call;
    if (!VSERIAL_TdiBuild(&call, connectionFileObject))
        return STATUS_INSUFFICIENT_RESOURCES;
    TdiBuildDisassociateAddress(call.Irp, call.Device, connectionFileObject, nullptr, nullptr);
    bool timedOut;
    return VSERIAL_TdiIssue(&call, nullptr, &timedOut);
}

NTSTATUS VSERIAL_TdiConnect(PFILE_OBJECT connectionFileObject, ULONG address, USHORT port) {
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
    VSERIAL_TDI_CALL call;
    if (!VSERIAL_TdiBuild(&call, connectionFileObject))
        return STATUS_INSUFFICIENT_RESOURCES;
    TdiBuildConnect(call.Irp, call.Device, connectionFileObject, nullptr, nullptr, &timeout,
                    &request, &returned);
    bool timedOut;
    NTSTATUS status = VSERIAL_TdiIssue(&call, &timeout, &timedOut);
    return timedOut ? STATUS_UNSUCCESSFUL : status;
}

NTSTATUS VSERIAL_TdiDisconnect(PFILE_OBJECT connectionFileObject) {
    TDI_CONNECTION_INFORMATION returned;
    RtlZeroMemory(&returned, sizeof(returned));
    LARGE_INTEGER timeout;
    timeout.QuadPart = VSERIAL_TRANSFER_TIMEOUT;
    VSERIAL_TDI_CALL call;
    if (!VSERIAL_TdiBuild(&call, connectionFileObject))
        return STATUS_INSUFFICIENT_RESOURCES;
    TdiBuildDisconnect(call.Irp, call.Device, connectionFileObject, nullptr, nullptr, &timeout,
                       TDI_DISCONNECT_RELEASE, nullptr, &returned);
    bool timedOut;
    return VSERIAL_TdiIssue(&call, &timeout, &timedOut);
}

NTSTATUS VSERIAL_TdiSend(PFILE_OBJECT connectionFileObject, PVOID buffer, ULONG length,
                         PULONG bytesSent) {
    *bytesSent = 0;
    PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
    if (!mdl)
        return STATUS_INSUFFICIENT_RESOURCES;
    // The buffer is the request's system buffer, resident; the probe cannot fail on it.
    MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
    VSERIAL_TDI_CALL call;
    if (!VSERIAL_TdiBuild(&call, connectionFileObject)) {
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // From here the request carries the descriptor; the I/O manager releases it with the request.
    TdiBuildSend(call.Irp, call.Device, connectionFileObject, nullptr, nullptr, mdl, 0, length);
    LARGE_INTEGER timeout;
    timeout.QuadPart = VSERIAL_TRANSFER_TIMEOUT;
    bool timedOut;
    NTSTATUS status = VSERIAL_TdiIssue(&call, &timeout, &timedOut);
    if (!timedOut) {
        if (NT_SUCCESS(status))
            *bytesSent = static_cast<ULONG>(call.Iosb.Information);
        return status;
    }
    *bytesSent = static_cast<ULONG>(call.Iosb.Information);
    VSERIAL_TdiDisconnect(connectionFileObject);
    return STATUS_TIMEOUT;
}

NTSTATUS VSERIAL_TdiSetEventHandler(PFILE_OBJECT addressFileObject, LONG eventType, PVOID handler,
                                    PVOID context) {
    VSERIAL_TDI_CALL call;
    if (!VSERIAL_TdiBuild(&call, addressFileObject))
        return STATUS_INSUFFICIENT_RESOURCES;
    TdiBuildSetEventHandler(call.Irp, call.Device, addressFileObject, nullptr, nullptr, eventType,
                            handler, context);
    bool timedOut;
    return VSERIAL_TdiIssue(&call, nullptr, &timedOut);
}

// ---- event handlers, DISPATCH_LEVEL on the transport's thread ----

NTSTATUS VSERIAL_ClientEventReceive(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
                                    ULONG ReceiveFlags, ULONG BytesIndicated, ULONG BytesAvailable,
                                    ULONG* BytesTaken, PVOID Tsdu, PIRP* IoRequestPacket) {
    UNREFERENCED_PARAMETER(ConnectionContext);
    UNREFERENCED_PARAMETER(ReceiveFlags);
    UNREFERENCED_PARAMETER(BytesAvailable);
    auto* endpoint = static_cast<PVSERIAL_TDI_ENDPOINT>(TdiEventContext);
    // What does not fit stays with the transport, which offers it again later.
    *BytesTaken = VSERIAL_RingPut(endpoint->Ring, Tsdu, BytesIndicated);
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
