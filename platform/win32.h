// The tool's only window on the operating system: the real SDK on Windows, the host machine's
// Win32 personality on Linux.
#pragma once

#if defined(_WIN32)
#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <winspool.h>
#include <newdev.h>
#include <shlwapi.h>
#include <stdio.h>
#include <wchar.h>
#else
#include "platform/host/win32/windows.h"
#include "platform/host/win32/winsock.h"
#endif
