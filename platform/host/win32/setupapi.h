// SetupAPI of the host machine, as far as the configuration tool calls it: INF files (open,
// lines, string fields, the INF folder's list, the class of an INF, removing an oem copy).
#pragma once

#include "platform/host/types.h"
#include "platform/host/runtime/errors.h"
#include "platform/host/win32/setupapi_errors.h"

using HINF = PVOID;

struct INFCONTEXT {
    PVOID Inf;
    PVOID CurrentInf;
    UINT Section;
    UINT Line;
};
using PINFCONTEXT = INFCONTEXT*;
using LPGUID = GUID*;

#define INF_STYLE_NONE 0x00000000
#define INF_STYLE_OLDNT 0x00000001
#define INF_STYLE_WIN4 0x00000002
#define SUOI_FORCEDELETE 0x00000001
#define MAX_CLASS_NAME_LEN 32

// A name without a folder is looked up in the INF folder (C:\Windows\INF). INVALID_HANDLE_VALUE
// on failure: ERROR_FILE_NOT_FOUND, a syntax error (with its line in *ErrorLine),
// ERROR_WRONG_INF_STYLE or ERROR_CLASS_MISMATCH.
HINF SetupOpenInfFileW(PCWSTR FileName, PCWSTR InfClass, DWORD InfStyle, UINT* ErrorLine);
void SetupCloseInfFile(HINF InfHandle);
// ERROR_SECTION_NOT_FOUND or ERROR_LINE_NOT_FOUND when there is no such line; a null key
// finds the section's first line.
BOOL SetupFindFirstLineW(HINF InfHandle, PCWSTR Section, PCWSTR Key, PINFCONTEXT Context);
// Field 0 is the line's key. ERROR_INVALID_PARAMETER past the last field,
// ERROR_INSUFFICIENT_BUFFER (with *RequiredSize) when the text does not fit.
BOOL SetupGetStringFieldW(PINFCONTEXT Context, DWORD FieldIndex, PWSTR ReturnBuffer,
                          DWORD ReturnBufferSize, PDWORD RequiredSize);
// The names of the INF files of a folder (the INF folder when null) of the given styles, as a
// multi-string.
BOOL SetupGetInfFileListW(PCWSTR DirectoryPath, DWORD InfStyle, PWSTR ReturnBuffer,
                          DWORD ReturnBufferSize, PDWORD RequiredSize);
BOOL SetupDiGetINFClassW(PCWSTR InfName, LPGUID ClassGuid, PWSTR ClassName, DWORD ClassNameSize,
                         PDWORD RequiredSize);
// Deletes an oemN.inf of the INF folder with its .pnf. Without SUOI_FORCEDELETE an INF that a
// present device was installed from stays (ERROR_INF_IN_USE_BY_DEVICES).
BOOL SetupUninstallOEMInfW(PCWSTR InfFileName, DWORD Flags, PVOID Reserved);

// ---- Device information lists and the class installer ----
struct HWND__;
using HWND = HWND__*;
using HDEVINFO = PVOID;

struct SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
};
using PSP_DEVINFO_DATA = SP_DEVINFO_DATA*;
using DI_FUNCTION = UINT;

#define DICD_GENERATE_ID 0x00000001
#define DIGCF_DEFAULT 0x00000001
#define DIGCF_PRESENT 0x00000002
#define DIGCF_ALLCLASSES 0x00000004
#define DIF_REMOVE 0x00000005
#define DIF_REGISTERDEVICE 0x00000019
#define SPDRP_HARDWAREID 0x00000001
#define INSTALLFLAG_FORCE 0x00000001

HDEVINFO SetupDiCreateDeviceInfoList(const GUID* ClassGuid, HWND hwndParent);
// Root-enumerated devices present on the machine (every instance key under Enum\ROOT).
HDEVINFO SetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator, HWND hwndParent,
                              DWORD Flags);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
// With DICD_GENERATE_ID the device is ROOT\<name>\NNNN, the next free number; it stays a
// phantom, dropped with its list, until DIF_REGISTERDEVICE.
BOOL SetupDiCreateDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceName, const GUID* ClassGuid,
                              PCWSTR DeviceDescription, HWND hwndParent, DWORD CreationFlags,
                              PSP_DEVINFO_DATA DeviceInfoData);
BOOL SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                           PSP_DEVINFO_DATA DeviceInfoData);
BOOL SetupDiSetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                       DWORD Property, const BYTE* PropertyBuffer,
                                       DWORD PropertyBufferSize);
BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                       DWORD Property, PDWORD PropertyRegDataType,
                                       PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                       PDWORD RequiredSize);
// DIF_REGISTERDEVICE and DIF_REMOVE (the device stopped and removed with its instance and
// driver keys, its COM number released). A 32-bit process on 64-bit Windows gets
// ERROR_IN_WOW64.
BOOL SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                               PSP_DEVINFO_DATA DeviceInfoData);

// Installs the INF's driver on every present device with the hardware id: the INF copied to
// the INF folder as oemN.inf (with its .PNF), CopyFiles, AddService, the Ports class installer
// (COM number from the COM port database, PortName, FriendlyName), then the device started.
// ERROR_IN_WOW64 for a 32-bit process on 64-bit Windows.
BOOL UpdateDriverForPlugAndPlayDevicesW(HWND hwndParent, PCWSTR HardwareId, PCWSTR FullInfPath,
                                        DWORD InstallFlags, PBOOL bRebootRequired);
