// Shared by the discovery tests: a fresh machine with Winsock started, and a loopback address of
// this process's own (127.77.x.y), so that test processes running side by side never share the
// protocol's fixed ports.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "platform/host/machine/machine.h"
#include "platform/win32.h"

namespace tarnel::test {

// Generous: sanitizer builds on a shared machine.
constexpr std::chrono::seconds kDiscoveryWait{10};

inline std::string ProcessLoopbackText() {
    unsigned id = static_cast<unsigned>(::getpid());
    return "127.77." + std::to_string((id >> 8) % 250 + 1) + "." + std::to_string(id % 250 + 1);
}

// "a.b.c.d" in network byte order.
inline ULONG Address(const std::string& text) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    std::sscanf(text.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d);
    BYTE bytes[4] = {BYTE(a), BYTE(b), BYTE(c), BYTE(d)};
    ULONG value;
    std::memcpy(&value, bytes, 4);
    return value;
}

class WinsockTest : public testing::Test {
  protected:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
    void TearDown() override { WSACleanup(); }

    tarnel::host::TestMachine machine_;
};

// Elapsed milliseconds of a body.
template <typename F>
long long MillisecondsOf(F&& body) {
    auto start = std::chrono::steady_clock::now();
    body();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

}  // namespace tarnel::test
