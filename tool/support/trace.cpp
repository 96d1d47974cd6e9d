// The trace operations: registration and removal of targets in the single table, and the line,
// fatal and dump writers. One lock guards the table and every write.
#include "tool/support/trace.h"

#include <cstdarg>
#include <mutex>

#include "tool/support/program_path.h"
#include "tool/support/support_memory.h"
#include "tool/support/trace_table.h"

namespace {

constexpr int kMessageChars = 2048;  // a message keeps at most kMessageChars - 1 characters

// Lock order: g_lock only. It is held from the lookup to the close of the file, so a target's
// file name never changes under a writer and lines never interleave inside a file.
std::mutex g_lock;
_TRACE_TABLE_* g_table = nullptr;

_TRACE_TABLE_& TableLocked() {
    if (g_table == nullptr)
        g_table = new _TRACE_TABLE_();
    return *g_table;
}

void FixFolderLocked(_TRACE_TABLE_& table, const WCHAR* folder) {
    if (table.folderFixed)
        return;
    XStringW chosen(folder);
    if (chosen.IsEmpty()) {
        chosen.Format(TEXT("%@\\%s"), GetProgramDirectory(), TEXT("Log"));
    } else if (chosen.EndsWith(TEXT("\\"))) {
        chosen.Delete(chosen.GetLength() - 1, 1);
    }
    table.folder = chosen;
    table.folderFixed = true;
}

void WriteLineLocked(const _TRACE_TABLE_& table, _TRACE_INFO_& target, TraceLineKind kind,
                     const XStringW& where, const WCHAR* format, va_list args) {
    HANDLE file = TraceOpenFile(table, target, TraceFileKind::Lines);
    if (file == INVALID_HANDLE_VALUE)
        return;

    WCHAR message[kMessageChars] = {};
    if (format != nullptr)
        _vsnwprintf(message, kMessageChars - 1, format, args);
    message[kMessageChars - 1] = 0;

    SYSTEMTIME now;
    TraceNow(&now);
    XStringW line;
    line.Format(kind == TraceLineKind::Error ? TEXT("(%02d:%02d:%02d.%03d) %@ <ERROR> %s\r\n")
                                             : TEXT("(%02d:%02d:%02d.%03d) %@ %s\r\n"),
                now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, where,
                static_cast<const WCHAR*>(message));
    SupportWipe(message, sizeof(message));

    // One write per line on an append handle.
    DWORD written = 0;
    WriteFile(file, line.GetString(), static_cast<DWORD>(line.GetLength() * sizeof(WCHAR)),
              &written, nullptr);
    CloseHandle(file);
}

void TraceLine(const WCHAR* location, int line, int id, int minLevel, TraceLineKind kind,
               const WCHAR* format, va_list args) {
    XStringW where;
    where.Format(TEXT("%s(%d)"), location, line);
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_table == nullptr)
        return;
    const auto found = g_table->targets.find(id);
    if (found == g_table->targets.end() || found->second->level < minLevel)
        return;
    WriteLineLocked(*g_table, *found->second, kind, where, format, args);
}

}  // namespace

void TraceInit() {
    TraceAddTarget(0, TRACE_ID_MAIN, GetProgramFileName(false), TEXT(""), true);
}

void TraceExit() {
    TraceRemove(TRACE_ID_MAIN);
}

void TraceAddTarget(int level, int id, const WCHAR* name, const WCHAR* folder, bool checkMarker) {
    if (checkMarker && TraceMarkerExists(TEXT("trace.txt")))
        level = level + 1 < 2 ? level + 1 : 2;
    if (level > 0)
        TraceRegister(id, level, name, folder);
}

void TraceRegister(int id, int level, const WCHAR* name, const WCHAR* folder) {
    if (level <= 0)
        return;
    XStringW stem(name);
    if (stem.EndsWith(TEXT(".exe")))
        stem = stem.Left(stem.GetLength() - 4);

    std::lock_guard<std::mutex> lock(g_lock);
    _TRACE_TABLE_& table = TableLocked();
    FixFolderLocked(table, folder);
    if (table.targets.count(id) != 0)
        return;
    auto target = std::make_unique<_TRACE_INFO_>();
    target->level = level;
    target->name = stem;
    table.targets.emplace(id, std::move(target));
}

void TraceRemove(int id) {
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_table == nullptr)
        return;
    g_table->targets.erase(id);
    if (g_table->targets.empty()) {
        delete g_table;
        g_table = nullptr;
    }
}

bool TraceTargetOf(int id, int& level, XStringW& name, XStringW& folder) {
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_table == nullptr)
        return false;
    const auto found = g_table->targets.find(id);
    if (found == g_table->targets.end())
        return false;
    level = found->second->level;
    name = found->second->name;
    folder = g_table->folder;
    return true;
}

void TraceWriteLine(int id, int minLevel, TraceLineKind kind, const WCHAR* location, int line,
                    const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    TraceLine(location, line, id, minLevel, kind, format, args);
    va_end(args);
}

void TraceWriteFatal(const WCHAR* location, int line, const WCHAR* format, ...) {
    XStringW where;
    where.Format(TEXT("%s(%d)"), location, line);
    va_list args;
    va_start(args, format);
    {
        std::lock_guard<std::mutex> lock(g_lock);
        _TRACE_TABLE_& table = TableLocked();
        FixFolderLocked(table, TEXT(""));
        _TRACE_INFO_ fatal;
        fatal.level = 1;
        fatal.name = TEXT("fatal");
        WriteLineLocked(table, fatal, TraceLineKind::Error, where, format, args);
    }
    va_end(args);
}

void TraceDump(int id, const void* bytes, int length) {
    if (bytes == nullptr || length <= 0)
        return;
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_table == nullptr)
        return;
    const auto found = g_table->targets.find(TRACE_ID_DUMP_BASE + id);
    if (found == g_table->targets.end() || found->second->level < 1)
        return;
    HANDLE file = TraceOpenFile(*g_table, *found->second, TraceFileKind::Dump);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, bytes, static_cast<DWORD>(length), &written, nullptr);
    CloseHandle(file);
}

void TraceDumpRemove(int id) {
    TraceRemove(TRACE_ID_DUMP_BASE + id);
}

bool TraceMarkerExists(const WCHAR* fileName) {
    XStringW path;
    path.Format(TEXT("%@\\%s"), GetProgramDirectory(), fileName);
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}
