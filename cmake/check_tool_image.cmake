# Checks a built Tarnel_Configuration.exe: a GUI-subsystem PE of the sub-build's processor, with
# the dialog templates, string table, icon and version resources, a manifest that asks for
# administrator rights, common controls 6 and DPI awareness, and imports from system DLLs only
# (no mingw runtime DLL beside it). Run with -DIMAGE= -DOBJDUMP= -DPROCESSOR=
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/pe_dump.cmake)
set(image ${IMAGE})
set(errors "")
if(PROCESSOR STREQUAL "x86_64")
    if(NOT dump MATCHES "file format pei-x86-64")
        list(APPEND errors "not an AMD64 image")
    endif()
else()
    if(NOT dump MATCHES "file format pei-i386")
        list(APPEND errors "not a 32-bit x86 image")
    endif()
endif()
if(NOT dump MATCHES "Subsystem[ \t]+00000002")
    list(APPEND errors "not a GUI-subsystem image")
endif()
if(NOT dump MATCHES "Resource Directory \\[\\.rsrc\\]" AND NOT dump MATCHES "\\.rsrc")
    list(APPEND errors "no resource section")
endif()

# Resource types (dialog, string, group icon, version, manifest) and the five dialogs.
foreach(type 000005 000006 00000e 000010 000018)
    if(NOT dump MATCHES "\n[0-9a-f]+   Entry: ID: 0x${type}")
        list(APPEND errors "no resource of type 0x${type}")
    endif()
endforeach()
foreach(dialog 000066 000081 000082 000085 000086)
    if(NOT dump MATCHES "\n[0-9a-f]+     Entry: ID: 0x${dialog}")
        list(APPEND errors "no dialog 0x${dialog}")
    endif()
endforeach()

# The manifest is UTF-8 text and the version block's key UTF-16 text inside .rsrc.
file(STRINGS ${image} manifest REGEX "requestedExecutionLevel|Common-Controls|dpiAware")
foreach(needle "level=\"requireAdministrator\""
        "Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"" "dpiAware")
    string(FIND "${manifest}" "${needle}" at)
    if(at EQUAL -1)
        list(APPEND errors "the manifest lacks ${needle}")
    endif()
endforeach()
file(READ ${image} bytes HEX)
string(HEX "VS_VERSION_INFO" ascii)
string(REGEX REPLACE "(..)" "\\100" utf16 "${ascii}")
string(FIND "${bytes}" "${utf16}" at)
if(at EQUAL -1)
    list(APPEND errors "no version resource")
endif()

set(system_dlls
    advapi32.dll cfgmgr32.dll comctl32.dll comdlg32.dll gdi32.dll iphlpapi.dll kernel32.dll
    msvcrt.dll newdev.dll ole32.dll oleaut32.dll setupapi.dll shell32.dll shlwapi.dll user32.dll
    uxtheme.dll version.dll winspool.drv ws2_32.dll)
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
foreach(line ${imports})
    string(REPLACE "DLL Name: " "" dll "${line}")
    string(STRIP "${dll}" dll)
    string(TOLOWER "${dll}" dll)
    if(dll MATCHES "^api-ms-win-")
        continue()
    endif()
    list(FIND system_dlls ${dll} known)
    if(known EQUAL -1)
        list(APPEND errors "imports ${dll}, which Windows does not provide")
    endif()
endforeach()

if(errors)
    string(REPLACE ";" "\n  " errors "${errors}")
    message(FATAL_ERROR "${image}:\n  ${errors}")
endif()
message(STATUS "${image}: ${PROCESSOR} GUI image, requireAdministrator manifest, version "
               "resource, system DLL imports only")
