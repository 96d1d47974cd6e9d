// Plug and Play manager: the root bus driver that owns every PDO, driver objects, and the
// synchronous requests the manager sends down a device stack.
#include <memory>

#include "platform/host/kernel/io_internal.h"
#include "platform/host/kernel/pnp_internal.h"

using namespace tarnel::host::kernel;

namespace {

NTSTATUS BusPnp(PDEVICE_OBJECT, PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_REMOVE_DEVICE:
            irp->IoStatus.Status = STATUS_SUCCESS;
            break;
        default:
            break;  // a bus leaves requests it does not serve as they came
    }
    NTSTATUS status = irp->IoStatus.Status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS BusPower(PDEVICE_OBJECT, PIRP irp) {
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS BusSystemControl(PDEVICE_OBJECT, PIRP irp) {
    NTSTATUS status = irp->IoStatus.Status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Driver objects with the name they carry; owned here until the driver unloads.
struct DriverHolder {
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::u16string name;
};
std::map<PDRIVER_OBJECT, std::unique_ptr<DriverHolder>>& DriverHolders() {
    static auto* holders = new std::map<PDRIVER_OBJECT, std::unique_ptr<DriverHolder>>;
    return *holders;
}

PDRIVER_OBJECT g_rootBus = nullptr;

}  // namespace

namespace tarnel::host::kernel {
namespace pnp {

PDRIVER_OBJECT NewDriverObject(const std::u16string& name) {
    auto holder = std::make_unique<DriverHolder>();
    holder->name = name;
    PDRIVER_OBJECT driver = &holder->object;
    driver->Type = 4;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = &holder->extension;
    holder->extension.DriverObject = driver;
    driver->DriverName.Buffer = const_cast<PWSTR>(holder->name.c_str());
    driver->DriverName.Length = static_cast<USHORT>(holder->name.size() * sizeof(WCHAR));
    driver->DriverName.MaximumLength = driver->DriverName.Length;
    for (auto& routine : driver->MajorFunction)
        routine = InvalidDeviceRequest;
    DriverHolders()[driver] = std::move(holder);
    return driver;
}

void DeleteDriverObject(PDRIVER_OBJECT driver) {
    DriverHolders().erase(driver);
}

PDRIVER_OBJECT RootBus() {
    if (!g_rootBus) {
        g_rootBus = NewDriverObject(u"\\Driver\\PnpManager");
        g_rootBus->MajorFunction[IRP_MJ_PNP] = BusPnp;
        g_rootBus->MajorFunction[IRP_MJ_POWER] = BusPower;
        g_rootBus->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = BusSystemControl;
    }
    return g_rootBus;
}

NTSTATUS SendRequest(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor) {
    PDEVICE_OBJECT top = TopOfStack(pdo);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = AllocateIrp(top->StackSize, IrpOrigin::Synchronous);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    // What Windows puts in every Plug and Play request before sending it.
    irp->IoStatus.Status = major == IRP_MJ_PNP ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
    irp->UserIosb = &iosb;
    irp->UserEvent = &done;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    NTSTATUS status = IofCallDriver(top, irp);
    if (status == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return iosb.Status;
}

NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor) {
    return SendRequest(pdo, IRP_MJ_PNP, minor);
}

}  // namespace pnp

PDRIVER_OBJECT CreateDriverObject(const std::u16string& name) {
    return pnp::NewDriverObject(name);
}
void DestroyDriverObject(PDRIVER_OBJECT driver) {
    pnp::DeleteDriverObject(driver);
}

}  // namespace tarnel::host::kernel
