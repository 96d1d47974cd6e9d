// SetupAPI device information lists and the class installer functions the tool calls, over the
// machine's instance keys and the host kernel's Plug and Play manager.
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "platform/host/machine/machine.h"
#include "platform/host/win32/device_interfaces.h"
#include "platform/host/win32/device_registry.h"
#include "platform/host/win32/files.h"
#include "platform/host/win32/pnp_manager.h"
#include "platform/host/win32/port_rename.h"
#include "platform/host/win32/process.h"
#include "platform/host/win32/setupapi.h"

namespace dr = tarnel::host::devreg;

namespace {

struct Device {
    std::u16string id;  // ROOT\PORTS\0000
    GUID classGuid;
    bool phantom;  // created by this list and not registered yet
};

struct DeviceSet {
    GUID classGuid{};
    std::vector<Device> devices;
};

struct SetTable {
    std::mutex mutex;
    std::map<ULONG_PTR, std::shared_ptr<DeviceSet>> open;
    ULONG_PTR next = 0x44490000;
};

SetTable& sets() {
    static SetTable t;
    return t;
}

std::shared_ptr<DeviceSet> find(HDEVINFO h) {
    std::lock_guard<std::mutex> lock(sets().mutex);
    auto it = sets().open.find(reinterpret_cast<ULONG_PTR>(h));
    return it == sets().open.end() ? nullptr : it->second;
}

HDEVINFO add(std::shared_ptr<DeviceSet> set) {
    std::lock_guard<std::mutex> lock(sets().mutex);
    const ULONG_PTR h = sets().next;
    sets().next += 4;
    sets().open[h] = std::move(set);
    return reinterpret_cast<HDEVINFO>(h);
}

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// The device a SP_DEVINFO_DATA names in its set.
Device* deviceOf(DeviceSet& set, PSP_DEVINFO_DATA data) {
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA) || data->Reserved == 0 ||
        data->Reserved > set.devices.size())
        return nullptr;
    return &set.devices[data->Reserved - 1];
}

void describe(const DeviceSet& set, size_t index, PSP_DEVINFO_DATA data) {
    data->ClassGuid = set.devices[index].classGuid;
    data->DevInst = tarnel::host::DevNodeOf(set.devices[index].id);
    data->Reserved = index + 1;
}

