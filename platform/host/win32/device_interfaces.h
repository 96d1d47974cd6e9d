// Device interfaces of the host machine's attached USB printers (the machine settings'
// "usb_printer" lines), listed through SetupAPI and opened by their interface paths.
#pragma once

#include <string>

#include "platform/host/types.h"
#include "platform/host/win32/setupapi.h"

#define DIGCF_DEVICEINTERFACE 0x00000010

struct SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
};
using PSP_DEVICE_INTERFACE_DATA = SP_DEVICE_INTERFACE_DATA*;

struct SP_DEVICE_INTERFACE_DETAIL_DATA_W {
    DWORD cbSize;
    WCHAR DevicePath[1];
};
using PSP_DEVICE_INTERFACE_DETAIL_DATA_W = SP_DEVICE_INTERFACE_DETAIL_DATA_W*;

// The interface at MemberIndex of the class; ERROR_NO_MORE_ITEMS past the last.
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
// The interface's path; ERROR_INSUFFICIENT_BUFFER with *RequiredSize when the detail buffer
// is too small, ERROR_INVALID_USER_BUFFER when its cbSize is not the structure's size.
BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet,
                                      PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                      PSP_DEVINFO_DATA DeviceInfoData);

namespace tarnel::host {
// SetupDiGetClassDevsW with DIGCF_DEVICEINTERFACE: the attached printers' interfaces of the class.
HDEVINFO GetInterfaceDevs(const GUID* interfaceClass);
// SetupDiDestroyDeviceInfoList of such a list; false when the handle is not one.
bool DestroyInterfaceDevs(HDEVINFO set);
// CreateFileW on an attached printer's interface path ("\\?\usb#..."): true when the name is
// one (the result in *handle: a handle, or INVALID_HANDLE_VALUE with the last error).
bool OpenUsbInterface(const char16_t* name, HANDLE* handle);
}  // namespace tarnel::host
