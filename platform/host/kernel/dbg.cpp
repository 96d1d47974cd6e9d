// DbgPrint: kernel debugger output captured line by line (and echoed when asked). Only the most
// recent lines are kept, so a long-running machine does not grow with its debug output.
#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/kernel/host_kernel.h"

namespace {

constexpr size_t kLinesKept = 4096;
constexpr size_t kLongestLine = 4096;  // longer text without a line end is kept in pieces

std::mutex g_dbgMutex;
std::string g_partial;  // text printed without its line end yet

// The kept lines, oldest first from `first`: a ring of slots whose text is copied in place, so a
// machine that prints a line per request neither allocates nor frees for it. A line longer than
// a slot goes to the slot's overflow string.
constexpr size_t kSlotText = 96;
struct Slot {
    uint32_t length;
    char text[kSlotText];
    std::string overflow;
    std::string line() const { return length <= kSlotText ? std::string(text, length) : overflow; }
};
struct KeptLines {
    std::vector<Slot> slots = std::vector<Slot>(kLinesKept);
    size_t first = 0;
    size_t count = 0;
};
KeptLines& Lines() {
    static auto* lines = new KeptLines;
    return *lines;
}

void Keep(const char* text, size_t length) {
    auto& lines = Lines();
    Slot* slot;
    if (lines.count == kLinesKept) {
        slot = &lines.slots[lines.first];
        lines.first = (lines.first + 1) % kLinesKept;
    } else {
        slot = &lines.slots[(lines.first + lines.count++) % kLinesKept];
    }
    slot->length = static_cast<uint32_t>(length);
    if (length <= kSlotText) {
        std::memcpy(slot->text, text, length);
        slot->overflow.clear();
    } else {
        slot->overflow.assign(text, length);
    }
}
bool g_echo = [] {
    const char* env = std::getenv("TARNEL_DBGPRINT");
    return env && *env == '1';
}();

void AppendWide(std::string& out, const WCHAR* text, size_t units) {
    if (!text) {
        out += "(null)";
        return;
    }
    for (size_t i = 0; i < units && text[i]; ++i)
        out += text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
}

// printf with the kernel debugger's extras: %ws/%S wide strings, %wZ counted strings.
void Format(std::string& out, const char* format, va_list args) {
    for (const char* p = format; *p;) {
        if (*p != '%') {
            const char* run = std::strchr(p, '%');
            const size_t length = run ? static_cast<size_t>(run - p) : std::strlen(p);
            out.append(p, length);
            p += length;
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            out += '%';
            ++p;
            continue;
        }
        while (*p && std::strchr("-+ #0", *p))
            ++p;
        while (*p && (std::isdigit(static_cast<unsigned char>(*p)) || *p == '.' || *p == '*'))
            ++p;
        if (p[0] == 'w' && p[1] == 'Z') {
            auto* s = va_arg(args, PCUNICODE_STRING);
            if (s)
                AppendWide(out, s->Buffer, s->Length / sizeof(WCHAR));
            else
                out += "(null)";
            p += 2;
            continue;
        }
        if ((p[0] == 'w' && p[1] == 's') || (p[0] == 'l' && p[1] == 's') || p[0] == 'S') {
            AppendWide(out, va_arg(args, const WCHAR*), SIZE_MAX);
            p += p[0] == 'S' ? 1 : 2;
            continue;
        }
        // Plain conversions go to vsnprintf one at a time with the right argument type.
        std::string spec(start, p);
        int longs = 0;
        bool size64 = false;
        while (*p == 'l' || *p == 'h' || *p == 'z' || *p == 'I') {
            if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
                size64 = true;
                p += 3;
                continue;
            }
            if (*p == 'l')
                longs++;
            if (*p == 'z' || *p == 'I')
                size64 = true;
            ++p;
        }
        char conv = *p ? *p++ : '\0';
        char piece[128];
        std::string fmt = spec + (size64 || longs >= 2 ? "ll" : "") + conv;
        switch (conv) {
            case 'd':
            case 'i':
                if (size64 || longs >= 2)
                    std::snprintf(piece, sizeof piece, fmt.c_str(), va_arg(args, long long));
                else
                    std::snprintf(piece, sizeof piece, fmt.c_str(), va_arg(args, int));
                break;
            case 'u':
            case 'x':
            case 'X':
            case 'o':
                if (size64 || longs >= 2)
                    std::snprintf(piece, sizeof piece, fmt.c_str(),
                                  va_arg(args, unsigned long long));
                else
                    std::snprintf(piece, sizeof piece, fmt.c_str(), va_arg(args, unsigned));
                break;
            case 'c':
                std::snprintf(piece, sizeof piece, fmt.c_str(), va_arg(args, int));
                break;
            case 'p':
                std::snprintf(piece, sizeof piece, "%p", va_arg(args, void*));
                break;
            case 's': {
                const char* s = va_arg(args, const char*);
                out += s ? s : "(null)";
                piece[0] = '\0';
                break;
            }
            default:
                std::snprintf(piece, sizeof piece, "%s", spec.c_str());
                break;
        }
        out += piece;
    }
}

// The line-by-line split of printed text; caller holds g_dbgMutex.
void KeepText(std::string_view text) {
    size_t at = 0;
    if (!g_partial.empty()) {
        const size_t nl = text.find('\n');
        if (nl == std::string::npos) {
            g_partial += text;
            if (g_partial.size() > kLongestLine) {
                Keep(g_partial.data(), g_partial.size());
                g_partial.clear();
            }
            return;
        }
        g_partial.append(text.substr(0, nl + 1));
        Keep(g_partial.data(), g_partial.size());
        g_partial.clear();
        at = nl + 1;
    }
    for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
        Keep(text.data() + at, nl + 1 - at);
    g_partial.assign(text.substr(at));
    if (g_partial.size() > kLongestLine) {
        Keep(g_partial.data(), g_partial.size());
        g_partial.clear();
    }
}

}  // namespace

ULONG DbgPrint(PCSTR format, ...) {
    std::string_view printed;
    if (!std::strchr(format, '%')) {
        printed = format;  // nothing to convert: a driver's trace line costs no copy
    } else {
        thread_local std::string text;  // keeps its storage from line to line
        text.clear();
        va_list args;
        va_start(args, format);
        Format(text, format, args);
        va_end(args);
        printed = text;
    }
    std::lock_guard<std::mutex> lock(g_dbgMutex);
    if (g_echo)
        std::fwrite(printed.data(), 1, printed.size(), stderr);
    KeepText(printed);
    return STATUS_SUCCESS;
}

namespace tarnel::host::kernel {

std::vector<std::string> DebugLines() {
    std::lock_guard<std::mutex> lock(g_dbgMutex);
    const auto& lines = Lines();
    std::vector<std::string> out;
    out.reserve(lines.count);
    for (size_t i = 0; i < lines.count; ++i)
        out.push_back(lines.slots[(lines.first + i) % kLinesKept].line());
    return out;
}

void ClearDebugLines() {
    std::lock_guard<std::mutex> lock(g_dbgMutex);
    Lines().first = Lines().count = 0;
    g_partial.clear();
}

void EchoDebugOutput(bool on) {
    std::lock_guard<std::mutex> lock(g_dbgMutex);
    g_echo = on;
}

}  // namespace tarnel::host::kernel
