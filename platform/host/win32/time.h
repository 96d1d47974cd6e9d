// Time on the host machine: local wall clock, tick count, sleeping, file-time conversion.
#pragma once

#include <cstdint>

#include "platform/host/types.h"

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};
using PSYSTEMTIME = SYSTEMTIME*;
using LPSYSTEMTIME = SYSTEMTIME*;

#define INFINITE 0xFFFFFFFFUL

void GetLocalTime(LPSYSTEMTIME lpSystemTime);
void GetSystemTime(LPSYSTEMTIME lpSystemTime);
void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime);
// Milliseconds since the Linux host booted (sleep included, as on Windows); GetTickCount is the
// low 32 bits of GetTickCount64, so it wraps after 49.7 days like Windows'.
DWORD GetTickCount();
ULONGLONG GetTickCount64();
void Sleep(DWORD dwMilliseconds);
BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime);
BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime);
// Applies the time zone's current offset from UTC (as Windows applies the current bias).
BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, LPFILETIME lpLocalFileTime);
LONG CompareFileTime(const FILETIME* lpFileTime1, const FILETIME* lpFileTime2);

namespace tarnel::host {

// Linux time (seconds and nanoseconds since 1970 UTC) <-> FILETIME; times before 1601 become 0.
FILETIME UnixToFileTime(std::int64_t seconds, long nanoseconds);
void FileTimeToUnix(const FILETIME& fileTime, std::int64_t& seconds, long& nanoseconds);

}  // namespace tarnel::host
