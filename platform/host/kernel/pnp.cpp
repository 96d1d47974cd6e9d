// Plug and Play manager of the host kernel: the root bus with its PDOs, driver images loaded
// from the services' ImagePath, AddDevice and the start, stop and removal requests.
#include <dlfcn.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

#include "platform/host/kernel/io_internal.h"
#include "platform/host/kernel/pnp.h"
#include "platform/host/kernel/verifier.h"
#include "platform/host/machine/machine.h"
#include "platform/host/machine/registry_store.h"

namespace fs = std::filesystem;
using namespace tarnel::host;
using namespace tarnel::host::kernel;

namespace {

const std::u16string kEnumRoot = u"SYSTEM\\CurrentControlSet\\Enum";
const std::u16string kServicesRoot = u"SYSTEM\\CurrentControlSet\\Services";

struct LoadedDriver {
    std::u16string service;
    void* module = nullptr;
    PDRIVER_OBJECT object = nullptr;
    UNICODE_STRING registryPath{};
    std::u16string registryPathText;
};

struct Instance {
    std::u16string id;  // "ROOT\PORTS\0000"
    std::u16string service;
    PDEVICE_OBJECT pdo = nullptr;
    LoadedDriver* driver = nullptr;
    DeviceState state = DeviceState::NotStarted;
    NTSTATUS problem = STATUS_SUCCESS;
};

std::recursive_mutex g_pnpMutex;
std::map<std::u16string, Instance>& Instances() {  // by upper-cased instance id
    static auto* instances = new std::map<std::u16string, Instance>;
    return *instances;
}
std::map<std::u16string, LoadedDriver*>& Drivers() {  // by upper-cased service name
    static auto* drivers = new std::map<std::u16string, LoadedDriver*>;
    return *drivers;
}
PDRIVER_OBJECT g_rootBus = nullptr;
std::string g_bootedMachine;  // root of the machine this process has booted
ULONG g_nextPdoNumber = 1;

std::string Narrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s)
        out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

