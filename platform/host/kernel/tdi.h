// TDI, the kernel's transport interface, as the host kernel's "\Device\Tcp" speaks it: addresses,
// extended attributes, request parameters, event handlers and the TdiBuild helpers.
// Values and layouts are Windows'.
#pragma once

#include "platform/host/kernel/wdm.h"

#define TDI_ASSOCIATE_ADDRESS 0x01
#define TDI_DISASSOCIATE_ADDRESS 0x02
#define TDI_CONNECT 0x03
#define TDI_LISTEN 0x04
#define TDI_ACCEPT 0x05
#define TDI_DISCONNECT 0x06
#define TDI_SEND 0x07
#define TDI_RECEIVE 0x08
#define TDI_SEND_DATAGRAM 0x09
#define TDI_RECEIVE_DATAGRAM 0x0A
#define TDI_SET_EVENT_HANDLER 0x0B
#define TDI_QUERY_INFORMATION 0x0C
#define TDI_SET_INFORMATION 0x0D
#define TDI_ACTION 0x0E

#define TDI_EVENT_CONNECT 0
#define TDI_EVENT_DISCONNECT 1
#define TDI_EVENT_ERROR 2
#define TDI_EVENT_RECEIVE 3
#define TDI_EVENT_RECEIVE_DATAGRAM 4
#define TDI_EVENT_RECEIVE_EXPEDITED 5
#define TDI_EVENT_SEND_POSSIBLE 6

#define TDI_DISCONNECT_WAIT 0x0001
#define TDI_DISCONNECT_ABORT 0x0002
#define TDI_DISCONNECT_RELEASE 0x0004

#define TDI_RECEIVE_NORMAL 0x00000020
#define TDI_RECEIVE_ENTIRE_MESSAGE 0x00000080

#define TDI_ADDRESS_TYPE_IP 2
#define TDI_ADDRESS_LENGTH_IP 14

#define TdiTransportAddress "TransportAddress"
#define TdiConnectionContext "ConnectionContext"
#define TDI_TRANSPORT_ADDRESS_LENGTH (sizeof(TdiTransportAddress) - 1)
#define TDI_CONNECTION_CONTEXT_LENGTH (sizeof(TdiConnectionContext) - 1)

#define FILE_READ_EA 0x0008
#define FILE_WRITE_EA 0x0010
#define FILE_SUPERSEDE 0x00000000
#define FILE_OPEN 0x00000001
#define FILE_CREATE 0x00000002
#define FILE_OPEN_IF 0x00000003
#define FILE_ATTRIBUTE_NORMAL 0x00000080

using CONNECTION_CONTEXT = PVOID;

#pragma pack(push, 1)
struct TDI_ADDRESS_IP {
    USHORT sin_port;  // network byte order
    ULONG in_addr;    // network byte order
    UCHAR sin_zero[8];
};

struct TA_ADDRESS {
    USHORT AddressLength;
    USHORT AddressType;
    UCHAR Address[1];
};

struct TRANSPORT_ADDRESS {
    LONG TAAddressCount;
    TA_ADDRESS Address[1];
};
using PTRANSPORT_ADDRESS = TRANSPORT_ADDRESS*;

struct TA_IP_ADDRESS {
    LONG TAAddressCount;
    struct AddrIp {
        USHORT AddressLength;
        USHORT AddressType;
        TDI_ADDRESS_IP Address[1];
    } Address[1];
};
using PTA_IP_ADDRESS = TA_IP_ADDRESS*;
#pragma pack(pop)

static_assert(sizeof(TDI_ADDRESS_IP) == 14);
static_assert(sizeof(TA_IP_ADDRESS) == 22);

struct FILE_FULL_EA_INFORMATION {
    ULONG NextEntryOffset;
    UCHAR Flags;
    UCHAR EaNameLength;
    USHORT EaValueLength;
    CHAR EaName[1];  // name, its terminating zero, then the value
};
using PFILE_FULL_EA_INFORMATION = FILE_FULL_EA_INFORMATION*;

struct TDI_CONNECTION_INFORMATION {
    LONG UserDataLength;
    PVOID UserData;
    LONG OptionsLength;
    PVOID Options;
    LONG RemoteAddressLength;
    PVOID RemoteAddress;
};
using PTDI_CONNECTION_INFORMATION = TDI_CONNECTION_INFORMATION*;

