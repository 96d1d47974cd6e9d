// The print spooler and the Local Port monitor of the host machine's Win32 personality, as far as
// the configuration tool uses them: local printers with their port and attributes, the port list,
// and the monitor's AddPort through XcvDataW. Also the local heap calls the callers buffer with.
#pragma once

#include "platform/host/types.h"
#include "platform/host/runtime/errors.h"

// Printers live in the machine's registry where Windows keeps them, one key per printer under
// HKLM\SYSTEM\CurrentControlSet\Control\Print\Printers (values "Name", "Port", "Attributes",
// "Printer Driver", "Share Name", "Description", "Location"); the Local Port monitor's ports are
// the value names of HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Ports (native view).
// Every call reads the registry afresh, so processes of one machine see each other's changes.

#define ERROR_INVALID_LEVEL 124L
#define ERROR_UNKNOWN_PORT 1796L
#define ERROR_INVALID_PRINTER_NAME 1801L
#define ERROR_PRINTER_ALREADY_EXISTS 1802L
#define ERROR_INVALID_PRINTER_COMMAND 1803L

#define PRINTER_ENUM_DEFAULT 0x00000001
#define PRINTER_ENUM_LOCAL 0x00000002
#define PRINTER_ENUM_CONNECTIONS 0x00000004
#define PRINTER_ENUM_NAME 0x00000008

#define PRINTER_ATTRIBUTE_QUEUED 0x00000001
#define PRINTER_ATTRIBUTE_DIRECT 0x00000002
#define PRINTER_ATTRIBUTE_DEFAULT 0x00000004
#define PRINTER_ATTRIBUTE_SHARED 0x00000008
#define PRINTER_ATTRIBUTE_NETWORK 0x00000010
#define PRINTER_ATTRIBUTE_HIDDEN 0x00000020
#define PRINTER_ATTRIBUTE_LOCAL 0x00000040
#define PRINTER_ATTRIBUTE_ENABLE_DEVQ 0x00000080
#define PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS 0x00000100
#define PRINTER_ATTRIBUTE_DO_COMPLETE_FIRST 0x00000200
#define PRINTER_ATTRIBUTE_WORK_OFFLINE 0x00000400
#define PRINTER_ATTRIBUTE_ENABLE_BIDI 0x00000800
#define PRINTER_ATTRIBUTE_RAW_ONLY 0x00001000
#define PRINTER_ATTRIBUTE_PUBLISHED 0x00002000

#define SERVER_ACCESS_ADMINISTER 0x00000001
#define SERVER_ACCESS_ENUMERATE 0x00000002
#define PRINTER_ACCESS_ADMINISTER 0x00000004
#define PRINTER_ACCESS_USE 0x00000008
#define PRINTER_ALL_ACCESS \
    (STANDARD_RIGHTS_REQUIRED | PRINTER_ACCESS_ADMINISTER | PRINTER_ACCESS_USE)
#define SERVER_ALL_ACCESS \
    (STANDARD_RIGHTS_REQUIRED | SERVER_ACCESS_ADMINISTER | SERVER_ACCESS_ENUMERATE)

#define PORT_TYPE_WRITE 0x0001
#define PORT_TYPE_READ 0x0002
#define PORT_TYPE_REDIRECTED 0x0004
#define PORT_TYPE_NET_ATTACHED 0x0008

#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

struct _devicemodeW;
using LPDEVMODEW = _devicemodeW*;
using PSECURITY_DESCRIPTOR = void*;
using HLOCAL = void*;

struct PRINTER_INFO_2W {
    LPWSTR pServerName;
    LPWSTR pPrinterName;
    LPWSTR pShareName;
    LPWSTR pPortName;
    LPWSTR pDriverName;
    LPWSTR pComment;
    LPWSTR pLocation;
    LPDEVMODEW pDevMode;
    LPWSTR pSepFile;
    LPWSTR pPrintProcessor;
    LPWSTR pDatatype;
    LPWSTR pParameters;
    PSECURITY_DESCRIPTOR pSecurityDescriptor;
    DWORD Attributes;
    DWORD Priority;
    DWORD DefaultPriority;
    DWORD StartTime;
    DWORD UntilTime;
    DWORD Status;
    DWORD cJobs;
    DWORD AveragePPM;
};
using PPRINTER_INFO_2W = PRINTER_INFO_2W*;
using LPPRINTER_INFO_2W = PRINTER_INFO_2W*;

struct PORT_INFO_1W {
    LPWSTR pName;
};
struct PORT_INFO_2W {
    LPWSTR pPortName;
    LPWSTR pMonitorName;
    LPWSTR pDescription;
    DWORD fPortType;
    DWORD Reserved;
};
using PPORT_INFO_2W = PORT_INFO_2W*;

struct PRINTER_DEFAULTSW {
    LPWSTR pDatatype;
    LPDEVMODEW pDevMode;
    ACCESS_MASK DesiredAccess;
};
using LPPRINTER_DEFAULTSW = PRINTER_DEFAULTSW*;
using PPRINTER_DEFAULTSW = PRINTER_DEFAULTSW*;

// Local printers only: PRINTER_ENUM_LOCAL (other flags add nothing), no server name, level 2.
// Two-step as on Windows: a short buffer fails with ERROR_INSUFFICIENT_BUFFER and the size needed.
BOOL EnumPrintersW(DWORD Flags, LPWSTR Name, DWORD Level, LPBYTE pPrinterEnum, DWORD cbBuf,
                   LPDWORD pcbNeeded, LPDWORD pcReturned);
// A printer by name, or the Local Port monitor as ",XcvMonitor Local Port". Without defaults the
// access is PRINTER_ACCESS_USE (SERVER_ACCESS_ADMINISTER for the monitor).
BOOL OpenPrinterW(LPWSTR pPrinterName, PHANDLE phPrinter, LPPRINTER_DEFAULTSW pDefault);
BOOL ClosePrinter(HANDLE hPrinter);
// Level 2 only. GetPrinterW needs PRINTER_ACCESS_USE, SetPrinterW PRINTER_ACCESS_ADMINISTER;
// SetPrinterW with command 0 takes port, attributes, driver, share name, comment and location,
// refuses a port the spooler does not know (ERROR_UNKNOWN_PORT) and a new name.
BOOL GetPrinterW(HANDLE hPrinter, DWORD Level, LPBYTE pPrinter, DWORD cbBuf, LPDWORD pcbNeeded);
BOOL SetPrinterW(HANDLE hPrinter, DWORD Level, LPBYTE pPrinter, DWORD Command);
// A new local printer (level 2: name, port, driver, attributes, share name, comment, location);
// the port must exist. The handle has PRINTER_ALL_ACCESS.
HANDLE AddPrinterW(LPWSTR pName, DWORD Level, LPBYTE pPrinter);
// Levels 1 and 2; every port belongs to the Local Port monitor.
BOOL EnumPortsW(LPWSTR pName, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded,
                LPDWORD pcReturned);
// On a monitor handle: "AddPort" and "DeletePort" with the port name as a terminated wide string.
// The call's own result says whether it reached the monitor; *pdwStatus is the monitor's answer
// (ERROR_ALREADY_EXISTS for a port that exists, ERROR_ACCESS_DENIED without administer access).
BOOL XcvDataW(HANDLE hXcv, LPCWSTR pszDataName, PBYTE pInputData, DWORD cbInputData,
              PBYTE pOutputData, DWORD cbOutputData, PDWORD pcbOutputNeeded, PDWORD pdwStatus);

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes);
// NULL on success, as on Windows.
HLOCAL LocalFree(HLOCAL hMem);
