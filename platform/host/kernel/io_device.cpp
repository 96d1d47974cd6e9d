// I/O manager, devices: creation and deletion, stacks, the object namespace with its symbolic
// links, device interfaces, device registry keys and properties.
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/host/kernel/host_kernel.h"
#include "platform/host/kernel/io_internal.h"
#include "platform/host/kernel/verifier.h"

using namespace tarnel::host::kernel;

namespace {

constexpr CSHORT kDeviceType = 3;

struct InterfaceEntry {
    PDEVICE_OBJECT pdo;
    std::u16string link;  // "\??\ROOT#PORTS#0000#{guid}"
    bool enabled = false;
};

std::recursive_mutex g_namespaceMutex;
std::map<std::u16string, PDEVICE_OBJECT>& Devices() {
    static auto* devices = new std::map<std::u16string, PDEVICE_OBJECT>;
    return *devices;
}
std::map<std::u16string, std::u16string>& Links() {  // upper-cased "\??\NAME" -> target
    static auto* links = new std::map<std::u16string, std::u16string>;
    return *links;
}
std::map<std::u16string, InterfaceEntry>& Interfaces() {  // upper-cased link -> entry
    static auto* interfaces = new std::map<std::u16string, InterfaceEntry>;
    return *interfaces;
}

std::u16string FromAscii(const char* s) {
    std::u16string out;
    while (*s)
        out += static_cast<char16_t>(*s++);
    return out;
}

bool StartsWithNoCase(const std::u16string& s, const char* prefix) {
    size_t n = std::strlen(prefix);
    if (s.size() < n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        char16_t a = s[i] < 0x80 ? static_cast<char16_t>(std::toupper(s[i])) : s[i];
        char16_t b = static_cast<char16_t>(std::toupper(static_cast<unsigned char>(prefix[i])));
        if (a != b)
            return false;
    }
    return true;
}

std::string GuidText(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

// Hands a counted string to a driver in pool it frees with RtlFreeUnicodeString.
NTSTATUS MakePoolString(const std::u16string& text, PUNICODE_STRING out) {
    size_t bytes = (text.size() + 1) * sizeof(WCHAR);
    auto* buffer = static_cast<PWSTR>(AllocateKernelPool(bytes, TagFromText("Strg")));
    if (!buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, text.c_str(), bytes);
    out->Buffer = buffer;
    out->Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    out->MaximumLength = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

}  // namespace

namespace tarnel::host::kernel {

std::u16string ToU16(PCUNICODE_STRING s) {
    if (!s || !s->Buffer)
        return {};
    return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

std::u16string UpperCase(const std::u16string& s) {
    std::u16string out = s;
    for (auto& c : out)
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - 32);
    return out;
}

// "\DosDevices\X", "\GLOBAL??\X" and "\??\X" all name the one DOS device namespace.
std::u16string NormalizeObjectName(const std::u16string& name) {
    for (const char* prefix : {"\\DosDevices\\", "\\GLOBAL??\\", "\\??\\"}) {
        if (StartsWithNoCase(name, prefix))
            return u"\\??\\" + name.substr(std::strlen(prefix));
    }
    return name;
}

DeviceRecord* DeviceRecordOf(PDEVICE_OBJECT device) {
    if (!device || device->Type != kDeviceType)
        BugCheck("INVALID_DEVICE_OBJECT", "%p is not a device object", static_cast<void*>(device));
    return static_cast<DeviceRecord*>(device->DeviceObjectExtension);
}

// Walked without the namespace lock (every request walks it): attach and detach publish the
// links with release stores, after the new top is complete.
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
    while (PDEVICE_OBJECT upper = __atomic_load_n(&device->AttachedDevice, __ATOMIC_ACQUIRE))
        device = upper;
    return device;
}

PDEVICE_OBJECT LookupDeviceByName(const std::u16string& name) {
    std::lock_guard<std::recursive_mutex> lock(g_namespaceMutex);
    auto it = Devices().find(UpperCase(name));
    return it == Devices().end() ? nullptr : it->second;
}

bool ResolveLink(const std::u16string& link, std::u16string& target) {
    std::lock_guard<std::recursive_mutex> lock(g_namespaceMutex);
    auto it = Links().find(UpperCase(NormalizeObjectName(link)));
    if (it == Links().end())
        return false;
    target = it->second;
    return true;
}

std::vector<std::pair<std::string, std::string>> SymbolicLinks() {
    std::lock_guard<std::recursive_mutex> lock(g_namespaceMutex);
    std::vector<std::pair<std::string, std::string>> out;
    auto narrow = [](const std::u16string& s) {
        std::string n;
        for (char16_t c : s)
            n += c < 0x80 ? static_cast<char>(c) : '?';
        return n;
    };
    for (auto& [name, target] : Links())
        out.emplace_back(narrow(name), narrow(target));
    return out;
}

std::vector<DeviceInterfaceState> DeviceInterfaces() {
    std::lock_guard<std::recursive_mutex> lock(g_namespaceMutex);
    std::vector<DeviceInterfaceState> out;
    for (auto& [key, entry] : Interfaces()) {
        std::string link;
        for (char16_t c : entry.link)
            link += c < 0x80 ? static_cast<char>(c) : '?';
        out.push_back({link, entry.enabled});
    }
    return out;
}

void SetDeviceInstance(PDEVICE_OBJECT pdo, const std::u16string& name,
                       const std::u16string& instanceId) {
    DeviceRecord* record = DeviceRecordOf(pdo);
    record->instanceId = instanceId;
    if (record->name.empty() && !name.empty()) {
        std::lock_guard<std::recursive_mutex> lock(g_namespaceMutex);
        record->name = name;
        Devices()[UpperCase(name)] = pdo;
    }
}

}  // namespace tarnel::host::kernel

// The I/O manager's answer for a request type that the driver has no routine for.
NTSTATUS tarnel::host::kernel::InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS IoCreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING deviceName,
                        ULONG deviceType, ULONG characteristics, BOOLEAN exclusive,
                        PDEVICE_OBJECT* deviceObject) {
    *deviceObject = nullptr;
    // Tests make a driver's device creation fail with the pseudo-tag "Devi".
    if (ShouldFailAllocation(TagFromText("Devi")))
        return STATUS_INSUFFICIENT_RESOURCES;
    return CreateDevice(driver, extensionSize, deviceName, deviceType, characteristics, exclusive,
                        deviceObject);
}

