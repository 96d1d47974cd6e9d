// Tarnel driver: a handle's TCP endpoint on the kernel's "\Device\Tcp" transport (address and
// connection objects), the transport requests made on it and the two event handlers.
#pragma once

#include "driver/vserial.h"

// One per handle with a connection, kept in the file object's FsContext. Made and released only
// by the handle's open, write and cleanup (PASSIVE_LEVEL, one at a time per handle). The
// transport's handlers (DISPATCH_LEVEL, its own thread) touch only State, Ring and Disconnected.
struct VSERIAL_TDI_ENDPOINT {
    HANDLE AddressHandle;
    HANDLE ConnectionHandle;
    PFILE_OBJECT AddressFileObject;     // referenced
    PFILE_OBJECT ConnectionFileObject;  // referenced; every connection request goes to it
    ULONG State;                        // VSERIAL_ENDPOINT_CONNECTED or _NOT_CONNECTED
    VSERIAL_RING* Ring;                 // the device's ring; the receive handler puts into it
    KEVENT Disconnected;                // notification; signalled when the printer disconnects
};
using PVSERIAL_TDI_ENDPOINT = VSERIAL_TDI_ENDPOINT*;

#define VSERIAL_ENDPOINT_NOT_CONNECTED 0
#define VSERIAL_ENDPOINT_CONNECTED 2

// Non-paged, tag "TdiE", zero-filled, behind a size word; released blocks are filled with 0xDA.
PVSERIAL_TDI_ENDPOINT VSERIAL_EndpointAllocate();
void VSERIAL_EndpointFree(PVSERIAL_TDI_ENDPOINT Endpoint);

// Address object on any local port, connection object, and the two associated.
NTSTATUS VSERIAL_OpenEndpoint(PVSERIAL_TDI_ENDPOINT Endpoint);
// Disassociates and releases both objects; the four fields are emptied.
void VSERIAL_CloseEndpoint(PVSERIAL_TDI_ENDPOINT Endpoint);

NTSTATUS VSERIAL_TdiOpenAddress(PHANDLE Handle, PFILE_OBJECT* FileObject);
NTSTATUS VSERIAL_TdiOpenConnection(PHANDLE Handle, PFILE_OBJECT* FileObject);
NTSTATUS VSERIAL_TdiAssociate(HANDLE AddressHandle, PFILE_OBJECT ConnectionFileObject);
NTSTATUS VSERIAL_TdiDisassociate(PFILE_OBJECT ConnectionFileObject);
// Address and port in network byte order. Up to 70 s; STATUS_UNSUCCESSFUL when that runs out.
NTSTATUS VSERIAL_TdiConnect(PFILE_OBJECT ConnectionFileObject, ULONG Address, USHORT Port);
// Graceful close (TDI_DISCONNECT_RELEASE), up to 100 s.
NTSTATUS VSERIAL_TdiDisconnect(PFILE_OBJECT ConnectionFileObject);
// One send of the whole buffer, up to 100 s; STATUS_TIMEOUT (and a disconnect) when that runs
// out. BytesSent is what the transport reports as sent.
NTSTATUS VSERIAL_TdiSend(PFILE_OBJECT ConnectionFileObject, PVOID Buffer, ULONG Length,
                         PULONG BytesSent);
NTSTATUS VSERIAL_TdiSetEventHandler(PFILE_OBJECT AddressFileObject, LONG EventType, PVOID Handler,
                                    PVOID Context);

// TDI_EVENT_RECEIVE: puts what fits into the ring and reports that as taken.
NTSTATUS VSERIAL_ClientEventReceive(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
                                    ULONG ReceiveFlags, ULONG BytesIndicated, ULONG BytesAvailable,
                                    ULONG* BytesTaken, PVOID Tsdu, PIRP* IoRequestPacket);
// TDI_EVENT_DISCONNECT: marks the endpoint not connected, then signals Disconnected.
NTSTATUS VSERIAL_ClientEventDisconnect(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
                                       LONG DisconnectDataLength, PVOID DisconnectData,
                                       LONG DisconnectInformationLength,
                                       PVOID DisconnectInformation, ULONG DisconnectFlags);