std::u16string Widen(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

// The text of a REG_SZ/REG_EXPAND_SZ value without its terminator; false when missing.
bool ReadText(const std::u16string& keyPath, const char16_t* valueName, std::u16string& out) {
    RegistryStore& store = Machine::current().registry();
    RegKey key;
    if (store.openKey(store.root(HiveRoot::LocalMachine), SplitKeyPath(keyPath), key) !=
        RegStatus::Ok)
        return false;
    HiveValue value;
    if (store.queryValue(key, valueName, value) != RegStatus::Ok)
        return false;
    out.assign(reinterpret_cast<const char16_t*>(value.data.data()), value.data.size() / 2);
    while (!out.empty() && out.back() == u'\0')
        out.pop_back();
    return true;
}

std::vector<std::u16string> Subkeys(const std::u16string& keyPath) {
    std::vector<std::u16string> names;
    RegistryStore& store = Machine::current().registry();
    RegKey key;
    if (store.openKey(store.root(HiveRoot::LocalMachine), SplitKeyPath(keyPath), key) !=
        RegStatus::Ok)
        return names;
    RegKeyInfo info;
    for (size_t i = 0; store.enumKey(key, i, info) == RegStatus::Ok; ++i)
        names.push_back(info.name);
    return names;
}

// "\SystemRoot\System32\drivers\X.sys", "System32\drivers\X.sys" or "C:\..." to a Linux file,
// matching each component without regard to case as Windows would.
fs::path ImageFile(const std::u16string& imagePath) {
    std::vector<std::u16string> parts = SplitKeyPath(imagePath);
    if (parts.empty())
        return {};
    fs::path dir = Machine::current().driveC();
    size_t first = 0;
    if (UpperCase(parts[0]) == u"SYSTEMROOT") {
        parts[0] = u"Windows";
    } else if (parts[0].size() == 2 && parts[0][1] == u':') {
        if (UpperCase(parts[0]) != u"C:")
            return {};
        first = 1;
    } else if (UpperCase(parts[0]) == u"??") {
        return ImageFile(imagePath.substr(4));
    } else {
        dir /= "Windows";
    }
    for (size_t i = first; i < parts.size(); ++i) {
        std::string want = Narrow(parts[i]);
        fs::path exact = dir / want;
        std::error_code ec;
        if (fs::exists(exact, ec)) {
            dir = exact;
            continue;
        }
        bool found = false;
        for (auto& entry : fs::directory_iterator(dir, ec)) {
            if (UpperCase(Widen(entry.path().filename().string())) == UpperCase(parts[i])) {
                dir = entry.path();
                found = true;
                break;
            }
        }
        if (!found)
            return {};
    }
    return dir;
}

// ---- the root bus driver: it owns the PDOs ----

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

LoadedDriver* LoadDriver(const std::u16string& service, NTSTATUS& status) {
    auto key = UpperCase(service);
    if (auto it = Drivers().find(key); it != Drivers().end())
        return it->second;
    std::u16string imagePath;
    if (!ReadText(kServicesRoot + u"\\" + service, u"ImagePath", imagePath)) {
        status = STATUS_OBJECT_NAME_NOT_FOUND;
        return nullptr;
    }
    fs::path file = ImageFile(imagePath);
    if (file.empty()) {
        status = STATUS_OBJECT_NAME_NOT_FOUND;
        return nullptr;
    }
    void* module = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        std::fprintf(stderr, "host kernel: cannot load %s: %s\n", file.c_str(), dlerror());
        status = STATUS_INVALID_IMAGE_FORMAT;
        return nullptr;
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(module, "DriverEntry"));
    if (!entry) {
        dlclose(module);
        status = STATUS_PROCEDURE_NOT_FOUND;
        return nullptr;
    }
    auto* driver = new LoadedDriver;
    driver->service = service;
    driver->module = module;
    driver->object = NewDriverObject(u"\\Driver\\" + service);
    driver->registryPathText = u"\\REGISTRY\\MACHINE\\" + kServicesRoot + u"\\" + service;
    driver->registryPath.Buffer = const_cast<PWSTR>(driver->registryPathText.c_str());
    driver->registryPath.Length =
        static_cast<USHORT>(driver->registryPathText.size() * sizeof(WCHAR));
    driver->registryPath.MaximumLength = driver->registryPath.Length;
    driver->object->DriverInit = entry;
    status = entry(driver->object, &driver->registryPath);
    if (!NT_SUCCESS(status)) {
        DeleteDriverObject(driver->object);
        dlclose(module);
        delete driver;
        return nullptr;
    }
    Drivers()[key] = driver;
    return driver;
}

// After the last device of a driver is gone: unload it and make sure it left no pool behind.
void UnloadIfIdle(LoadedDriver* driver) {
    if (!driver || driver->object->DeviceObject)
        return;
    for (auto& [id, instance] : Instances())
        if (instance.driver == driver)
            return;
    if (!driver->object->DriverUnload)
        return;  // a driver without unload stays loaded
    driver->object->DriverUnload(driver->object);
    std::vector<std::string> left = PoolLeftByModule(driver->module);
    if (!left.empty()) {
        std::string tags;
        for (auto& t : left)
            tags += (tags.empty() ? "'" : ", '") + t + "'";
        BugCheck("DRIVER_LEFT_POOL", "driver %s unloaded with pool still allocated: %s",
                 Narrow(driver->service).c_str(), tags.c_str());
    }
    Drivers().erase(UpperCase(driver->service));
    DeleteDriverObject(driver->object);
    dlclose(driver->module);
    delete driver;
}

Instance* Find(const std::u16string& id) {
    auto it = Instances().find(UpperCase(id));
    return it == Instances().end() ? nullptr : &it->second;
}

}  // namespace

