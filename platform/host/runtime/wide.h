// Wide-text functions over 16-bit WCHAR (libc's wchar_t is 32-bit on Linux and never used).
// The formatting functions follow msvcrt: %s is wide, %S and %hs narrow; truncation returns -1.
#pragma once

#include <cstdarg>

#include "platform/host/types.h"

// These are C++ overloads of libc's names: they differ by parameter type (WCHAR is char16_t), so a
// file that also includes <cwchar> or <cwctype> still compiles and picks the WCHAR versions.
size_t wcslen(const WCHAR* s);
size_t wcsnlen(const WCHAR* s, size_t maxCount);
int wcscmp(const WCHAR* a, const WCHAR* b);
int wcsncmp(const WCHAR* a, const WCHAR* b, size_t n);
// Case-insensitive comparisons fold with towlower, as msvcrt does.
int _wcsicmp(const WCHAR* a, const WCHAR* b);
int _wcsnicmp(const WCHAR* a, const WCHAR* b, size_t n);
WCHAR* wcschr(const WCHAR* s, WCHAR c);
WCHAR* wcsrchr(const WCHAR* s, WCHAR c);
WCHAR* wcsstr(const WCHAR* haystack, const WCHAR* needle);
// Simple case mapping: ASCII, Latin-1, Latin Extended-A/Additional, Greek, Cyrillic, Armenian
// and fullwidth Latin; every other character maps to itself.
WCHAR towupper(WCHAR c);
WCHAR towlower(WCHAR c);
// Windows' widths: LONG and ULONG are 32-bit, so out-of-range values clamp to their limits
// (errno ERANGE) as on Windows, and "-1" read by wcstoul is 0xFFFFFFFF.
LONG wcstol(const WCHAR* s, WCHAR** end, int base);
ULONG wcstoul(const WCHAR* s, WCHAR** end, int base);
int _wtoi(const WCHAR* s);
LONG _wtol(const WCHAR* s);

#ifndef STRUNCATE
#define STRUNCATE 80
#endif
#ifndef _TRUNCATE
#define _TRUNCATE ((size_t)-1)
#endif

// Secure-CRT style copies: 0 on success; on a short destination the destination becomes ""
// and ERANGE (34) is returned; EINVAL (22) for null arguments (the destination becomes "" when it
// can be written). wcsncpy_s with count _TRUNCATE copies what fits and returns STRUNCATE.
int wcscpy_s(WCHAR* dest, size_t destCount, const WCHAR* src);
int wcsncpy_s(WCHAR* dest, size_t destCount, const WCHAR* src, size_t count);
int wcscat_s(WCHAR* dest, size_t destCount, const WCHAR* src);

// msvcrt conventions: at most `count` characters are written; when the text fits exactly the
// result is not terminated; when it does not fit the result is -1. A null buffer with a count of
// 0 returns the length the text needs.
int _vsnwprintf(WCHAR* buffer, size_t count, const WCHAR* format, va_list args);
int _snwprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...);
// The count of characters the format would produce (without the terminator).
int _vscwprintf(const WCHAR* format, va_list args);
int _scwprintf(const WCHAR* format, ...);
// Always terminates. With count _TRUNCATE, or a count below sizeOfBuffer, a text that does not fit
// is cut and -1 returned; otherwise a text that does not fit leaves "" and returns -1 (where the
// CRT would raise its invalid-parameter handler).
int _vsnwprintf_s(WCHAR* buffer, size_t sizeOfBuffer, size_t count, const WCHAR* format,
                  va_list args);
int _snwprintf_s(WCHAR* buffer, size_t sizeOfBuffer, size_t count, const WCHAR* format, ...);
// Never truncates: a text that does not fit leaves "" and returns -1.
int vswprintf_s(WCHAR* buffer, size_t sizeOfBuffer, const WCHAR* format, va_list args);
int swprintf_s(WCHAR* buffer, size_t sizeOfBuffer, const WCHAR* format, ...);
