// Text conversion between WCHAR and 8-bit code pages. The host's ANSI code page (CP_ACP) is
// Windows-1252; CP_UTF8 is UTF-8.
#pragma once

#include "platform/host/types.h"
#include "platform/host/win32/errors.h"

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_UTF8 65001
#define MB_PRECOMPOSED 0x00000001
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_NO_BEST_FIT_CHARS 0x00000400

UINT GetACP();
// As on Windows: a length of -1 converts through the terminator (which is counted); a zero
// output size returns the size needed; a short output fails with ERROR_INSUFFICIENT_BUFFER.
int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar);
int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                        LPBOOL lpUsedDefaultChar);
