// Trace files: names from the target's stem and the local time, the append open, and rotation
// when a file reaches the size limit or outlives the age limit.
#include <atomic>

#include "tool/support/trace.h"
#include "tool/support/trace_table.h"

namespace {

std::atomic<TraceClock> g_clock{nullptr};

constexpr ULONGLONG kTicksPerSecond = 10000000ULL;  // FILETIME counts 100 ns

XStringW BuildFileName(const _TRACE_INFO_& target, TraceFileKind kind) {
    SYSTEMTIME now;
    TraceNow(&now);
    XStringW name;
    name.Format(TEXT("%@_%02d%02d_%02d%02d.%s"), target.name, now.wMonth, now.wDay, now.wHour,
                now.wMinute, kind == TraceFileKind::Dump ? TEXT("bin") : TEXT("log"));
    return name;
}

HANDLE OpenForAppend(const _TRACE_TABLE_& table, const _TRACE_INFO_& target) {
    XStringW path;
    path.Format(TEXT("%@\\%@"), table.folder, target.fileName);
    return CreateFileW(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

ULONGLONG Ticks(const FILETIME& time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

bool TooLarge(const _TRACE_TABLE_& table, HANDLE file) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size))
        return false;
    return (size.QuadPart >> 20) >= table.sizeLimitMiB;
}

// Both sides in local time, as the file names are.
bool TooOld(const _TRACE_TABLE_& table, HANDLE file) {
    FILETIME created;
    FILETIME createdLocal;
    if (!GetFileTime(file, &created, nullptr, nullptr) ||
        !FileTimeToLocalFileTime(&created, &createdLocal)) {
        return false;
    }
    SYSTEMTIME now;
    TraceNow(&now);
    FILETIME nowLocal;
    if (!SystemTimeToFileTime(&now, &nowLocal))
        return false;
    const ULONGLONG limit = static_cast<ULONGLONG>(table.ageLimitHours) * 3600 * kTicksPerSecond;
    return Ticks(nowLocal) > limit && Ticks(createdLocal) < Ticks(nowLocal) - limit;
}

}  // namespace

void TraceSetClock(TraceClock clock) {
    g_clock.store(clock);
}

void TraceNow(SYSTEMTIME* now) {
    const TraceClock clock = g_clock.load();
    if (clock != nullptr) {
        clock(now);
    } else {
        GetLocalTime(now);
    }
}

HANDLE TraceOpenFile(const _TRACE_TABLE_& table, _TRACE_INFO_& target, TraceFileKind kind) {
    if (target.fileName.IsEmpty())
        target.fileName = BuildFileName(target, kind);
    CreateDirectoryW(table.folder, nullptr);  // one level; an existing folder is fine
    HANDLE file = OpenForAppend(table, target);
    if (file == INVALID_HANDLE_VALUE)
        return file;
    if (TooLarge(table, file) || TooOld(table, file)) {
        CloseHandle(file);
        target.fileName = BuildFileName(target, kind);
        file = OpenForAppend(table, target);
    }
    return file;
}
