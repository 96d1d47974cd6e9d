// Tarnel driver: a handle's connection to its printer, made at open (or again by a write) and
// torn down after a failed send or at cleanup. All at PASSIVE_LEVEL in the requester's thread.
//
// The device's connection slot (VSERIAL_CONNECTION_SLOT) holds the one endpoint. Rules:
// - one establishment at a time: the open, or the first write that finds no endpoint; other
//   writers wait for it and use its result;
// - users take a reference while they issue requests; whoever takes the endpoint out of the
//   slot tears it down, and frees it only after every reference is gone;
// - the owner's cleanup closes the slot, cancels a connect in flight and tears the endpoint
//   down, so no request outlives it by more than the bounded disconnect.
#pragma once

#include "driver/vserial.h"

// Looks the port up in the store: address and port in network byte order, each left as it was
// when the store does not give it. False when the store could not be read.
BOOLEAN VSERIAL_LookupPrinterAddress(const WCHAR* PortName, PULONG Address, PULONG Port);

// Opens the slot for a new owner and connects it: FsContext and the slot get a connected
// endpoint, or stay empty and the result is STATUS_UNSUCCESSFUL (after at most 70 s).
NTSTATUS VSERIAL_OpenConnection(PVSERIAL_EXTENSION Extension, PFILE_OBJECT FileObject);
// Establishes the endpoint for the caller that marked the slot as establishing.
NTSTATUS VSERIAL_EstablishConnection(PVSERIAL_EXTENSION Extension, PFILE_OBJECT FileObject);
// From a write whose handle has no connection: establishes one; the request's status block
// gets the result (information 0).
NTSTATUS ReCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// For a write: a referenced connected endpoint, reconnecting (once, for every waiting writer)
// when there is none. Fails when the handle is not the owner or is being cleaned up.
NTSTATUS VSERIAL_AcquireConnection(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                   VSERIAL_TDI_ENDPOINT** Endpoint);
// A referenced endpoint for the read thread, or null; no connecting.
VSERIAL_TDI_ENDPOINT* VSERIAL_ReferenceConnection(PVSERIAL_EXTENSION Extension);
void VSERIAL_ReleaseConnection(VSERIAL_TDI_ENDPOINT* Endpoint);
// After a failed send on Endpoint (the caller's reference is dropped here): ends the handle's
// emulation thread and tears the endpoint down unless another user already did.
NTSTATUS VSERIAL_PreCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp, VSERIAL_TDI_ENDPOINT* Endpoint);
// A write request enters before it looks at the connection and leaves after it is completed;
// the owner's cleanup returns only after every write has left.
void VSERIAL_EnterWrite(PVSERIAL_EXTENSION Extension);
void VSERIAL_LeaveWrite(PVSERIAL_EXTENSION Extension);
// At the owner's cleanup: graceful disconnect when nothing else is in flight (bounded waits),
// otherwise abortive; a connect in flight is cancelled.
void VSERIAL_CloseConnection(PVSERIAL_EXTENSION Extension, PFILE_OBJECT FileObject);
