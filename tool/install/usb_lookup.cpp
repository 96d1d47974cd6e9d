// USB printer lookup over SetupAPI device interfaces and the known-id table.
#include "tool/install/usb_lookup.h"

#include <mutex>

namespace {

// {4D1E55B2-F16F-11CF-88CB-001111000030}
const GUID kHidInterface = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
// {A5DCBF10-6530-11D2-901F-00C04FB951ED}
const GUID kUsbDeviceInterface = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

// Vendor and product of the maker's printers; product "0000": any product of the vendor.
const WCHAR* const kKnownIds[5][2] = {
    {TEXT("0dd4"), TEXT("0000")}, {TEXT("0483"), TEXT("5743")}, {TEXT("04b8"), TEXT("0e20")},
    {TEXT("0519"), TEXT("2013")}, {TEXT("1504"), TEXT("0006")},
};

struct KnownTable {
    std::mutex mutex;
    XStringWList entries;
};

KnownTable& Known() {
    static KnownTable table;
    return table;
}

XStringW IdAfter(const XStringW& path, const WCHAR* marker) {
    XStringW lower = path;
    lower.MakeLower();
    const int at = lower.Find(marker);
    if (at < 0 || lower.GetLength() < at + 8)
        return XStringW();
    return lower.Mid(at + 4, 4);
}

XStringW Normalised(XStringW part, const WCHAR* prefix) {
    part.MakeLower();
    if (part.IsEmpty())
        part = TEXT("0000");
    if (!part.StartsWith(prefix))
        part = XStringW(prefix) + part;
    return part;
}

XStringWList Collect(bool paths) {
    CRegistUsb usb;
    usb.FindDevices(kHidInterface);
    usb.FindDevices(kUsbDeviceInterface);
    XStringWList list;
    for (const USB_DEVICE_RECORD& r : usb.Records())
        list.Add(paths ? r.path : r.productId);
    return list;
}

}  // namespace

void CFindUsbList::Add(XStringW vendor, XStringW product) {
    const XStringW entry =
        Normalised(vendor, TEXT("vid_")) + TEXT("&") + Normalised(product, TEXT("pid_"));
    std::lock_guard<std::mutex> lock(Known().mutex);
    if (Known().entries.Find(entry) < 0)
        Known().entries.Add(entry);
}

XStringWList CFindUsbList::Entries() {
    std::lock_guard<std::mutex> lock(Known().mutex);
    return Known().entries;
}

XStringW UsbVendorIdOf(const XStringW& path) {
    return IdAfter(path, TEXT("vid_"));
}

XStringW UsbProductIdOf(const XStringW& path) {
    return IdAfter(path, TEXT("pid_"));
}

bool IsKnownUsbDevice(const XStringW& path) {
    const XStringW vendor = UsbVendorIdOf(path), product = UsbProductIdOf(path);
    const XStringWList entries = CFindUsbList::Entries();
    for (int i = 0; i < entries.GetCount(); ++i) {
        const XStringW& entry = entries.GetAt(i);  // "vid_xxxx&pid_xxxx"
        const XStringW v = entry.Mid(4, 4), p = entry.Mid(13, 4);
        const bool anyVendor = v == TEXT("0000"), anyProduct = p == TEXT("0000");
        if (!anyProduct && anyVendor && p == product)
            return true;
        if (!anyProduct && !anyVendor && v == vendor && p == product)
            return true;
        if (anyProduct && v == vendor)
            return true;
    }
    return false;
}

CRegistUsb::CRegistUsb() {
    for (const auto& row : kKnownIds)
        CFindUsbList::Add(row[0], row[1]);
}

void CRegistUsb::FindDevices(const GUID& interfaceClass) {
    HDEVINFO devices = SetupDiGetClassDevsW(&interfaceClass, nullptr, nullptr,
                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (devices == INVALID_HANDLE_VALUE)
        return;
    // Every interface is examined: the callers count the printers and refuse more than one.
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof(data);
        if (!SetupDiEnumDeviceInterfaces(devices, nullptr, &interfaceClass, index, &data)) {
            if (GetLastError() == ERROR_NO_MORE_ITEMS)
                break;
            continue;
        }
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(devices, &data, nullptr, 0, &size, nullptr);
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
            continue;
        // Room for one more character, so the path always ends inside the buffer.
        std::vector<BYTE> buffer(size + sizeof(WCHAR), 0);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!SetupDiGetDeviceInterfaceDetailW(devices, &data, detail, size, nullptr, nullptr))
            continue;
        const XStringW path(detail->DevicePath);
        if (!IsKnownUsbDevice(path))
            continue;
        HANDLE h =
            CreateFileW(path.GetString(), GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            continue;
        CloseHandle(h);
        USB_DEVICE_RECORD record;
        record.path = path;
        record.path.MakeLower();
        record.productId = UsbProductIdOf(path);
        m_records.push_back(record);
    }
    SetupDiDestroyDeviceInfoList(devices);
}

XStringWList GetUsbDevicePathList() {
    return Collect(true);
}

XStringWList GetUsbProductIdList() {
    return Collect(false);
}