// Request parameters, laid over IO_STACK_LOCATION::Parameters.
struct TDI_REQUEST_KERNEL {
    ULONG_PTR RequestFlags;
    PTDI_CONNECTION_INFORMATION RequestConnectionInformation;
    PTDI_CONNECTION_INFORMATION ReturnConnectionInformation;
    PVOID RequestSpecific;  // connect and disconnect: PLARGE_INTEGER time-out
};
using PTDI_REQUEST_KERNEL = TDI_REQUEST_KERNEL*;
using TDI_REQUEST_KERNEL_CONNECT = TDI_REQUEST_KERNEL;
using PTDI_REQUEST_KERNEL_CONNECT = TDI_REQUEST_KERNEL*;
using TDI_REQUEST_KERNEL_DISCONNECT = TDI_REQUEST_KERNEL;
using PTDI_REQUEST_KERNEL_DISCONNECT = TDI_REQUEST_KERNEL*;

struct TDI_REQUEST_KERNEL_ASSOCIATE {
    HANDLE AddressHandle;
};
using PTDI_REQUEST_KERNEL_ASSOCIATE = TDI_REQUEST_KERNEL_ASSOCIATE*;

struct TDI_REQUEST_KERNEL_SEND {
    ULONG SendLength;
    ULONG SendFlags;
};
using PTDI_REQUEST_KERNEL_SEND = TDI_REQUEST_KERNEL_SEND*;

struct TDI_REQUEST_KERNEL_SET_EVENT {
    LONG EventType;
    PVOID EventHandler;
    PVOID EventContext;
};
using PTDI_REQUEST_KERNEL_SET_EVENT = TDI_REQUEST_KERNEL_SET_EVENT*;

using PTDI_IND_RECEIVE = NTSTATUS (*)(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
                                      ULONG ReceiveFlags, ULONG BytesIndicated,
                                      ULONG BytesAvailable, ULONG* BytesTaken, PVOID Tsdu,
                                      PIRP* IoRequestPacket);
using PTDI_IND_DISCONNECT = NTSTATUS (*)(PVOID TdiEventContext,
                                         CONNECTION_CONTEXT ConnectionContext,
                                         LONG DisconnectDataLength, PVOID DisconnectData,
                                         LONG DisconnectInformationLength,
                                         PVOID DisconnectInformation, ULONG DisconnectFlags);

NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                      POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                      PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                      ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength);

// ---- TdiBuild helpers: fill the next stack location of a request for a transport object ----

inline PIRP TdiBuildInternalDeviceControlIrp(UCHAR, PDEVICE_OBJECT DeviceObject, PFILE_OBJECT,
                                             PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    return IoBuildDeviceIoControlRequest(0x00000003, DeviceObject, nullptr, 0, nullptr, 0, TRUE,
                                         Event, IoStatusBlock);
}

inline PIO_STACK_LOCATION TdiBuildBase_(PIRP Irp, PDEVICE_OBJECT DeviceObject,
                                        PFILE_OBJECT FileObject, PIO_COMPLETION_ROUTINE Routine,
                                        PVOID Context, UCHAR Minor) {
    PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(Irp);
    s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    s->MinorFunction = Minor;
    s->DeviceObject = DeviceObject;
    s->FileObject = FileObject;
    if (Routine) {
        IoSetCompletionRoutine(Irp, Routine, Context, TRUE, TRUE, TRUE);
    } else {
        s->CompletionRoutine = nullptr;
        s->Context = nullptr;
        s->Control = 0;
    }
    return s;
}

inline void TdiBuildAssociateAddress(PIRP Irp, PDEVICE_OBJECT DevObj, PFILE_OBJECT FileObj,
                                     PIO_COMPLETION_ROUTINE CompRoutine, PVOID Contxt,
                                     HANDLE AddrHandle) {
    auto* p = reinterpret_cast<PTDI_REQUEST_KERNEL_ASSOCIATE>(
        &TdiBuildBase_(Irp, DevObj, FileObj, CompRoutine, Contxt, TDI_ASSOCIATE_ADDRESS)
             ->Parameters);
    p->AddressHandle = AddrHandle;
}