NTSTATUS tarnel::host::kernel::CreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize,
                                            PUNICODE_STRING deviceName, ULONG deviceType,
                                            ULONG characteristics, BOOLEAN exclusive,
                                            PDEVICE_OBJECT* deviceObject) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "IoCreateDevice at IRQL %u", KeGetCurrentIrql());
    *deviceObject = nullptr;
    std::u16string name = ToU16(deviceName);
    std::lock_guard<std::recursive_mutex> lock(g_namespaceMutex);
    if (!name.empty() && Devices().count(UpperCase(name)))
        return STATUS_OBJECT_NAME_COLLISION;
    size_t extensionOffset = (sizeof(DEVICE_OBJECT) + 15) & ~size_t(15);
    auto* device = static_cast<PDEVICE_OBJECT>(std::calloc(1, extensionOffset + extensionSize));
    if (!device)
        return STATUS_INSUFFICIENT_RESOURCES;
    auto* record = new DeviceRecord;
    record->name = name;
    device->Type = kDeviceType;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + extensionSize);
    device->DriverObject = driver;
    device->DeviceExtension =
        extensionSize ? reinterpret_cast<char*>(device) + extensionOffset : nullptr;
    device->DeviceType = deviceType;
    device->Characteristics = characteristics;
    device->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);
    device->StackSize = 1;
    device->DeviceObjectExtension = record;
    device->NextDevice = driver->DeviceObject;
    driver->DeviceObject = device;
    if (!name.empty())
        Devices()[UpperCase(name)] = device;
    *deviceObject = device;
    return STATUS_SUCCESS;
}

