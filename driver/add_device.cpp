// Tarnel driver: AddDevice creates the serial device over the instance's PDO, with its receive
// ring and its (still disabled) COM port interface.
#include "driver/ring.h"
#include "driver/vserial.h"

// GUID_DEVINTERFACE_COMPORT; kept here so the image needs no GUID library.
static const GUID kComPortInterface = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

NTSTATUS VSERIAL_AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    DbgPrint("VSERIAL_AddDevice Start \n");
    PDEVICE_OBJECT device = nullptr;
    PVSERIAL_EXTENSION ext = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(VSERIAL_EXTENSION), nullptr,
                                     FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device);
    if (NT_SUCCESS(status)) {
        ext = static_cast<PVSERIAL_EXTENSION>(device->DeviceExtension);
        RtlZeroMemory(ext, sizeof(VSERIAL_EXTENSION));
        PhysicalDeviceObject->DeviceType = FILE_DEVICE_SERIAL_PORT;

        ext->WaitQueueWriteIndex = 0;
        ext->WaitQueueReadIndex = 0;
        // Every later use of the device needs the ring: without one it is not added.
        ext->Ring = VSERIAL_RingAllocate();
        if (!ext->Ring)
            status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status)) {
        ext->BaudRate = VSERIAL_DEFAULT_BAUD;
        ext->LineControl.StopBits = STOP_BIT_1;
        ext->LineControl.Parity = NO_PARITY;
        ext->LineControl.WordLength = 8;
        ext->HandFlow.ControlHandShake = 0;
        ext->HandFlow.FlowReplace = 0;
        ext->HandFlow.XonLimit = 0;
        ext->HandFlow.XoffLimit = 0;
        ext->ModemControl = 0;

        ext->PhysicalDeviceObject = PhysicalDeviceObject;
        ext->DeviceObject = device;
        ext->NotificationIrp = nullptr;
        ext->PendingReadIrp = nullptr;
        ext->OpenFlag = 0;
        KeInitializeEvent(&ext->EmulationPollingExitEvent, NotificationEvent, FALSE);
        KeInitializeEvent(&ext->EmulationStoppedEvent, NotificationEvent, FALSE);
        KeInitializeEvent(&ext->ReadStoppedEvent, NotificationEvent, FALSE);
        KeInitializeEvent(&ext->ReadPollingExitEvent, NotificationEvent, FALSE);
        KeInitializeEvent(&ext->ReadWake, SynchronizationEvent, FALSE);
        KeInitializeEvent(&ext->EmulationWake, SynchronizationEvent, FALSE);
        KeInitializeSpinLock(&ext->DeviceLock);
        KeInitializeSpinLock(&ext->Connection.Lock);
        KeInitializeEvent(&ext->Connection.Settled, NotificationEvent, TRUE);
        KeInitializeEvent(&ext->Connection.WritesGone, NotificationEvent, TRUE);

        device->Flags &= ~DO_DEVICE_INITIALIZING;
        device->Flags |= DO_BUFFERED_IO;

        ext->LowerDeviceObject = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
        if (!ext->LowerDeviceObject)
            status = STATUS_UNSUCCESSFUL;
    }
    if (NT_SUCCESS(status)) {
        status = IoRegisterDeviceInterface(PhysicalDeviceObject, &kComPortInterface, nullptr,
                                           &ext->InterfaceLinkName);
    }
    if (!NT_SUCCESS(status) && device) {
        if (ext->LowerDeviceObject)
            IoDetachDevice(ext->LowerDeviceObject);
        VSERIAL_RingFree(ext->Ring);  // a device that is not added keeps nothing
        ext->Ring = nullptr;
        IoDeleteDevice(device);
    }
    DbgPrint("VSERIAL_AddDevice End \n");
    return status;
}
