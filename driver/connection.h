// Tarnel driver: a handle's connection to its printer, made at open (or again by a write) and
// torn down after a failed send or at cleanup. All at PASSIVE_LEVEL in the requester's thread.
#pragma once

#include "driver/vserial.h"

// Looks the port up in the store: address and port in network byte order, each left as it was
// when the store does not give it. False when the store could not be read.
BOOLEAN VSERIAL_LookupPrinterAddress(const WCHAR* PortName, PULONG Address, PULONG Port);

// Gives the file object a connected endpoint in FsContext, or leaves FsContext empty and
// returns STATUS_UNSUCCESSFUL (after at most 70 s of connecting).
NTSTATUS VSERIAL_EstablishConnection(PVSERIAL_EXTENSION Extension, PFILE_OBJECT FileObject);
// From a write whose handle has no connection: establishes one; the request's status block
// gets the result (information 0).
NTSTATUS ReCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// After a failed send: ends the handle's emulation thread and releases its connection.
NTSTATUS VSERIAL_PreCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// At cleanup: graceful disconnect (up to 10 s for the printer's answer), then release.
void VSERIAL_CloseConnection(PFILE_OBJECT FileObject);
