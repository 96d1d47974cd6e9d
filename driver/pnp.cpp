// Tarnel driver: Plug and Play requests and the start that gives the device its names (DOS links,
// serial device map entry, enabled COM port interface).
#include "driver/notification.h"
#include "driver/ring.h"
#include "driver/vserial.h"

#define VSERIAL_PATH_BUFFER_BYTES 255

static const WCHAR kDosDevices[] = TEXT("\\DosDevices\\");
static const WCHAR kSerialCommPath[] = TEXT("\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM");
static const WCHAR kSerialCommRelative[] = TEXT("\\SerialComm");
static const WCHAR kPortNameValue[] = TEXT("PortName");

static NTSTATUS VSERIAL_StartCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static size_t VSERIAL_Length(const WCHAR* text, size_t capacity) {
    size_t n = 0;
    while (n < capacity && text[n])
        ++n;
    return n;
}

NTSTATUS VSERIAL_Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PVSERIAL_EXTENSION ext = static_cast<PVSERIAL_EXTENSION>(DeviceObject->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;

    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE: {
            DbgPrint("VSERIAL_Dispatch : IRP_MN_START_DEVICE \n");
            KEVENT started;
            KeInitializeEvent(&started, NotificationEvent, FALSE);
            IoCopyCurrentIrpStackLocationToNext(Irp);
            IoSetCompletionRoutine(Irp, VSERIAL_StartCompletion, &started, TRUE, TRUE, TRUE);
            NTSTATUS status = IoCallDriver(ext->LowerDeviceObject, Irp);
            if (status == STATUS_PENDING)
                KeWaitForSingleObject(&started, Executive, KernelMode, FALSE, nullptr);
            Irp->IoStatus.Information = 0;
            status = Irp->IoStatus.Status;
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
            if (!NT_SUCCESS(status))
                return status;
            return VSERIAL_StartDevice(DeviceObject);
        }
        case IRP_MN_SURPRISE_REMOVAL: {
            DbgPrint("VSERIAL_Dispatch : IRP_MN_SURPRISE_REMOVAL \n");
            IoSetDeviceInterfaceState(&ext->InterfaceLinkName, FALSE);
            // A request whose cancel routine already runs belongs to that routine.
            VSERIAL_ReleaseNotification(ext, STATUS_SUCCESS);
            VSERIAL_SetLinesReady(ext, FALSE);
            // New opens fail from now on; the open handle keeps its claim until its cleanup.
            VSERIAL_StoreRelease(&ext->Removed, 1);
            ext->OpenFlag = 0;
            KeSetEvent(&ext->ReadStoppedEvent, IO_NO_INCREMENT, FALSE);
            VSERIAL_SignalStop(&ext->ReadPollingExitEvent, &ext->ReadWake);
            KeSetEvent(&ext->EmulationStoppedEvent, IO_NO_INCREMENT, FALSE);
            VSERIAL_SignalStop(&ext->EmulationPollingExitEvent, &ext->EmulationWake);
            IoSkipCurrentIrpStackLocation(Irp);
            return IoCallDriver(ext->LowerDeviceObject, Irp);
        }
        case IRP_MN_REMOVE_DEVICE: {
            DbgPrint("VSERIAL_Dispatch : IRP_MN_REMOVE_DEVICE \n");
            IoSetDeviceInterfaceState(&ext->InterfaceLinkName, FALSE);
            RtlFreeUnicodeString(&ext->InterfaceLinkName);
            UNICODE_STRING link;
            RtlInitUnicodeString(&link, ext->LinkName);
            IoDeleteSymbolicLink(&link);
            RtlInitUnicodeString(&link, ext->ColonLinkName);
            IoDeleteSymbolicLink(&link);
            ULONG objectName[VSERIAL_PATH_BUFFER_BYTES / sizeof(ULONG) + 1];
            RtlZeroMemory(objectName, sizeof(objectName));
            ULONG length = 0;
            if (NT_SUCCESS(IoGetDeviceProperty(ext->PhysicalDeviceObject,
                                               DevicePropertyPhysicalDeviceObjectName,
                                               VSERIAL_PATH_BUFFER_BYTES, objectName, &length))) {
                RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, kSerialCommRelative,
                                       reinterpret_cast<PCWSTR>(objectName));
            }
            // A notification still held (no surprise removal came first) must not outlive the
            // device its cancel routine refers to.
            VSERIAL_ReleaseNotification(ext, STATUS_SUCCESS);
            VSERIAL_RingFree(ext->Ring);
            ext->Ring = nullptr;
            ext->OpenFlag = 0;
            PDEVICE_OBJECT lower = ext->LowerDeviceObject;
            IoDetachDevice(lower);
            IoDeleteDevice(DeviceObject);
            IoSkipCurrentIrpStackLocation(Irp);
            return IoCallDriver(lower, Irp);
        }
        default:
            IoSkipCurrentIrpStackLocation(Irp);
            return IoCallDriver(ext->LowerDeviceObject, Irp);
    }
}