bool underWow64() {
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

GUID guidOf(const std::u16string& text) {
    GUID g{};
    unsigned p[11];
    std::string t(text.begin(), text.end());
    if (std::sscanf(t.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &p[0], &p[1], &p[2],
                    &p[3], &p[4], &p[5], &p[6], &p[7], &p[8], &p[9], &p[10]) == 11) {
        g.Data1 = p[0];
        g.Data2 = USHORT(p[1]);
        g.Data3 = USHORT(p[2]);
        for (int i = 0; i < 8; ++i)
            g.Data4[i] = UCHAR(p[3 + i]);
    }
    return g;
}

// Stops and removes a device: the driver's removal, the COM number, the driver and instance keys.
DWORD removeDevice(const std::u16string& id) {
    if (DWORD e = tarnel::host::PnpRemoveDevice(id); e != ERROR_SUCCESS)
        return e;
    const std::u16string key = dr::kEnum + id;
    const std::u16string portName = dr::GetText(key + u"\\Device Parameters", u"PortName");
    if (dr::GetText(key, u"ClassGUID") == dr::kPortsGuid)
        dr::ReleaseComNumber(dr::ComNumberOf(portName));
    const std::u16string driver = dr::GetText(key, u"Driver");
    if (!driver.empty())
        dr::DeleteTree(dr::kClass + driver);
    return dr::DeleteTree(key) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

// The instance key's value that holds a device property, or null for one the host lacks.
const char16_t* propertyValue(DWORD property) {
    switch (property) {
        case SPDRP_HARDWAREID:
            return u"HardwareID";
        case SPDRP_FRIENDLYNAME:
            return u"FriendlyName";
    }
    return nullptr;
}

}  // namespace

bool tarnel::host::DeviceInstanceOf(HDEVINFO h, PSP_DEVINFO_DATA data, std::u16string& id) {
    std::shared_ptr<DeviceSet> set = find(h);
    Device* device = set ? deviceOf(*set, data) : nullptr;
    if (!device)
        return false;
    id = device->id;
    return true;
}

HDEVINFO SetupDiCreateDeviceInfoList(const GUID* ClassGuid, HWND hwndParent) {
    UNREFERENCED_PARAMETER(hwndParent);
    auto set = std::make_shared<DeviceSet>();
    if (ClassGuid)
        set->classGuid = *ClassGuid;
    return add(set);
}

HDEVINFO SetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator, HWND hwndParent,
                              DWORD Flags) {
    UNREFERENCED_PARAMETER(hwndParent);
    if ((Flags & DIGCF_DEVICEINTERFACE) && !(Flags & DIGCF_ALLCLASSES) &&
        !(Enumerator && *Enumerator))
        return tarnel::host::GetInterfaceDevs(ClassGuid);
    if ((!ClassGuid && !(Flags & DIGCF_ALLCLASSES)) || (Enumerator && *Enumerator)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_shared<DeviceSet>();
    for (const std::u16string& id : dr::RootInstances()) {
        const GUID cls = guidOf(dr::GetText(dr::kEnum + id, u"ClassGUID"));
        if (!(Flags & DIGCF_ALLCLASSES) && std::memcmp(&cls, ClassGuid, sizeof(GUID)) != 0)
            continue;
        set->devices.push_back({id, cls, false});
    }
    return add(set);
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    std::shared_ptr<DeviceSet> set;
    {
        std::lock_guard<std::mutex> lock(sets().mutex);
        auto it = sets().open.find(reinterpret_cast<ULONG_PTR>(DeviceInfoSet));
        if (it == sets().open.end())
            return tarnel::host::DestroyInterfaceDevs(DeviceInfoSet) ? TRUE
                                                                     : fail(ERROR_INVALID_HANDLE);
        set = it->second;
        sets().open.erase(it);
    }
    // Phantoms never registered go with their list.
    for (const Device& d : set->devices)
        if (d.phantom)
            dr::DeleteTree(dr::kEnum + d.id);
    return TRUE;
}

BOOL SetupDiCreateDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceName, const GUID* ClassGuid,
                              PCWSTR DeviceDescription, HWND hwndParent, DWORD CreationFlags,
                              PSP_DEVINFO_DATA DeviceInfoData) {
    UNREFERENCED_PARAMETER(hwndParent);
    std::shared_ptr<DeviceSet> set = find(DeviceInfoSet);
    if (!set)
        return fail(ERROR_INVALID_HANDLE);
    if (!DeviceName || !ClassGuid || !(CreationFlags & DICD_GENERATE_ID) ||
        (DeviceInfoData && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)))
        return fail(ERROR_INVALID_PARAMETER);
    std::u16string cls(DeviceName);
    for (char16_t& c : cls)
        if (c >= u'a' && c <= u'z')
            c = char16_t(c - u'a' + u'A');
    const std::u16string base = dr::kEnum + u"ROOT\\" + cls + u"\\";
    for (int n = 0; n < 10000; ++n) {
        char name[16];
        std::snprintf(name, sizeof name, "%04d", n);
        const std::u16string id = u"ROOT\\" + cls + u"\\" + std::u16string(name, name + 4);
        if (dr::KeyExists(dr::kEnum + id))
            continue;
        if (!dr::SetText(dr::kEnum + id, u"ClassGUID", dr::FormatGuid(*ClassGuid)))
            return fail(ERROR_ACCESS_DENIED);
        if (DeviceDescription)
            dr::SetText(dr::kEnum + id, u"DeviceDesc", DeviceDescription);
        set->devices.push_back({id, *ClassGuid, true});
        if (DeviceInfoData)
            describe(*set, set->devices.size() - 1, DeviceInfoData);
        return TRUE;
    }
    return fail(ERROR_DEVINST_ALREADY_EXISTS);
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                           PSP_DEVINFO_DATA DeviceInfoData) {
    std::shared_ptr<DeviceSet> set = find(DeviceInfoSet);
    if (!set)
        return fail(ERROR_INVALID_HANDLE);
    if (!DeviceInfoData || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
        return fail(ERROR_INVALID_USER_BUFFER);
    if (MemberIndex >= set->devices.size())
        return fail(ERROR_NO_MORE_ITEMS);
    describe(*set, MemberIndex, DeviceInfoData);
    return TRUE;
}

BOOL SetupDiSetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                       DWORD Property, const BYTE* PropertyBuffer,
                                       DWORD PropertyBufferSize) {
    std::shared_ptr<DeviceSet> set = find(DeviceInfoSet);
    if (!set)
        return fail(ERROR_INVALID_HANDLE);
    Device* device = deviceOf(*set, DeviceInfoData);
    if (!device)
        return fail(ERROR_INVALID_PARAMETER);
    const char16_t* value = propertyValue(Property);
    if (!value)
        return fail(ERROR_INVALID_REG_PROPERTY);
    // Whole characters ending in a null: two for the hardware-id multi-string.
    const DWORD nulls = Property == SPDRP_HARDWAREID ? 4 : 2;
    if (!PropertyBuffer || PropertyBufferSize < nulls || PropertyBufferSize % 2)
        return fail(ERROR_INVALID_DATA);
    for (DWORD i = 1; i <= nulls; ++i)
        if (PropertyBuffer[PropertyBufferSize - i])
            return fail(ERROR_INVALID_DATA);
    std::vector<BYTE> data(PropertyBuffer, PropertyBuffer + PropertyBufferSize);
    return dr::SetRaw(dr::kEnum + device->id, value,
                      Property == SPDRP_HARDWAREID ? REG_MULTI_SZ : REG_SZ, data)
               ? TRUE
               : fail(ERROR_ACCESS_DENIED);
}

BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                       DWORD Property, PDWORD PropertyRegDataType,
                                       PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                       PDWORD RequiredSize) {
    std::shared_ptr<DeviceSet> set = find(DeviceInfoSet);
    if (!set)
        return fail(ERROR_INVALID_HANDLE);
    Device* device = deviceOf(*set, DeviceInfoData);
    if (!device)
        return fail(ERROR_INVALID_PARAMETER);
    const char16_t* value = propertyValue(Property);
    if (!value)
        return fail(ERROR_INVALID_REG_PROPERTY);
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!dr::GetRaw(dr::kEnum + device->id, value, type, data))
        return fail(ERROR_INVALID_DATA);
    if (PropertyRegDataType)
        *PropertyRegDataType = type;
    if (RequiredSize)
        *RequiredSize = static_cast<DWORD>(data.size());
    if (!PropertyBuffer || PropertyBufferSize < data.size())
        return fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(PropertyBuffer, data.data(), data.size());
    return TRUE;
}

BOOL SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                               PSP_DEVINFO_DATA DeviceInfoData) {
    std::shared_ptr<DeviceSet> set = find(DeviceInfoSet);
    if (!set)
        return fail(ERROR_INVALID_HANDLE);
    Device* device = deviceOf(*set, DeviceInfoData);
    if (!device)
        return fail(ERROR_INVALID_PARAMETER);
    if (underWow64())
        return fail(ERROR_IN_WOW64);
    switch (InstallFunction) {
        case DIF_REGISTERDEVICE:
            if (!device->phantom)
                return fail(ERROR_DEVINST_ALREADY_EXISTS);
            device->phantom = false;
            if (dr::GetText(dr::kEnum + device->id, u"ClassGUID") == dr::kPortsGuid)
                dr::SetText(dr::kEnum + device->id, u"Class", u"Ports");
            return TRUE;
        case DIF_REMOVE: {
            if (DWORD e = removeDevice(device->id); e != ERROR_SUCCESS)
                return fail(e);
            device->phantom = false;
            return TRUE;
        }
    }
    return fail(ERROR_DI_DO_DEFAULT);
}
