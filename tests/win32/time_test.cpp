// Time on the host: FILETIME <-> SYSTEMTIME conversion (fixed dates, limits, invalid fields,
// round trips), local time against the Linux time zone, tick counts and sleeping.
#include <cstdlib>
#include <ctime>
#include <random>

#include <gtest/gtest.h>

#include "platform/host/win32/time.h"
#include "platform/host/runtime/errors.h"

namespace {

FILETIME Ft(ULONGLONG ticks) {
    return FILETIME{DWORD(ticks), DWORD(ticks >> 32)};
}
ULONGLONG Ticks(const FILETIME& ft) {
    return (ULONGLONG(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

TEST(FileTimes, KnownDates) {
    struct Row {
        ULONGLONG ticks;
        SYSTEMTIME st;  // year, month, day of week, day, hour, minute, second, ms
    } rows[] = {
        {0, {1601, 1, 1, 1, 0, 0, 0, 0}},
        {116444736000000000ULL, {1970, 1, 4, 1, 0, 0, 0, 0}},
        {125911584000000000ULL, {2000, 1, 6, 1, 0, 0, 0, 0}},
        {125962560000000000ULL, {2000, 2, 2, 29, 0, 0, 0, 0}},
        {128331623999990000ULL, {2007, 9, 6, 1, 23, 19, 59, 999}},
        {133804815990000000ULL, {2025, 1, 6, 4, 16, 26, 39, 0}},
        {2650467743999990000ULL, {9999, 12, 5, 31, 23, 59, 59, 999}},
        {0x7FFFFFFFFFFFFFFFULL, {30828, 9, 4, 14, 2, 48, 5, 477}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.st.wYear << "-" << r.st.wMonth << "-" << r.st.wDay);
        SYSTEMTIME st{};
        FILETIME ft = Ft(r.ticks);
        ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
        EXPECT_EQ(r.st.wYear, st.wYear);
        EXPECT_EQ(r.st.wMonth, st.wMonth);
        EXPECT_EQ(r.st.wDayOfWeek, st.wDayOfWeek);
        EXPECT_EQ(r.st.wDay, st.wDay);
        EXPECT_EQ(r.st.wHour, st.wHour);
        EXPECT_EQ(r.st.wMinute, st.wMinute);
        EXPECT_EQ(r.st.wSecond, st.wSecond);
        EXPECT_EQ(r.st.wMilliseconds, st.wMilliseconds);
        FILETIME back{};
        if (r.st.wYear <= 30827) {
            ASSERT_TRUE(SystemTimeToFileTime(&r.st, &back));
            EXPECT_EQ(r.ticks / 10000, Ticks(back) / 10000) << "to the millisecond";
        }
    }
}

TEST(FileTimes, RandomRoundTrips) {
    std::mt19937_64 random(1601);
    for (int i = 0; i < 20000; ++i) {
        ULONGLONG ticks = random() % 0x7FFFFFFFFFFFFFFFULL / 10000 * 10000;
        FILETIME ft = Ft(ticks), back{};
        SYSTEMTIME st{};
        ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
        if (st.wYear > 30827)
            continue;
        ASSERT_TRUE(SystemTimeToFileTime(&st, &back)) << ticks;
        ASSERT_EQ(ticks, Ticks(back));
    }
}

TEST(FileTimes, InvalidInputIsRefused) {
    FILETIME ft = Ft(0x8000000000000000ULL);
    SYSTEMTIME st{};
    SetLastError(0);
    EXPECT_FALSE(FileTimeToSystemTime(&ft, &st));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());

    const SYSTEMTIME bad[] = {
        {1600, 12, 0, 31, 0, 0, 0, 0},  {2023, 2, 0, 29, 0, 0, 0, 0}, {1900, 2, 0, 29, 0, 0, 0, 0},
        {2024, 13, 0, 1, 0, 0, 0, 0},   {2024, 4, 0, 31, 0, 0, 0, 0}, {2024, 1, 0, 0, 0, 0, 0, 0},
        {2024, 1, 0, 1, 24, 0, 0, 0},   {2024, 1, 0, 1, 0, 60, 0, 0}, {2024, 1, 0, 1, 0, 0, 60, 0},
        {2024, 1, 0, 1, 0, 0, 0, 1000},
    };
    for (const SYSTEMTIME& s : bad) {
        SetLastError(0);
        EXPECT_FALSE(SystemTimeToFileTime(&s, &ft)) << s.wYear << "-" << s.wMonth << "-" << s.wDay;
        EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
    }
    SYSTEMTIME leap{2024, 2, 6, 29, 0, 0, 0, 0};
    EXPECT_TRUE(SystemTimeToFileTime(&leap, &ft));
    leap.wDayOfWeek = 3;  // ignored
    EXPECT_TRUE(SystemTimeToFileTime(&leap, &ft));
}

TEST(FileTimes, Comparison) {
    FILETIME a = Ft(5), b = Ft(0x100000000ULL), c = Ft(5);
    EXPECT_EQ(-1, CompareFileTime(&a, &b));
    EXPECT_EQ(1, CompareFileTime(&b, &a));
    EXPECT_EQ(0, CompareFileTime(&a, &c));
}

// Runs the body with TZ set to a zone, restoring the previous zone afterwards.
class InTimeZone {
  public:
    explicit InTimeZone(const char* zone) {
        const char* old = std::getenv("TZ");
        hadOld_ = old != nullptr;
        if (old)
            old_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~InTimeZone() {
        if (hadOld_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

  private:
    bool hadOld_ = false;
    std::string old_;
};

TEST(LocalTime, FollowsTheLinuxTimeZone) {
    InTimeZone zone("XST-5:30");  // no daylight saving: a fixed offset of +5:30
    FILETIME utc = Ft(116444736000000000ULL), local{};
    ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
    EXPECT_EQ(116444736000000000ULL + 19800ULL * 10000000ULL, Ticks(local));

    SYSTEMTIME now{}, nowUtc{};
    GetLocalTime(&now);
    GetSystemTime(&nowUtc);
    FILETIME localFt{}, utcFt{};
    ASSERT_TRUE(SystemTimeToFileTime(&now, &localFt));
    ASSERT_TRUE(SystemTimeToFileTime(&nowUtc, &utcFt));
    long long difference = (long long)(Ticks(localFt) - Ticks(utcFt)) / 10000000LL;
    EXPECT_NEAR(19800, difference, 2);
}

TEST(LocalTime, SystemTimeMatchesTheClock) {
    FILETIME ft{};
    GetSystemTimeAsFileTime(&ft);
    long long unixSeconds = (long long)(Ticks(ft) / 10000000ULL) - 11644473600LL;
    EXPECT_NEAR(double(std::time(nullptr)), double(unixSeconds), 2.0);
}

TEST(Ticks, CountMillisecondsAndWrapAt32Bits) {
    ULONGLONG before64 = GetTickCount64();
    DWORD before = GetTickCount();
    Sleep(120);
    ULONGLONG after64 = GetTickCount64();
    DWORD after = GetTickCount();
    EXPECT_GE(after64 - before64, 120u);
    EXPECT_LT(after64 - before64, 2000u);
    EXPECT_GE(DWORD(after - before), 120u);
    EXPECT_EQ(DWORD(after64), after) << "the 32-bit count is the low half";
}

}  // namespace