namespace tarnel::host::kernel {

NTSTATUS CountDeviceFile(PDEVICE_OBJECT device, bool refuseDeleted, bool exclusive) {
    std::lock_guard<std::recursive_mutex> lock(g_namespaceMutex);
    DeviceRecord* record = DeviceRecordOf(device);
    if (refuseDeleted && record->deletePending)
        return STATUS_DELETE_PENDING;
    if (exclusive && record->openFiles > 0)
        return STATUS_ACCESS_DENIED;
    record->openFiles++;
    return STATUS_SUCCESS;
}

void UncountDeviceFile(PDEVICE_OBJECT device) {
    std::lock_guard<std::recursive_mutex> lock(g_namespaceMutex);
    DeviceRecord* record = DeviceRecordOf(device);
    if (--record->openFiles == 0 && record->deletePending)
        FreeDeviceObject(device);
}

int OpenFilesOnStack(PDEVICE_OBJECT device) {
    std::lock_guard<std::recursive_mutex> lock(g_namespaceMutex);
    int open = 0;
    for (; device; device = device->AttachedDevice)
        open += DeviceRecordOf(device)->openFiles;
    return open;
}

void FreeDeviceObject(PDEVICE_OBJECT device) {
    delete DeviceRecordOf(device);
    device->Type = 0;
    std::free(device);
}

}  // namespace tarnel::host::kernel

void IoDeleteDevice(PDEVICE_OBJECT device) {
    DeviceRecord* record = DeviceRecordOf(device);
    std::lock_guard<std::recursive_mutex> lock(g_namespaceMutex);
    if (device->AttachedDevice)
        BugCheck("DEVICE_DELETED_WHILE_ATTACHED",
                 "device %p deleted while device %p is still attached to it",
                 static_cast<void*>(device), static_cast<void*>(device->AttachedDevice));
    if (record->deletePending)
        BugCheck("DEVICE_DELETED_TWICE", "device %p deleted twice", static_cast<void*>(device));
    PDRIVER_OBJECT driver = device->DriverObject;
    for (PDEVICE_OBJECT* p = &driver->DeviceObject; *p; p = &(*p)->NextDevice) {
        if (*p == device) {
            *p = device->NextDevice;
            break;
        }
    }
    if (!record->name.empty())
        Devices().erase(UpperCase(record->name));
    // A PDO takes its interfaces with it.
    for (auto it = Interfaces().begin(); it != Interfaces().end();) {
        if (it->second.pdo == device) {
            if (it->second.enabled)
                Links().erase(UpperCase(it->second.link));
            it = Interfaces().erase(it);
        } else {
            ++it;
        }
    }
    record->deletePending = true;
    // Open handles keep the memory until their close; drivers must not touch it meanwhile.
    if (record->openFiles == 0)
        FreeDeviceObject(device);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target) {
    std::lock_guard<std::recursive_mutex> lock(g_namespaceMutex);
    if (ShouldFailAllocation(TagFromText("Atch")))
        return nullptr;
    DeviceRecord* targetRecord = DeviceRecordOf(target);
    if (targetRecord->deletePending)
        return nullptr;
    PDEVICE_OBJECT top = TopOfStack(target);
    source->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    DeviceRecordOf(source)->lower = top;
    __atomic_store_n(&top->AttachedDevice, source, __ATOMIC_RELEASE);
    return top;
}

