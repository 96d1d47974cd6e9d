// Soak: thousands of open/write/read/close cycles of one port against a printer that refuses,
// resets, stalls and closes at random, with writers racing the close. At the end nothing may be
// left: no pool, no endpoint, no timer resolution request, no extra thread or socket.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/win32/windows.h"
#include "tests/driver/printer_port_fixture.h"

namespace tarnel::test {
namespace {

namespace hk = host::kernel;
using namespace std::chrono_literals;

size_t Count(const char* folder, const std::string& prefix) {
    size_t n = 0;
    for (auto& entry : std::filesystem::directory_iterator(folder)) {
        if (prefix.empty()) {
            n++;
            continue;
        }
        std::error_code ec;
        auto target = std::filesystem::read_symlink(entry.path(), ec);
        if (!ec && target.string().rfind(prefix, 0) == 0)
            n++;
    }
    return n;
}
size_t Threads() {
    return Count("/proc/self/task", "");
}
size_t Sockets() {
    return Count("/proc/self/fd", "socket:");
}

class PortSoak : public PrinterPortTest {
  protected:
    static bool Write(HANDLE h, const std::string& bytes) {
        OVERLAPPED o{};
        o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD n = 0;
        bool ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, &o) ||
                  GetLastError() == ERROR_IO_PENDING;
        ok = ok && GetOverlappedResult(h, &o, &n, TRUE);
        CloseHandle(o.hEvent);
        return ok;
    }
    static DWORD Read(HANDLE h, char* buffer, DWORD size) {
        OVERLAPPED o{};
        o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD n = 0;
        bool ok = ReadFile(h, buffer, size, &n, &o) || GetLastError() == ERROR_IO_PENDING;
        if (ok && !GetOverlappedResult(h, &o, &n, TRUE))
            n = 0;
        CloseHandle(o.hEvent);
        return n;
    }
};

TEST_F(PortSoak, CyclesAgainstAMisbehavingPrinterLeaveNothingBehind) {
    Port(u"COM3");
    printer_.setEcho(true);
    // One quiet cycle first: threads the host starts once (transport, closes) are counted in.
    HANDLE warm = Open(u"COM3", FILE_FLAG_OVERLAPPED);
    ASSERT_NE(warm, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(Write(warm, "warm"));
    Close(warm);
    ASSERT_TRUE(printer_.waitForNoOpenConnection(kWait));
    std::this_thread::sleep_for(100ms);
    const size_t threads = Threads();
    const size_t sockets = Sockets();

    std::mt19937 rng(20261210);
    const auto deadline = std::chrono::steady_clock::now() + 90s;
    size_t cycles = 0, opened = 0, refused = 0, failedWrites = 0;
    std::vector<char> buffer(70000);
    while (cycles < 5000 && std::chrono::steady_clock::now() < deadline) {
        cycles++;
        const unsigned pick = rng() % 100;
        const bool refuse = pick < 8;
        const bool closeAfter = pick >= 8 && pick < 25;
        const bool stall = pick >= 25 && pick < 29;
        const bool reset = pick >= 29 && pick < 32;
        const bool racingClose = pick >= 32 && pick < 40;
        printer_.setRefuseConnections(refuse);
        printer_.setCloseAfter(closeAfter ? 1 + rng() % 300 : 0);
        printer_.setStopReading(stall || reset);

        HANDLE h = Open(u"COM3", FILE_FLAG_OVERLAPPED);
        if (h == INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(refuse) << "cycle " << cycles << " error " << GetLastError();
            refused++;
            continue;
        }
        opened++;
        COMMTIMEOUTS timeouts{0, 0, 0, 0, 0};  // a read returns at the driver's next poll
        SetCommTimeouts(h, &timeouts);
        std::vector<std::thread> writers;
        std::atomic<size_t> failed{0};
        const int writerCount = racingClose || stall || reset ? 2 : 1;
        for (int w = 0; w < writerCount; ++w) {
            const size_t size = stall || reset ? (4u << 20) : 1 + rng() % 400;
            writers.emplace_back([&, size, w] {
                std::string bytes(size, static_cast<char>('a' + w));
                for (int k = 0; k < 3; ++k)
                    failed += !Write(h, bytes);
            });
        }
        if (reset) {
            std::this_thread::sleep_for(20ms);
            printer_.closeConnections();  // with unread bytes: a reset
        }
        if (!stall && !reset && !racingClose) {
            for (auto& t : writers)
                t.join();
            writers.clear();
            Read(h, buffer.data(), static_cast<DWORD>(buffer.size()));  // the echo, or nothing
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 20));
        }
        Close(h);  // in the middle of the writes, when they still run
        for (auto& t : writers)
            t.join();
        failedWrites += failed;
        EXPECT_EQ(hk::PoolOutstanding("TdiE"), 0u) << "cycle " << cycles;
        EXPECT_EQ(hk::TimerResolutionRequests(), 0u) << "cycle " << cycles;
        if (HasFailure())
            break;
    }
    printer_.setRefuseConnections(false);
    printer_.setStopReading(false);
    printer_.setCloseAfter(0);
    std::cout << cycles << " cycles: " << opened << " opened, " << refused << " refused, "
              << failedWrites << " writes failed\n";
    EXPECT_GE(cycles, 1000u);
    EXPECT_GT(refused, 0u);
    EXPECT_GT(failedWrites, 0u);

    // The port still works, and nothing was left behind.
    HANDLE h = Open(u"COM3", FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(Write(h, "end"));
    Close(h);
    EXPECT_TRUE(printer_.waitForNoOpenConnection(kWait));
    auto settle = std::chrono::steady_clock::now() + 5s;
    while ((Threads() > threads || Sockets() > sockets) &&
           std::chrono::steady_clock::now() < settle)
        std::this_thread::sleep_for(10ms);
    EXPECT_LE(Threads(), threads);
    EXPECT_LE(Sockets(), sockets);
    EXPECT_EQ(hk::PoolOutstanding("TdiE"), 0u);
}

}  // namespace
}  // namespace tarnel::test
