// The trace log: numbered targets writing UTF-16LE line files (and binary dumps) into the "Log"
// folder beside the program. Every call is safe from any thread.
#pragma once

#include <type_traits>

#include "platform/win32.h"
#include "tool/support/xstring.h"

// Target ids.
constexpr int TRACE_ID_PORT_TEXT = 1;  // a port text that is not a COM port, reported once
constexpr int TRACE_ID_MAIN = 1000;
constexpr int TRACE_ID_CMDLINE = 8888;
constexpr int TRACE_ID_DUMP_BASE = 10000;  // + port id: that port's binary dump

// Registers target 1000 under the program's name; on only when "trace.txt" lies beside the
// program.
void TraceInit();
void TraceExit();
// With `checkMarker` and "trace.txt" beside the program the level is raised by one (at most 2);
// the target is registered when the level is then above 0.
void TraceAddTarget(int level, int id, const WCHAR* name, const WCHAR* folder, bool checkMarker);
// Level 1: normal and error lines; 2: detail lines too. The first registration after the table
// is created fixes the folder (empty: "Log" beside the program). An id already registered keeps
// its first level and name; a trailing ".exe" is cut from the name.
void TraceRegister(int id, int level, const WCHAR* name, const WCHAR* folder);
// The table goes away with its last target; the next registration chooses the folder again.
void TraceRemove(int id);
// The level, name and folder of a registered target (a helper process writes into the same log).
bool TraceTargetOf(int id, int& level, XStringW& name, XStringW& folder);

// The kinds of line; the writers behind the functions below.
enum class TraceLineKind { Normal, Error };
void TraceWriteLine(int id, int minLevel, TraceLineKind kind, const WCHAR* location, int line,
                    const WCHAR* format, ...);
void TraceWriteFatal(const WCHAR* location, int line, const WCHAR* format, ...);

namespace trace_args {
// A string object cannot travel through a C variadic list: it goes as its text (an XStringA's
// text is 8-bit, for "%hs"). Anything else must be a plain value.
inline const WCHAR* Pass(const XStringW& text) {
    return text.GetString();
}
inline const char* Pass(const XStringA& text) {
    return text.GetString();
}
template <typename T>
const T& Pass(const T& value) {
    static_assert(std::is_trivially_copyable_v<T>, "only plain values are traced");
    return value;
}
}  // namespace trace_args

// `location` is the qualified function name and `line` the source line; `format` and the
// arguments follow the wide printf conventions. Messages are cut at 2047 characters.
template <typename... Args>
void Trace(const WCHAR* location, int line, const WCHAR* format, const Args&... args) {
    TraceWriteLine(TRACE_ID_MAIN, 1, TraceLineKind::Normal, location, line, format,
                   trace_args::Pass(args)...);
}
template <typename... Args>
void TraceTo(const WCHAR* location, int line, int id, const WCHAR* format, const Args&... args) {
    TraceWriteLine(id, 1, TraceLineKind::Normal, location, line, format, trace_args::Pass(args)...);
}
// Written when the target's level is 2.
template <typename... Args>
void TraceDetail(const WCHAR* location, int line, int id, const WCHAR* format,
                 const Args&... args) {
    TraceWriteLine(id, 2, TraceLineKind::Normal, location, line, format, trace_args::Pass(args)...);
}
template <typename... Args>
void TraceError(const WCHAR* location, int line, const WCHAR* format, const Args&... args) {
    TraceWriteLine(TRACE_ID_MAIN, 1, TraceLineKind::Error, location, line, format,
                   trace_args::Pass(args)...);
}
template <typename... Args>
void TraceErrorTo(const WCHAR* location, int line, int id, const WCHAR* format,
                  const Args&... args) {
    TraceWriteLine(id, 1, TraceLineKind::Error, location, line, format, trace_args::Pass(args)...);
}
// Always written, registered targets or not, to a file with the stem "fatal".
template <typename... Args>
void TraceFatal(const WCHAR* location, int line, const WCHAR* format, const Args&... args) {
    TraceWriteFatal(location, line, format, trace_args::Pass(args)...);
}

// Appends the bytes, unframed, to target TRACE_ID_DUMP_BASE + id.
void TraceDump(int id, const void* bytes, int length);
void TraceDumpRemove(int id);

// True when the file (such as "trace.txt" or "trace.bin") lies beside the program and opens.
bool TraceMarkerExists(const WCHAR* fileName);

// The local clock behind line times, file names and the age limit; null restores the system's.
// Tests move it to make files change minute or age.
using TraceClock = void (*)(SYSTEMTIME* now);
void TraceSetClock(TraceClock clock);
