// The attached USB printers of the machine settings as device interfaces: lists per interface
// class, their paths, and opens of those paths that refuse a printer another program holds.
#include "platform/host/win32/device_interfaces.h"

#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/host/machine/machine.h"
#include "platform/host/win32/handles.h"

namespace {

// {4D1E55B2-F16F-11CF-88CB-001111000030} and {A5DCBF10-6530-11D2-901F-00C04FB951ED}.
const GUID kHidInterface = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
const GUID kUsbInterface = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

struct InterfaceSet {
    GUID interfaceClass{};
    std::vector<std::u16string> paths;
};

struct Sets {
    std::mutex mutex;
    std::map<ULONG_PTR, std::shared_ptr<InterfaceSet>> open;
    ULONG_PTR next = 0x49460000;
};

Sets& sets() {
    static Sets s;
    return s;
}

std::shared_ptr<InterfaceSet> find(HDEVINFO h) {
    std::lock_guard<std::mutex> lock(sets().mutex);
    auto it = sets().open.find(reinterpret_cast<ULONG_PTR>(h));
    return it == sets().open.end() ? nullptr : it->second;
}

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

std::u16string wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

char16_t lower(char16_t c) {
    return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c;
}

bool equalNoCase(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}

// An open USB printer interface: it carries no data the tool reads.
class UsbInterfaceObject : public tarnel::host::KernelObject {
  public:
    static const tarnel::host::HandleKind kKind;
    UsbInterfaceObject() : KernelObject(kKind) {}
};
const tarnel::host::HandleKind UsbInterfaceObject::kKind = {"usb interface"};

}  // namespace

HDEVINFO tarnel::host::GetInterfaceDevs(const GUID* interfaceClass) {
    if (!interfaceClass) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_shared<InterfaceSet>();
    set->interfaceClass = *interfaceClass;
    const char* wanted = std::memcmp(interfaceClass, &kHidInterface, sizeof(GUID)) == 0   ? "hid"
                         : std::memcmp(interfaceClass, &kUsbInterface, sizeof(GUID)) == 0 ? "usb"
                                                                                          : "";
    for (const auto& usb : Machine::current().config().usbPrinters)
        if (usb.interfaceClass == wanted)
            set->paths.push_back(wide(usb.path));
    std::lock_guard<std::mutex> lock(sets().mutex);
    const ULONG_PTR h = sets().next;
    sets().next += 4;
    sets().open[h] = std::move(set);
    return reinterpret_cast<HDEVINFO>(h);
}

bool tarnel::host::DestroyInterfaceDevs(HDEVINFO h) {
    std::lock_guard<std::mutex> lock(sets().mutex);
    return sets().open.erase(reinterpret_cast<ULONG_PTR>(h)) != 0;
}

bool tarnel::host::OpenUsbInterface(const char16_t* name, HANDLE* handle) {
    const std::u16string path(name);
    for (const auto& usb : Machine::current().config().usbPrinters) {
        if (!equalNoCase(path, wide(usb.path)))
            continue;
        if (usb.busy) {
            SetLastError(ERROR_SHARING_VIOLATION);
            *handle = INVALID_HANDLE_VALUE;
            return true;
        }
        HANDLE h = HandleTable::instance().insert(std::make_shared<UsbInterfaceObject>());
        *handle = h ? h : INVALID_HANDLE_VALUE;
        if (h)
            SetLastError(ERROR_SUCCESS);
        return true;
    }
    return false;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    std::shared_ptr<InterfaceSet> set = find(DeviceInfoSet);
    if (!set)
        return fail(ERROR_INVALID_HANDLE);
    if (DeviceInfoData || !InterfaceClassGuid || !DeviceInterfaceData ||
        DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return fail(ERROR_INVALID_PARAMETER);
    if (std::memcmp(InterfaceClassGuid, &set->interfaceClass, sizeof(GUID)) != 0 ||
        MemberIndex >= set->paths.size())
        return fail(ERROR_NO_MORE_ITEMS);
    DeviceInterfaceData->InterfaceClassGuid = set->interfaceClass;
    DeviceInterfaceData->Flags = 1;  // SPINT_ACTIVE
    DeviceInterfaceData->Reserved = MemberIndex + 1;
    return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet,
                                      PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                      PSP_DEVINFO_DATA DeviceInfoData) {
    std::shared_ptr<InterfaceSet> set = find(DeviceInfoSet);
    if (!set)
        return fail(ERROR_INVALID_HANDLE);
    if (!DeviceInterfaceData || DeviceInterfaceData->Reserved == 0 ||
        DeviceInterfaceData->Reserved > set->paths.size() || DeviceInfoData)
        return fail(ERROR_INVALID_PARAMETER);
    const std::u16string& path = set->paths[DeviceInterfaceData->Reserved - 1];
    const DWORD needed =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                           (path.size() + 1) * sizeof(WCHAR));
    if (RequiredSize)
        *RequiredSize = needed;
    if (!DeviceInterfaceDetailData) {
        if (DeviceInterfaceDetailDataSize)
            return fail(ERROR_INVALID_USER_BUFFER);
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    if (DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
        return fail(ERROR_INVALID_USER_BUFFER);
    if (DeviceInterfaceDetailDataSize < needed)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(DeviceInterfaceDetailData->DevicePath, path.c_str(),
                (path.size() + 1) * sizeof(WCHAR));
    return TRUE;
}
