// Text conversion between WCHAR and 8-bit code pages. The host's ANSI code page (CP_ACP) is
// Windows-1252; CP_UTF8 is UTF-8.
#pragma once

#include <string>

#include "platform/host/types.h"
#include "platform/host/runtime/errors.h"

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_THREAD_ACP 3
#define CP_UTF8 65001
#define MB_PRECOMPOSED 0x00000001
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_NO_BEST_FIT_CHARS 0x00000400
#define WC_ERR_INVALID_CHARS 0x00000080

UINT GetACP();
// As on Windows: a length of -1 converts through the terminator (which is counted); a zero
// output size returns the size needed; a short output fails with ERROR_INSUFFICIENT_BUFFER.
// Code pages: CP_ACP, CP_THREAD_ACP and 1252 (Windows-1252, without best-fit mappings: every
// character outside the code page becomes the default character), and CP_UTF8 (invalid input
// becomes U+FFFD, or fails with ERROR_NO_UNICODE_TRANSLATION under MB_ERR_INVALID_CHARS /
// WC_ERR_INVALID_CHARS). Other code pages fail with ERROR_INVALID_PARAMETER.
int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar);
int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                        LPBOOL lpUsedDefaultChar);

namespace tarnel::host {

// One Windows-1252 byte as a WCHAR (every byte has one; the five undefined bytes map to the C1
// controls of the same value, as on Windows).
WCHAR AnsiToWide(unsigned char c);
// The Windows-1252 byte for a WCHAR; false when the code page has none.
bool WideToAnsi(WCHAR c, unsigned char& out);

// UTF-16 <-> UTF-8 for the host's own use (Linux file names, settings). Unpaired surrogates and
// invalid UTF-8 become U+FFFD; `lossless` (when given) tells whether that happened.
std::string WideToUtf8(const WCHAR* text, size_t length, bool* lossless = nullptr);
std::string WideToUtf8(const std::u16string& text, bool* lossless = nullptr);
std::u16string Utf8ToWide(const std::string& text, bool* lossless = nullptr);

}  // namespace tarnel::host