inline void TdiBuildDisassociateAddress(PIRP Irp, PDEVICE_OBJECT DevObj, PFILE_OBJECT FileObj,
                                        PIO_COMPLETION_ROUTINE CompRoutine, PVOID Contxt) {
    TdiBuildBase_(Irp, DevObj, FileObj, CompRoutine, Contxt, TDI_DISASSOCIATE_ADDRESS);
}

inline void TdiBuildConnect(PIRP Irp, PDEVICE_OBJECT DevObj, PFILE_OBJECT FileObj,
                            PIO_COMPLETION_ROUTINE CompRoutine, PVOID Contxt, PLARGE_INTEGER Time,
                            PTDI_CONNECTION_INFORMATION RequestConnectionInfo,
                            PTDI_CONNECTION_INFORMATION ReturnConnectionInfo) {
    auto* p = reinterpret_cast<PTDI_REQUEST_KERNEL>(
        &TdiBuildBase_(Irp, DevObj, FileObj, CompRoutine, Contxt, TDI_CONNECT)->Parameters);
    p->RequestConnectionInformation = RequestConnectionInfo;
    p->ReturnConnectionInformation = ReturnConnectionInfo;
    p->RequestSpecific = Time;
}

inline void TdiBuildDisconnect(PIRP Irp, PDEVICE_OBJECT DevObj, PFILE_OBJECT FileObj,
                               PIO_COMPLETION_ROUTINE CompRoutine, PVOID Contxt,
                               PLARGE_INTEGER Time, ULONG Flags,
                               PTDI_CONNECTION_INFORMATION RequestConnectionInfo,
                               PTDI_CONNECTION_INFORMATION ReturnConnectionInfo) {
    auto* p = reinterpret_cast<PTDI_REQUEST_KERNEL>(
        &TdiBuildBase_(Irp, DevObj, FileObj, CompRoutine, Contxt, TDI_DISCONNECT)->Parameters);
    p->RequestFlags = Flags;
    p->RequestConnectionInformation = RequestConnectionInfo;
    p->ReturnConnectionInformation = ReturnConnectionInfo;
    p->RequestSpecific = Time;
}

inline void TdiBuildSend(PIRP Irp, PDEVICE_OBJECT DevObj, PFILE_OBJECT FileObj,
                         PIO_COMPLETION_ROUTINE CompRoutine, PVOID Contxt, PMDL MdlAddr,
                         ULONG InFlags, ULONG SendLen) {
    auto* p = reinterpret_cast<PTDI_REQUEST_KERNEL_SEND>(
        &TdiBuildBase_(Irp, DevObj, FileObj, CompRoutine, Contxt, TDI_SEND)->Parameters);
    Irp->MdlAddress = MdlAddr;
    p->SendFlags = InFlags;
    p->SendLength = SendLen;
}

struct TDI_REQUEST_KERNEL_RECEIVE {
    ULONG ReceiveLength;
    ULONG ReceiveFlags;
};
using PTDI_REQUEST_KERNEL_RECEIVE = TDI_REQUEST_KERNEL_RECEIVE*;

inline void TdiBuildReceive(PIRP Irp, PDEVICE_OBJECT DevObj, PFILE_OBJECT FileObj,
                            PIO_COMPLETION_ROUTINE CompRoutine, PVOID Contxt, PMDL MdlAddr,
                            ULONG InFlags, ULONG ReceiveLen) {
    auto* p = reinterpret_cast<PTDI_REQUEST_KERNEL_RECEIVE>(
        &TdiBuildBase_(Irp, DevObj, FileObj, CompRoutine, Contxt, TDI_RECEIVE)->Parameters);
    Irp->MdlAddress = MdlAddr;
    p->ReceiveLength = ReceiveLen;
    p->ReceiveFlags = InFlags;
}

inline void TdiBuildSetEventHandler(PIRP Irp, PDEVICE_OBJECT DevObj, PFILE_OBJECT FileObj,
                                    PIO_COMPLETION_ROUTINE CompRoutine, PVOID Contxt,
                                    LONG InEventType, PVOID InEventHandler, PVOID InEventContext) {
    auto* p = reinterpret_cast<PTDI_REQUEST_KERNEL_SET_EVENT>(
        &TdiBuildBase_(Irp, DevObj, FileObj, CompRoutine, Contxt, TDI_SET_EVENT_HANDLER)
             ->Parameters);
    p->EventType = InEventType;
    p->EventHandler = InEventHandler;
    p->EventContext = InEventContext;
}
