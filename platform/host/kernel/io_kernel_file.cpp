// I/O manager, kernel side: ZwCreateFile on a device by name (the TCP transport's address and
// connection objects). The last handle's close sends IRP_MJ_CLEANUP, the last reference's
// release IRP_MJ_CLOSE.
#include <cstdlib>
#include <cstring>

#include "platform/host/kernel/io_internal.h"

using namespace tarnel::host::kernel;

namespace {

void KernelFileCleanup(void* body) {
    SendFileRequest(static_cast<PFILE_OBJECT>(body), IRP_MJ_CLEANUP);
}

void KernelFileClose(void* body) {
    auto* file = static_cast<PFILE_OBJECT>(body);
    SendFileRequest(file, IRP_MJ_CLOSE);
    UncountDeviceFile(file->DeviceObject);
}

PDEVICE_OBJECT FindDevice(const std::u16string& name) {
    std::u16string normalized = NormalizeObjectName(name);
    if (normalized.rfind(u"\\??\\", 0) == 0) {
        std::u16string target;
        if (!ResolveLink(normalized, target))
            return nullptr;
        normalized = target;
    }
    return LookupDeviceByName(normalized);
}

}  // namespace

NTSTATUS ZwCreateFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                      PIO_STATUS_BLOCK iosb, PLARGE_INTEGER, ULONG fileAttributes, ULONG share,
                      ULONG disposition, ULONG options, PVOID eaBuffer, ULONG eaLength) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        return STATUS_INVALID_DEVICE_STATE;
    *handle = nullptr;
    std::u16string name = ToU16(attributes ? attributes->ObjectName : nullptr);
    PDEVICE_OBJECT device = FindDevice(name);
    if (!device && UpperCase(name) == u"\\DEVICE\\TCP") {
        EnsureTcpTransport();
        device = FindDevice(name);
    }
    NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
    if (device) {
        auto* file = static_cast<PFILE_OBJECT>(
            CreateObject(&g_fileType, sizeof(FILE_OBJECT), KernelFileClose));
        if (!file) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            HeaderOf(file)->lastHandleClosed = KernelFileCleanup;
            file->Type = 5;
            file->Size = sizeof(FILE_OBJECT);
            file->DeviceObject = device;
            file->ReadAccess = (access & (GENERIC_READ | FILE_READ_ACCESS)) != 0;
            file->WriteAccess = (access & (GENERIC_WRITE | FILE_WRITE_ACCESS)) != 0;
            file->SharedRead = (share & 1) != 0;
            file->SharedWrite = (share & 2) != 0;
            UNREFERENCED_PARAMETER(fileAttributes);
            UNREFERENCED_PARAMETER(disposition);
            UNREFERENCED_PARAMETER(options);
            CountDeviceFile(device, false, false);
            status = SendFileRequest(file, IRP_MJ_CREATE, eaBuffer, eaLength);
            if (NT_SUCCESS(status)) {
                InsertHandle(file, handle);
                ObfDereferenceObject(file);  // the handle holds it now
            } else {
                // A failed open is neither cleaned up nor closed.
                HeaderOf(file)->destroy = nullptr;
                UncountDeviceFile(device);
                ObfDereferenceObject(file);
            }
        }
    }
    if (iosb) {
        iosb->Status = status;
        iosb->Information = NT_SUCCESS(status) ? 1 /* FILE_OPENED */ : 0;
    }
    return status;
}
