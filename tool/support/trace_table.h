// The trace log's target records and the single target table, shared by the trace operations
// and the file routines. Internal to the support library.
#pragma once

#include <map>
#include <memory>

#include "platform/win32.h"
#include "tool/support/xstring.h"

// One trace target. `level` is never 0 for a registered target; `fileName` is empty until the
// first write and changes only then and at rotation.
struct _TRACE_INFO_ {
    int level = 0;
    XStringW name;
    XStringW fileName;
};

// The process's single table; every field is guarded by the trace lock.
struct _TRACE_TABLE_ {
    std::map<int, std::unique_ptr<_TRACE_INFO_>> targets;
    XStringW folder;
    bool folderFixed = false;
    int sizeLimitMiB = 3;
    int ageLimitHours = 1;
};

enum class TraceFileKind { Lines, Dump };

// The local time of the trace clock.
void TraceNow(SYSTEMTIME* now);
// Opens the target's current file for appending (naming it on first use and moving to a new name
// when the file is too large or too old); INVALID_HANDLE_VALUE when that fails. The trace lock
// is held.
HANDLE TraceOpenFile(const _TRACE_TABLE_& table, _TRACE_INFO_& target, TraceFileKind kind);
