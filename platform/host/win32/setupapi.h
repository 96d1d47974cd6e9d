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