namespace tarnel::host::kernel {

std::vector<std::u16string> SplitKeyPath(const std::u16string& path) {
    std::vector<std::u16string> parts;
    std::u16string part;
    for (char16_t c : path) {
        if (c == u'\\') {
            if (!part.empty())
                parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty())
        parts.push_back(part);
    return parts;
}

NTSTATUS StartDeviceInstance(const std::u16string& instanceId, bool start) {
    std::lock_guard<std::recursive_mutex> lock(g_pnpMutex);
    Instance* existing = Find(instanceId);
    if (existing && existing->state == DeviceState::Started)
        return STATUS_SUCCESS;
    if (existing && existing->pdo)
        return existing->problem ? existing->problem : STATUS_UNSUCCESSFUL;
    Instance& instance = Instances()[UpperCase(instanceId)];
    instance.id = instanceId;
    instance.state = DeviceState::NotStarted;
    const std::u16string keyPath = kEnumRoot + u"\\" + instanceId;
    if (!ReadText(keyPath, u"Service", instance.service)) {
        instance.problem = STATUS_OBJECT_NAME_NOT_FOUND;  // no driver installed for it
        return instance.problem;
    }
    // The bus creates the PDO with an autogenerated name.
    char name[32];
    std::snprintf(name, sizeof name, "\\Device\\%08x", g_nextPdoNumber++);
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = CreateDevice(RootBus(), 0, nullptr, FILE_DEVICE_UNKNOWN,
                                   FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    if (!NT_SUCCESS(status)) {
        instance.problem = status;
        return status;
    }
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    SetDeviceInstance(pdo, Widen(name), instanceId);
    instance.pdo = pdo;

    LoadedDriver* driver = LoadDriver(instance.service, status);
    if (!driver) {
        instance.problem = status;
        instance.state = DeviceState::Failed;
        return status;
    }
    instance.driver = driver;
    if (!driver->object->DriverExtension->AddDevice) {
        instance.problem = STATUS_NOT_SUPPORTED;
        instance.state = DeviceState::Failed;
        return instance.problem;
    }
    status = driver->object->DriverExtension->AddDevice(driver->object, pdo);
    if (!NT_SUCCESS(status) || !pdo->AttachedDevice) {
        instance.problem = NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
        instance.state = DeviceState::Failed;
        return instance.problem;
    }
    if (!start)
        return STATUS_SUCCESS;
    status = SendPnp(pdo, IRP_MN_START_DEVICE);
    instance.problem = NT_SUCCESS(status) ? STATUS_SUCCESS : status;
    instance.state = NT_SUCCESS(status) ? DeviceState::Started : DeviceState::Failed;
    return status;
}

NTSTATUS BootMachine() {
    std::lock_guard<std::recursive_mutex> lock(g_pnpMutex);
    g_bootedMachine = Machine::current().root().string();
    std::vector<std::u16string> ids;
    const std::u16string root = kEnumRoot + u"\\ROOT";
    for (auto& cls : Subkeys(root))
        for (auto& inst : Subkeys(root + u"\\" + cls))
            ids.push_back(u"ROOT\\" + cls + u"\\" + inst);
    NTSTATUS first = STATUS_SUCCESS;
    for (auto& id : ids) {
        std::u16string service;
        if (!ReadText(kEnumRoot + u"\\" + id, u"Service", service))
            continue;
        NTSTATUS status = StartDeviceInstance(id);
        if (!NT_SUCCESS(status) && NT_SUCCESS(first))
            first = status;
    }
    return first;
}

NTSTATUS SendDeviceRequest(const std::u16string& instanceId, UCHAR major, UCHAR minor) {
    std::lock_guard<std::recursive_mutex> lock(g_pnpMutex);
    if (major == IRP_MJ_PNP)
        return SendPnpRequest(instanceId, minor);
    Instance* instance = Find(instanceId);
    if (!instance || !instance->pdo)
        return STATUS_NO_SUCH_DEVICE;
    return SendRequest(instance->pdo, major, minor);
}

PDRIVER_OBJECT CreateDriverObject(const std::u16string& name) {
    return NewDriverObject(name);
}
void DestroyDriverObject(PDRIVER_OBJECT driver) {
    DeleteDriverObject(driver);
}

NTSTATUS SendPnpRequest(const std::u16string& instanceId, UCHAR minor) {
    std::lock_guard<std::recursive_mutex> lock(g_pnpMutex);
    Instance* instance = Find(instanceId);
    if (!instance || !instance->pdo)
        return STATUS_NO_SUCH_DEVICE;
    if (minor == IRP_MN_REMOVE_DEVICE)
        return RemoveDeviceInstance(instanceId);
    if (minor == IRP_MN_START_DEVICE && !instance->pdo->AttachedDevice)
        return STATUS_NO_SUCH_DEVICE;
    NTSTATUS status = SendPnp(instance->pdo, minor);
    if (NT_SUCCESS(status)) {
        if (minor == IRP_MN_STOP_DEVICE)
            instance->state = DeviceState::Stopped;
        if (minor == IRP_MN_START_DEVICE)
            instance->state = DeviceState::Started;
        if (minor == IRP_MN_SURPRISE_REMOVAL)
            instance->state = DeviceState::SurpriseRemoved;
    }
    return status;
}

NTSTATUS RemoveDeviceInstance(const std::u16string& instanceId) {
    std::lock_guard<std::recursive_mutex> lock(g_pnpMutex);
    Instance* instance = Find(instanceId);
    if (!instance)
        return STATUS_NO_SUCH_DEVICE;
    PDEVICE_OBJECT pdo = instance->pdo;
    LoadedDriver* driver = instance->driver;
    NTSTATUS status = STATUS_SUCCESS;
    if (pdo) {
        if (pdo->AttachedDevice)
            status = SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
        // The bus deletes the PDO of a device that is gone; the function driver must have
        // detached by now, or this bug-checks.
        IoDeleteDevice(pdo);
    }
    Instances().erase(UpperCase(instanceId));
    UnloadIfIdle(driver);
    return status;
}

void EnsureMachineBooted() {
    std::lock_guard<std::recursive_mutex> lock(g_pnpMutex);
    std::string root = Machine::current().root().string();
    if (g_bootedMachine == root)
        return;
    g_bootedMachine = root;
    BootMachine();
}

void ShutdownMachine() {
    std::lock_guard<std::recursive_mutex> lock(g_pnpMutex);
    g_bootedMachine.clear();
    std::vector<std::u16string> ids;
    for (auto& [key, instance] : Instances())
        ids.push_back(instance.id);
    for (auto& id : ids)
        RemoveDeviceInstance(id);
}

std::vector<DeviceInstanceInfo> DeviceInstances() {
    std::lock_guard<std::recursive_mutex> lock(g_pnpMutex);
    std::vector<DeviceInstanceInfo> out;
    for (auto& [key, instance] : Instances()) {
        DeviceInstanceInfo info;
        info.instanceId = Narrow(instance.id);
        info.service = Narrow(instance.service);
        info.pdoName = instance.pdo ? Narrow(DeviceRecordOf(instance.pdo)->name) : "";
        info.state = instance.state;
        info.problem = instance.problem;
        out.push_back(info);
    }
    return out;
}

PDEVICE_OBJECT DeviceInstancePdo(const std::u16string& instanceId) {
    std::lock_guard<std::recursive_mutex> lock(g_pnpMutex);
    Instance* instance = Find(instanceId);
    return instance ? instance->pdo : nullptr;
}

const char* DeviceStateName(DeviceState state) {
    switch (state) {
        case DeviceState::NotStarted:
            return "not started";
        case DeviceState::Started:
            return "started";
        case DeviceState::Stopped:
            return "stopped";
        case DeviceState::SurpriseRemoved:
            return "surprise-removed";
        case DeviceState::Failed:
            return "failed";
    }
    return "?";
}

}  // namespace tarnel::host::kernel
