// Wide-text functions over 16-bit WCHAR (libc's wchar_t is 32-bit on Linux and never used).
// The formatting functions follow msvcrt: %s is wide, %S and %hs narrow; truncation returns -1.
#pragma once

#include <cstdarg>

#include "platform/host/types.h"

size_t wcslen(const WCHAR* s);
size_t wcsnlen(const WCHAR* s, size_t maxCount);
int wcscmp(const WCHAR* a, const WCHAR* b);
int wcsncmp(const WCHAR* a, const WCHAR* b, size_t n);
int _wcsicmp(const WCHAR* a, const WCHAR* b);
int _wcsnicmp(const WCHAR* a, const WCHAR* b, size_t n);
WCHAR* wcschr(const WCHAR* s, WCHAR c);
WCHAR* wcsrchr(const WCHAR* s, WCHAR c);
WCHAR* wcsstr(const WCHAR* haystack, const WCHAR* needle);
WCHAR towupper(WCHAR c);
WCHAR towlower(WCHAR c);
long wcstol(const WCHAR* s, WCHAR** end, int base);
unsigned long wcstoul(const WCHAR* s, WCHAR** end, int base);
int _wtoi(const WCHAR* s);

// Secure-CRT style copies: 0 on success; on a short destination the destination becomes ""
// and ERANGE (34) is returned; EINVAL (22) for null arguments.
int wcscpy_s(WCHAR* dest, size_t destCount, const WCHAR* src);
int wcsncpy_s(WCHAR* dest, size_t destCount, const WCHAR* src, size_t count);
int wcscat_s(WCHAR* dest, size_t destCount, const WCHAR* src);

// msvcrt conventions: at most `count` characters are written; when the text fits exactly the
// result is not terminated; when it does not fit the result is -1.
int _vsnwprintf(WCHAR* buffer, size_t count, const WCHAR* format, va_list args);
int _snwprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...);
// The count of characters the format would produce (without the terminator).
int _vscwprintf(const WCHAR* format, va_list args);
// Always terminates; -1 (and truncated text) when the buffer is too small.
int _vsnwprintf_s(WCHAR* buffer, size_t sizeOfBuffer, size_t count, const WCHAR* format,
                  va_list args);
int swprintf_s(WCHAR* buffer, size_t sizeOfBuffer, const WCHAR* format, ...);

#ifndef _TRUNCATE
#define _TRUNCATE ((size_t)-1)
#endif
