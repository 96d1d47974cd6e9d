// DbgPrint: kernel debugger output captured line by line (and echoed when asked). Only the most
// recent lines are kept, so a long-running machine does not grow with its debug output.
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

#include "platform/host/kernel/host_kernel.h"

namespace {

constexpr size_t kLinesKept = 4096;
constexpr size_t kLongestLine = 4096;  // longer text without a line end is kept in pieces

std::mutex g_dbgMutex;
std::string g_partial;  // text printed without its line end yet
std::deque<std::string>& Lines() {
    static auto* lines = new std::deque<std::string>;
    return *lines;
}

void Keep(std::string line) {
    auto& lines = Lines();
    if (lines.size() == kLinesKept)
        lines.pop_front();
    lines.push_back(std::move(line));
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
std::string Format(const char* format, va_list args) {
    std::string out;
    for (const char* p = format; *p;) {
        if (*p != '%') {
            out += *p++;
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
    return out;
}

}  // namespace

ULONG DbgPrint(PCSTR format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = Format(format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(g_dbgMutex);
    if (g_echo)
        std::fputs(text.c_str(), stderr);
    g_partial += text;
    size_t nl;
    while ((nl = g_partial.find('\n')) != std::string::npos) {
        Keep(g_partial.substr(0, nl + 1));
        g_partial.erase(0, nl + 1);
    }
    if (g_partial.size() > kLongestLine) {
        Keep(g_partial);
        g_partial.clear();
    }
    return STATUS_SUCCESS;
}

namespace tarnel::host::kernel {

std::vector<std::string> DebugLines() {
    std::lock_guard<std::mutex> lock(g_dbgMutex);
    return std::vector<std::string>(Lines().begin(), Lines().end());
}

void ClearDebugLines() {
    std::lock_guard<std::mutex> lock(g_dbgMutex);
    Lines().clear();
    g_partial.clear();
}

void EchoDebugOutput(bool on) {
    std::lock_guard<std::mutex> lock(g_dbgMutex);
    g_echo = on;
}

}  // namespace tarnel::host::kernel