NTSTATUS VSERIAL_StartDevice(PDEVICE_OBJECT DeviceObject) {
    PVSERIAL_EXTENSION ext = static_cast<PVSERIAL_EXTENSION>(DeviceObject->DeviceExtension);
    HANDLE key = nullptr;
    NTSTATUS status = IoOpenDeviceRegistryKey(ext->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE,
                                              STANDARD_RIGHTS_READ, &key);
    if (!NT_SUCCESS(status))
        return status;

    ULONG buffer[VSERIAL_PATH_BUFFER_BYTES / sizeof(ULONG) + 1];
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, kPortNameValue);
    ULONG resultLength = 0;
    status = ZwQueryValueKey(key, &valueName, KeyValueFullInformation, buffer,
                             VSERIAL_PATH_BUFFER_BYTES, &resultLength);
    if (!NT_SUCCESS(status)) {
        ZwClose(key);
        return status;
    }
    auto* info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
    const WCHAR* data =
        reinterpret_cast<const WCHAR*>(reinterpret_cast<const UCHAR*>(buffer) + info->DataOffset);
    // The data is copied with its stored length, terminator included; never past a field.
    size_t dataChars = info->DataLength / sizeof(WCHAR);
    const size_t prefixChars = sizeof(kDosDevices) / sizeof(WCHAR) - 1;
    if (dataChars > VSERIAL_NAME_CHARS - prefixChars - 2)
        dataChars = VSERIAL_NAME_CHARS - prefixChars - 2;
    RtlZeroMemory(ext->LinkName, sizeof(ext->LinkName));
    RtlZeroMemory(ext->ColonLinkName, sizeof(ext->ColonLinkName));
    RtlZeroMemory(ext->PortName, sizeof(ext->PortName));
    RtlCopyMemory(ext->LinkName, kDosDevices, prefixChars * sizeof(WCHAR));
    RtlCopyMemory(ext->LinkName + prefixChars, data, dataChars * sizeof(WCHAR));
    size_t linkChars = VSERIAL_Length(ext->LinkName, VSERIAL_NAME_CHARS);
    RtlCopyMemory(ext->ColonLinkName, ext->LinkName, linkChars * sizeof(WCHAR));
    ext->ColonLinkName[linkChars] = TEXT(':');
    RtlCopyMemory(ext->PortName, data, dataChars * sizeof(WCHAR));
    ZwClose(key);

    ULONG objectName[VSERIAL_PATH_BUFFER_BYTES / sizeof(ULONG) + 1];
    RtlZeroMemory(objectName, sizeof(objectName));
    ULONG nameLength = 0;
    status = IoGetDeviceProperty(ext->PhysicalDeviceObject, DevicePropertyPhysicalDeviceObjectName,
                                 VSERIAL_PATH_BUFFER_BYTES, objectName, &nameLength);
    if (!NT_SUCCESS(status))
        return status;

    UNICODE_STRING target;
    RtlInitUnicodeString(&target, reinterpret_cast<PCWSTR>(objectName));
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, ext->LinkName);
    IoCreateSymbolicLink(&link, &target);
    RtlInitUnicodeString(&link, ext->ColonLinkName);
    IoCreateSymbolicLink(&link, &target);

    auto* path = static_cast<PWSTR>(
        ExAllocatePoolWithTag(PagedPool, VSERIAL_PATH_BUFFER_BYTES, VSERIAL_TAG_DEVICEMAP));
    if (path) {
        RtlZeroMemory(path, VSERIAL_PATH_BUFFER_BYTES);
        RtlCopyMemory(path, kSerialCommPath, sizeof(kSerialCommPath));
        ULONG portBytes =
            static_cast<ULONG>(VSERIAL_Length(ext->PortName, VSERIAL_NAME_CHARS) * sizeof(WCHAR));
        RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, path,
                              reinterpret_cast<PCWSTR>(objectName), REG_SZ, ext->PortName,
                              portBytes);
        ExFreePoolWithTag(path, VSERIAL_TAG_DEVICEMAP);
    }
    IoSetDeviceInterfaceState(&ext->InterfaceLinkName, TRUE);
    return status;
}
