// Wall clock, tick count, sleeping and FILETIME/SYSTEMTIME conversion on the host. FILETIME counts
// 100 ns since 1601-01-01 UTC; local time is the Linux time zone.
#include "platform/host/win32/time.h"

#include <cerrno>
#include <ctime>

#include <sched.h>
#include <unistd.h>

#include "platform/host/runtime/errors.h"

namespace {

constexpr std::int64_t kTicksPerSecond = 10'000'000;
constexpr std::int64_t kTicksPerDay = kTicksPerSecond * 86'400;
// Days from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kDaysTo1970 = 134'774;
// The last FILETIME Windows converts: 30827-12-31 23:59:59.999 lies below 2^63.
constexpr std::uint64_t kMaxTicks = 0x7FFFFFFFFFFFFFFFULL;

// Days since 1970-01-01 of a proleptic Gregorian date (the classic era-based algorithm).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
}

bool isLeap(unsigned y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

unsigned daysInMonth(unsigned y, unsigned m) {
    static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeap(y) ? 29 : kDays[m - 1];
}

std::uint64_t toTicks(const FILETIME& ft) {
    return (std::uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

FILETIME fromTicks(std::uint64_t ticks) {
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// The offset of local time from UTC now, in seconds (Windows applies the current bias).
long currentUtcOffset() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local.tm_gmtoff;
}

std::uint64_t millisecondsSinceBoot() {
    timespec ts{};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return std::uint64_t(ts.tv_sec) * 1000 + std::uint64_t(ts.tv_nsec) / 1'000'000;
}

}  // namespace

namespace tarnel::host {

FILETIME UnixToFileTime(std::int64_t seconds, long nanoseconds) {
    std::int64_t ticks = (seconds + kDaysTo1970 * 86'400) * kTicksPerSecond + nanoseconds / 100;
    return fromTicks(ticks < 0 ? 0 : std::uint64_t(ticks));
}

void FileTimeToUnix(const FILETIME& ft, std::int64_t& seconds, long& nanoseconds) {
    std::int64_t ticks = static_cast<std::int64_t>(toTicks(ft) & kMaxTicks);
    seconds = ticks / kTicksPerSecond - kDaysTo1970 * 86'400;
    nanoseconds = static_cast<long>(ticks % kTicksPerSecond) * 100;
}

}  // namespace tarnel::host

void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    *lpSystemTimeAsFileTime = tarnel::host::UnixToFileTime(ts.tv_sec, ts.tv_nsec);
}

void GetSystemTime(LPSYSTEMTIME lpSystemTime) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    FileTimeToSystemTime(&now, lpSystemTime);
}

void GetLocalTime(LPSYSTEMTIME lpSystemTime) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    std::tm local{};
    localtime_r(&ts.tv_sec, &local);
    lpSystemTime->wYear = static_cast<WORD>(local.tm_year + 1900);
    lpSystemTime->wMonth = static_cast<WORD>(local.tm_mon + 1);
    lpSystemTime->wDayOfWeek = static_cast<WORD>(local.tm_wday);
    lpSystemTime->wDay = static_cast<WORD>(local.tm_mday);
    lpSystemTime->wHour = static_cast<WORD>(local.tm_hour);
    lpSystemTime->wMinute = static_cast<WORD>(local.tm_min);
    lpSystemTime->wSecond = static_cast<WORD>(local.tm_sec);
    lpSystemTime->wMilliseconds = static_cast<WORD>(ts.tv_nsec / 1'000'000);
}

DWORD GetTickCount() {
    return static_cast<DWORD>(millisecondsSinceBoot());
}

ULONGLONG GetTickCount64() {
    return millisecondsSinceBoot();
}

void Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == INFINITE) {
        for (;;)
            ::pause();
    }
    if (dwMilliseconds == 0) {
        sched_yield();
        return;
    }
    timespec left{static_cast<time_t>(dwMilliseconds / 1000),
                  static_cast<long>(dwMilliseconds % 1000) * 1'000'000};
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
}

BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime) {
    std::uint64_t ticks = toTicks(*lpFileTime);
    if (ticks > kMaxTicks) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::int64_t days = static_cast<std::int64_t>(ticks / kTicksPerDay);
    std::uint64_t rest = ticks % kTicksPerDay;
    std::int64_t year;
    unsigned month, day;
    civilFromDays(days - kDaysTo1970, year, month, day);
    lpSystemTime->wYear = static_cast<WORD>(year);
    lpSystemTime->wMonth = static_cast<WORD>(month);
    lpSystemTime->wDay = static_cast<WORD>(day);
    lpSystemTime->wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
    lpSystemTime->wHour = static_cast<WORD>(rest / (3600 * kTicksPerSecond));
    lpSystemTime->wMinute = static_cast<WORD>(rest / (60 * kTicksPerSecond) % 60);
    lpSystemTime->wSecond = static_cast<WORD>(rest / kTicksPerSecond % 60);
    lpSystemTime->wMilliseconds = static_cast<WORD>(rest / 10'000 % 1000);
    return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime) {
    const SYSTEMTIME& st = *lpSystemTime;
    // wDayOfWeek is ignored, as on Windows.
    if (st.wYear < 1601 || st.wYear > 30827 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 ||
        st.wDay > daysInMonth(st.wYear, st.wMonth) || st.wHour > 23 || st.wMinute > 59 ||
        st.wSecond > 59 || st.wMilliseconds > 999) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::int64_t days = daysFromCivil(st.wYear, st.wMonth, st.wDay) + kDaysTo1970;
    std::int64_t seconds = days * 86'400 + st.wHour * 3600 + st.wMinute * 60 + st.wSecond;
    std::uint64_t ticks = std::uint64_t(seconds) * kTicksPerSecond + st.wMilliseconds * 10'000ULL;
    *lpFileTime = fromTicks(ticks);
    return TRUE;
}

BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, LPFILETIME lpLocalFileTime) {
    std::int64_t ticks = static_cast<std::int64_t>(toTicks(*lpFileTime));
    std::int64_t local = ticks + std::int64_t(currentUtcOffset()) * kTicksPerSecond;
    if (toTicks(*lpFileTime) > kMaxTicks || local < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpLocalFileTime = fromTicks(std::uint64_t(local));
    return TRUE;
}

LONG CompareFileTime(const FILETIME* lpFileTime1, const FILETIME* lpFileTime2) {
    std::uint64_t a = toTicks(*lpFileTime1);
    std::uint64_t b = toTicks(*lpFileTime2);
    return a < b ? -1 : a > b ? 1 : 0;
}
