// What renaming a COM port calls on the host machine: the device's hardware key and friendly
// name through SetupAPI, the configuration manager's restart of a device (removal, then setup
// again, so its driver publishes the names from "PortName"), and the COM port database.
#pragma once

#include <string>

#include "platform/host/types.h"
#include "platform/host/win32/registry.h"
#include "platform/host/win32/setupapi.h"

#define SPDRP_FRIENDLYNAME 0x0000000C
#define DICS_FLAG_GLOBAL 0x00000001
#define DIREG_DEV 0x00000001

// The device's hardware key (Enum\<id>\Device Parameters), created when missing;
// INVALID_HANDLE_VALUE on failure (last error set).
HKEY SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope,
                          DWORD HwProfile, DWORD KeyType, REGSAM samDesired);
// The GUIDs of a class name ("Ports"): the count in *RequiredSize; ERROR_INSUFFICIENT_BUFFER
// when the list is too small for them.
BOOL SetupDiClassGuidsFromNameW(PCWSTR ClassName, LPGUID ClassGuidList, DWORD ClassGuidListSize,
                                PDWORD RequiredSize);

// ---- Configuration manager ----
using DEVINST = DWORD;
using CONFIGRET = DWORD;
using PNP_VETO_TYPE = int;
#define CR_SUCCESS 0x00000000
#define CR_INVALID_DEVNODE 0x00000005
#define CR_REMOVE_VETOED 0x00000017
#define CR_FAILURE 0x00000013
#define CM_REMOVE_NO_RESTART 0x00000002
#define CM_SETUP_DEVNODE_READY 0x00000000

// Removes the device's driver stack (its driver deletes its names); the instance stays.
// CR_REMOVE_VETOED when the device refuses (for example while a handle is open).
CONFIGRET CM_Query_And_Remove_SubTreeW(DEVINST dnAncestor, PNP_VETO_TYPE* pVetoType,
                                       LPWSTR pszVetoName, ULONG ulNameLength, ULONG ulFlags);
// Starts a removed device again from its registry state.
CONFIGRET CM_Setup_DevNode(DEVINST dnDevInst, ULONG ulFlags);

// ---- COM port database (msports.dll, looked up by name) ----
#define ERROR_NOT_CONNECTED 2250L
// ERROR_SUCCESS or a Win32 error. ClaimPort of a used number without force:
// ERROR_SHARING_VIOLATION; numbers outside 1..256: ERROR_INVALID_PARAMETER.
LONG ComDBOpen(PHANDLE phComDB);
LONG ComDBClose(HANDLE hComDB);
LONG ComDBClaimPort(HANDLE hComDB, DWORD ComNumber, BOOL ForceClaim, PBOOL Forced);
LONG ComDBReleasePort(HANDLE hComDB, DWORD ComNumber);

namespace tarnel::host {
// Device instance handles are machine-wide numbers given to instance ids on first sight.
DWORD DevNodeOf(const std::u16string& instanceId);
// The instance id of a member of a device information list; false when it names none.
bool DeviceInstanceOf(HDEVINFO set, PSP_DEVINFO_DATA data, std::u16string& instanceId);
}  // namespace tarnel::host
