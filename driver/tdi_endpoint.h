// Tarnel driver: a handle's TCP endpoint on the kernel's "\Device\Tcp" transport (address and
// connection objects), the transport requests made on it and the two event handlers.
#pragma once

#include "driver/vserial.h"

// One per handle with a connection, kept in the file object's FsContext and in the device's
// connection slot (see connection.h), which decides who may use it and who tears it down.
// Users hold a reference while they issue requests on it; the record is released only after
// the last reference is gone (Idle signalled). The transport's handlers (DISPATCH_LEVEL, its own
// thread) touch only State, Ring, the put lock's fields and Disconnected, and wake Device's read
// thread.
struct VSERIAL_TDI_ENDPOINT {
    HANDLE AddressHandle;
    HANDLE ConnectionHandle;
    PFILE_OBJECT AddressFileObject;     // referenced
    PFILE_OBJECT ConnectionFileObject;  // referenced; every connection request goes to it
    ULONG State;                        // VSERIAL_ENDPOINT_CONNECTED or _NOT_CONNECTED
    VSERIAL_RING* Ring;                 // the device's ring; the receive handler puts into it
    PVSERIAL_EXTENSION Device;          // outlives the record
    KEVENT Disconnected;                // notification; signalled when the printer disconnects
    LONG References;                    // the slot's own, plus one per user
    KEVENT Idle;                        // notification; signalled when References reaches 0
    PIRP ConnectIrp;                    // the connect in flight (slot lock): cleanup cancels it
    ULONG CancelConnect;                // cleanup came before the connect was issued (slot lock)
    // Puts into the ring come from the receive handler and from a fetch's completion; this lock
    // makes them one writer. Held is set when the transport kept bytes the ring had no room for.
    KSPIN_LOCK PutLock;
    ULONG Held;
    ULONG Fetching;  // a fetch (TDI_RECEIVE) is in flight
};
using PVSERIAL_TDI_ENDPOINT = VSERIAL_TDI_ENDPOINT*;

#define VSERIAL_ENDPOINT_NOT_CONNECTED 0
#define VSERIAL_ENDPOINT_CONNECTED 2

// Non-paged, tag "TdiE", zero-filled, behind a size word; released blocks are filled with 0xDA.
// A fresh record holds one reference (the slot's), its events and lock initialised.
PVSERIAL_TDI_ENDPOINT VSERIAL_EndpointAllocate();
void VSERIAL_EndpointFree(PVSERIAL_TDI_ENDPOINT Endpoint);
void VSERIAL_EndpointReference(PVSERIAL_TDI_ENDPOINT Endpoint);
// Drops one reference; the last one signals Idle. The record stays until its owner frees it.
void VSERIAL_EndpointDereference(PVSERIAL_TDI_ENDPOINT Endpoint);

// Address object on any local port, connection object, and the two associated.
NTSTATUS VSERIAL_OpenEndpoint(PVSERIAL_TDI_ENDPOINT Endpoint);
// Disassociates and releases both objects; the four fields are emptied.
void VSERIAL_CloseEndpoint(PVSERIAL_TDI_ENDPOINT Endpoint);

NTSTATUS VSERIAL_TdiOpenAddress(PHANDLE Handle, PFILE_OBJECT* FileObject);
NTSTATUS VSERIAL_TdiOpenConnection(PHANDLE Handle, PFILE_OBJECT* FileObject);
NTSTATUS VSERIAL_TdiAssociate(HANDLE AddressHandle, PFILE_OBJECT ConnectionFileObject);
NTSTATUS VSERIAL_TdiDisassociate(PFILE_OBJECT ConnectionFileObject);
// Address and port in network byte order. Up to 70 s; STATUS_UNSUCCESSFUL when that runs out.
// The request is published in Endpoint->ConnectIrp under SlotLock while it is in flight, so a
// cleanup can cancel it; a connect that cleanup reached first is not issued.
NTSTATUS VSERIAL_TdiConnect(PVSERIAL_TDI_ENDPOINT Endpoint, PKSPIN_LOCK SlotLock, ULONG Address,
                            USHORT Port);
// Graceful close (TDI_DISCONNECT_RELEASE), up to 100 s.
NTSTATUS VSERIAL_TdiDisconnect(PFILE_OBJECT ConnectionFileObject);
// Graceful close waiting at most `Timeout` (relative, 100 ns units), or an abortive close
// (TDI_DISCONNECT_ABORT) that fails every request still queued on the connection at once.
NTSTATUS VSERIAL_TdiDisconnectWithin(PFILE_OBJECT ConnectionFileObject, LONGLONG Timeout,
                                     BOOLEAN Abortive);
// One send of the whole buffer, up to 100 s; STATUS_TIMEOUT (and a disconnect) when that runs
// out. BytesSent is what the transport reports as sent.
NTSTATUS VSERIAL_TdiSend(PFILE_OBJECT ConnectionFileObject, PVOID Buffer, ULONG Length,
                         PULONG BytesSent);
NTSTATUS VSERIAL_TdiSetEventHandler(PFILE_OBJECT AddressFileObject, LONG EventType, PVOID Handler,
                                    PVOID Context);
// Takes bytes the transport kept (the handler had no room for them) into the ring's free
// space with TDI_RECEIVE, once there is room. PASSIVE_LEVEL; the caller holds a reference.
void VSERIAL_TdiFetchHeld(PVSERIAL_TDI_ENDPOINT Endpoint);

// TDI_EVENT_RECEIVE: puts what fits into the ring and reports that as taken; what does not fit
// stays with the transport and is fetched once the ring has room.
NTSTATUS VSERIAL_ClientEventReceive(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
                                    ULONG ReceiveFlags, ULONG BytesIndicated, ULONG BytesAvailable,
                                    ULONG* BytesTaken, PVOID Tsdu, PIRP* IoRequestPacket);
// TDI_EVENT_DISCONNECT: marks the endpoint not connected, then signals Disconnected.
NTSTATUS VSERIAL_ClientEventDisconnect(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
                                       LONG DisconnectDataLength, PVOID DisconnectData,
                                       LONG DisconnectInformationLength,
                                       PVOID DisconnectInformation, ULONG DisconnectFlags);
