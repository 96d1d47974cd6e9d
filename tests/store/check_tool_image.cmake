# Checks a Windows image of the tool's store and installer code: the architecture, the system
# functions it imports, and that the functions the tool finds at run time (absent from older
# Windows) are not among them. Run with -DIMAGE=... -DOBJDUMP=... -DARCH=x86|x64.
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/pe_dump.cmake)
if(ARCH STREQUAL "x86")
    set(format "file format pei-i386")
else()
    set(format "file format pei-x86-64")
endif()
if(NOT dump MATCHES "${format}")
    message(FATAL_ERROR "${IMAGE} is not a ${ARCH} PE image")
endif()
foreach(name RegOpenKeyExW RegCreateKeyExW RegQueryValueExW RegSetValueExW RegEnumKeyW
        RegCloseKey SHDeleteKeyW inet_addr htons IsWow64Process GetModuleHandleW GetProcAddress
        GetVersionExW GetSystemMetrics AdjustTokenPrivileges ExitWindowsEx GetSystemDirectoryW
        SetupGetInfFileListW SetupOpenInfFileW SetupFindFirstLineW SetupGetStringFieldW
        SetupCloseInfFile DeleteFileW SetFileAttributesW GetWindowsDirectoryW
        SetupDiGetINFClassW SetupDiCreateDeviceInfoList SetupDiCreateDeviceInfoW
        SetupDiSetDeviceRegistryPropertyW SetupDiCallClassInstaller SetupDiGetClassDevsW
        SetupDiEnumDeviceInfo SetupDiGetDeviceRegistryPropertyW SetupDiDestroyDeviceInfoList
        UpdateDriverForPlugAndPlayDevicesW OpenSCManagerW OpenServiceW ControlService
        QueryServiceStatus DeleteService CloseServiceHandle MessageBoxW FindFirstFileW)
    if(NOT dump MATCHES "[ \t]${name}\n")
        message(FATAL_ERROR "${IMAGE} does not import ${name}")
    endif()
endforeach()
foreach(name RegDeleteKeyExW VerifyVersionInfoW VerSetConditionMask SetupUninstallOEMInfW)
    if(dump MATCHES "[ \t]${name}\n")
        message(FATAL_ERROR "${IMAGE} imports ${name}; it must be looked up at run time")
    endif()
endforeach()
message(STATUS "${IMAGE}: ${ARCH} image with the store's imports")
