// The I/O manager's own records: requests with their issuer, devices with their names.
#pragma once

#include <pthread.h>

#include <functional>
#include <utility>
#include <vector>
#include <string>

#include "platform/host/kernel/host_kernel.h"
#include "platform/host/kernel/internal.h"
#include "platform/host/kernel/user_io.h"

namespace tarnel::host::kernel {

enum class IrpOrigin {
    Driver,       // IoAllocateIrp: the allocating driver takes it back in a completion routine
    Synchronous,  // IoBuildDeviceIoControlRequest: results to the caller's block and event
    User,         // a Win32 call on a device handle
};

constexpr SHORT kMdlLocked = 0x0002;

// Host bookkeeping in front of every IRP; the stack locations follow the IRP.
struct IrpRecord {
    ULONG64 magic;
    IrpOrigin origin;
    // User origin: called once it completes; built in place, so a request allocates nothing.
    alignas(UserCompletion) unsigned char completion[sizeof(UserCompletion)];
    bool hasCompletion;
    void* outputBuffer;          // caller's buffer that buffered output is copied back to
    ULONG outputLength;
    PFILE_OBJECT file;  // User origin: the handle's file object, for cancel and cleanup
    pthread_t thread;   // User origin: the issuing thread, for CancelIo
    bool inDispatch;    // User origin: its dispatch routine has not returned yet (file's mutex)
    IrpRecord* pendingPrev;  // User origin: its file's pending list (file's mutex)
    IrpRecord* pendingNext;
    IRP irp;
    IO_STACK_LOCATION stack[1];
};

IrpRecord* RecordOf(PIRP irp);
void SetCompletion(IrpRecord* record, UserCompletion&& done);
// Moves the completion out of the record (empty if it has none).
UserCompletion TakeCompletion(IrpRecord* record);
PIRP AllocateIrp(CCHAR stackSize, IrpOrigin origin);
void FreeIrpRecord(IrpRecord* record);
// A system buffer whose contents are not zeroed, and its release; IRP_DEALLOCATE_BUFFER buffers
// from anywhere are released with FreeSystemBuffer.
void* AllocateSystemBuffer(size_t size);
void FreeSystemBuffer(void* buffer);
void FinishIrp(IrpRecord* record);
// A user request has completed: it leaves its file's pending list. Returns the file when that
// made its close due (decided before the issuer learns of the completion: once it has, it may
// close its handle, and with nothing pending that close frees the file at once); the caller
// passes it to PostClose after the completion has run.
PFILE_OBJECT ForgetPending(IrpRecord* record);
void PostClose(PFILE_OBJECT file);

// Device bookkeeping, reached through DEVICE_OBJECT::DeviceObjectExtension.
struct DeviceRecord {
    std::u16string name;        // "\Device\00000052"; empty for unnamed devices
    std::u16string instanceId;  // PDOs: "ROOT\PORTS\0000"
    PDEVICE_OBJECT lower = nullptr;
    bool deletePending = false;
    int openFiles = 0;
};

DeviceRecord* DeviceRecordOf(PDEVICE_OBJECT device);
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);
// Object namespace: "\Device\..." names and "\??\" links, compared without case.
PDEVICE_OBJECT LookupDeviceByName(const std::u16string& name);
// Resolves a DOS name ("\??\COM7", "\DosDevices\COM7", "\GLOBAL??\COM7") through its link.
bool ResolveLink(const std::u16string& link, std::u16string& target);
std::u16string NormalizeObjectName(const std::u16string& name);
std::u16string ToU16(PCUNICODE_STRING s);
std::u16string UpperCase(const std::u16string& s);
// Names a bus-created PDO and ties it to its device instance.
void SetDeviceInstance(PDEVICE_OBJECT pdo, const std::u16string& name,
                       const std::u16string& instanceId);
// A file opened on the device, under the namespace lock: fails with STATUS_DELETE_PENDING when the
// device is being deleted (if `refuseDeleted`) and STATUS_ACCESS_DENIED when it is exclusive and
// already open (if `exclusive`).
NTSTATUS CountDeviceFile(PDEVICE_OBJECT device, bool refuseDeleted, bool exclusive);
// A file on the device gone (closed, or its open failed); the last one of a deleted device frees
// it.
void UncountDeviceFile(PDEVICE_OBJECT device);
// Files open on any device of the stack above and including `device`.
int OpenFilesOnStack(PDEVICE_OBJECT device);
void FreeDeviceObject(PDEVICE_OBJECT device);
// IoCreateDevice without fault injection (the bus's own PDOs).
NTSTATUS CreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING deviceName,
                      ULONG deviceType, ULONG characteristics, BOOLEAN exclusive,
                      PDEVICE_OBJECT* deviceObject);
NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);
// Sends `major` for a file object to the top of its device's stack and waits for it; `buffer`
// (an open's extended attributes) goes in the system buffer.
NTSTATUS SendFileRequest(PFILE_OBJECT file, UCHAR major, const void* buffer = nullptr,
                         ULONG length = 0);
// "\Device\Tcp": the host's TCP transport, created on first use.
void EnsureTcpTransport();

}  // namespace tarnel::host::kernel
