// Helpers of the registry tests: value bytes, machine settings, reading values back, and
// running a forked child that uses the same machine.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/machine/machine.h"
#include "platform/host/win32/registry.h"

namespace tarnel::host::regtest {

inline std::vector<BYTE> bytesOf(std::u16string_view units) {
    std::vector<BYTE> out;
    for (char16_t c : units) {
        out.push_back(static_cast<BYTE>(c & 0xFF));
        out.push_back(static_cast<BYTE>(c >> 8));
    }
    return out;
}

// A REG_SZ's bytes: the text and its terminating null.
inline std::vector<BYTE> szBytes(std::u16string_view text) {
    std::vector<BYTE> out = bytesOf(text);
    out.insert(out.end(), {0, 0});
    return out;
}

inline std::vector<BYTE> dwordBytes(DWORD v) {
    return {BYTE(v), BYTE(v >> 8), BYTE(v >> 16), BYTE(v >> 24)};
}

inline MachineConfig machineConfig(bool os64, bool toolWow64) {
    MachineConfig c;
    c.os64 = os64;
    c.toolWow64 = toolWow64;
    return c;
}

struct ReadValue {
    LSTATUS status = ERROR_SUCCESS;
    DWORD type = 0;
    std::vector<BYTE> data;
};

// Reads a value with the size query first, as the tool does.
inline ReadValue readValue(HKEY key, const char16_t* name) {
    ReadValue r;
    DWORD size = 0;
    r.status = RegQueryValueExW(key, name, nullptr, &r.type, nullptr, &size);
    if (r.status != ERROR_SUCCESS)
        return r;
    r.data.assign(size, 0xEE);
    DWORD got = size;
    r.status = RegQueryValueExW(key, name, nullptr, &r.type, r.data.data(), &got);
    r.data.resize(got);
    return r;
}

// Opens (creating it) a key with full access in the 64-bit view.
inline HKEY createKey(HKEY root, const char16_t* path) {
    HKEY h = nullptr;
    LSTATUS e = RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                                nullptr, &h, nullptr);
    return e == ERROR_SUCCESS ? h : nullptr;
}

inline LSTATUS setValue(HKEY key, const char16_t* name, DWORD type, const std::vector<BYTE>& data) {
    return RegSetValueExW(key, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
}

// Runs `body` in a forked child on the same machine; returns the child's wait status. The
// child leaves with _exit so that nothing of the test framework runs twice.
inline pid_t startChild(const std::function<int()>& body) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    return pid;
}

inline int waitChild(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

inline int runChild(const std::function<int()>& body) {
    return waitChild(startChild(body));
}

inline bool exitedWith(int status, int code) {
    return WIFEXITED(status) && WEXITSTATUS(status) == code;
}

}  // namespace tarnel::host::regtest