void IoDetachDevice(PDEVICE_OBJECT target) {
    std::lock_guard<std::recursive_mutex> lock(g_namespaceMutex);
    PDEVICE_OBJECT upper = target->AttachedDevice;
    if (!upper)
        BugCheck("DETACH_NOT_ATTACHED", "IoDetachDevice(%p) with nothing attached",
                 static_cast<void*>(target));
    DeviceRecordOf(upper)->lower = nullptr;
    __atomic_store_n(&target->AttachedDevice, nullptr, __ATOMIC_RELEASE);
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT device) {
    PDEVICE_OBJECT top = TopOfStack(device);
    __atomic_add_fetch(&top->ReferenceCount, 1, __ATOMIC_SEQ_CST);
    return top;
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING linkName, PUNICODE_STRING deviceName) {
    std::lock_guard<std::recursive_mutex> lock(g_namespaceMutex);
    std::u16string link = UpperCase(NormalizeObjectName(ToU16(linkName)));
    if (link.empty())
        return STATUS_OBJECT_NAME_INVALID;
    if (Links().count(link))
        return STATUS_OBJECT_NAME_COLLISION;
    Links()[link] = ToU16(deviceName);
    return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING linkName) {
    std::lock_guard<std::recursive_mutex> lock(g_namespaceMutex);
    std::u16string link = UpperCase(NormalizeObjectName(ToU16(linkName)));
    return Links().erase(link) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

const GUID GUID_DEVINTERFACE_COMPORT = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT pdo, const GUID* guid,
                                   PUNICODE_STRING referenceString, PUNICODE_STRING linkName) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "IoRegisterDeviceInterface at IRQL %u",
                 KeGetCurrentIrql());
    DeviceRecord* record = DeviceRecordOf(pdo);
    if (record->instanceId.empty())
        return STATUS_INVALID_DEVICE_REQUEST;  // not a PDO
    std::u16string link = u"\\??\\";
    for (char16_t c : record->instanceId)
        link += c == u'\\' ? u'#' : c;
    link += u'#';
    link += FromAscii(GuidText(*guid).c_str());
    std::u16string reference = ToU16(referenceString);
    if (!reference.empty())
        link += u'\\' + reference;
    {
        std::lock_guard<std::recursive_mutex> lock(g_namespaceMutex);
        auto key = UpperCase(link);
        auto it = Interfaces().find(key);
        if (it == Interfaces().end())
            Interfaces()[key] = InterfaceEntry{pdo, link, false};
        else
            it->second.pdo = pdo;  // the same instance, registered again by a new device
    }
    return MakePoolString(link, linkName);
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING linkName, BOOLEAN enable) {
    std::lock_guard<std::recursive_mutex> lock(g_namespaceMutex);
    auto it = Interfaces().find(UpperCase(ToU16(linkName)));
    if (it == Interfaces().end())
        return STATUS_OBJECT_NAME_NOT_FOUND;
    InterfaceEntry& entry = it->second;
    if (enable) {
        if (entry.enabled)
            return STATUS_OBJECT_NAME_EXISTS;
        entry.enabled = true;
        // An enabled interface can be opened by its link name.
        Links()[UpperCase(entry.link)] = DeviceRecordOf(entry.pdo)->name;
    } else {
        if (!entry.enabled)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        entry.enabled = false;
        Links().erase(UpperCase(entry.link));
    }
    return STATUS_SUCCESS;
}

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT device, ULONG keyType, ACCESS_MASK access,
                                 PHANDLE key) {
    DeviceRecord* record = DeviceRecordOf(device);
    if (record->instanceId.empty())
        return STATUS_INVALID_DEVICE_REQUEST;
    if (keyType != PLUGPLAY_REGKEY_DEVICE)
        return STATUS_INVALID_PARAMETER;
    std::u16string path = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\" +
                          record->instanceId + u"\\Device Parameters";
    UNICODE_STRING name;
    name.Buffer = const_cast<PWSTR>(path.c_str());
    name.Length = static_cast<USHORT>(path.size() * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    // Windows creates the hardware key on first open.
    return ZwCreateKey(key, access, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
}

NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT device, DEVICE_REGISTRY_PROPERTY property,
                             ULONG bufferLength, PVOID buffer, PULONG resultLength) {
    DeviceRecord* record = DeviceRecordOf(device);
    if (record->instanceId.empty())
        return STATUS_INVALID_DEVICE_REQUEST;
    if (property != DevicePropertyPhysicalDeviceObjectName)
        return STATUS_INVALID_PARAMETER_2;
    ULONG needed = static_cast<ULONG>((record->name.size() + 1) * sizeof(WCHAR));
    *resultLength = needed;
    if (bufferLength < needed)
        return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(buffer, record->name.c_str(), needed);
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT file) {
    return TopOfStack(file->DeviceObject);
}
