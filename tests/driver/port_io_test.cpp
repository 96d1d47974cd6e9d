// Open, read, write, cleanup and close of a Tarnel port on the host machine, with the printer
// simulator on loopback as the printer the store assigns to the port.
#include <gmock/gmock.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/win32/windows.h"
#include "tests/driver/printer_port_fixture.h"
#include "tests/netns/netns.h"
#include "tools/printer-sim/printer_sim.h"

namespace tarnel::test {
namespace {

namespace hk = host::kernel;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsSupersetOf;
using namespace std::chrono_literals;

const char kCreateLine[] = "+ VSERIAL_Create Start ----------------------\n";
const char kConnectLine[] = "*(^^)* Connect TimeoutValue: d646d900\n";

class PortIoTest : public PrinterPortTest {
  protected:
    static bool Write(HANDLE h, const std::string& bytes, DWORD* written = nullptr) {
        DWORD n = 0;
        BOOL ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
        if (written)
            *written = n;
        return ok && n == bytes.size();
    }
    // Reads until `count` bytes came or the time is up; each read returns at the driver's next
    // poll, with whatever the ring holds.
    static std::string ReadBytes(HANDLE h, size_t count) {
        std::string out;
        std::vector<char> buffer(64 * 1024);
        auto deadline = std::chrono::steady_clock::now() + kWait;
        while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
            DWORD n = 0;
            if (!ReadFile(h, buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr))
                break;
            out.append(buffer.data(), n);
        }
        return out;
    }
};

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(rng());
    return s;
}

TEST_F(PortIoTest, OpenConnectsToTheAssignedPrinterAndCloseEndsEverything) {
    Port(u"COM3");
    HANDLE h = Open(u"COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(printer_.waitForConnections(1, kWait));
    ASSERT_TRUE(WaitForLine("pReadPollingFunction Start \n"));
    ASSERT_TRUE(WaitForLine("pEmulationPollingFunction Start \n"));
    auto opened = hk::DebugLines();
    ASSERT_EQ(opened.size(), 4u);
    EXPECT_THAT(std::vector<std::string>(opened.begin(), opened.begin() + 2),
                ElementsAre(kCreateLine, kConnectLine));
    hk::ClearDebugLines();

    Close(h);
    // Workers end before the connection closes; the printer sees its connection end.
    EXPECT_THAT(hk::DebugLines(),
                ElementsAre("VSERIAL_Cleanup Start \n", "pEmulationPollingFunction Exit\n",
                            "pReadPollingFunction Exit\n", "VSERIAL_Cleanup End \n",
                            "VSERIAL_Close Start \n", "VSERIAL_Close End \n"));
    EXPECT_TRUE(printer_.waitForNoOpenConnection(kWait));
    EXPECT_EQ(printer_.connectionCount(), 1u);
    EXPECT_EQ(hk::PoolOutstanding("TdiE"), 0u);
}

TEST_F(PortIoTest, ASecondOpenIsRefusedAndTheFirstHandleGoesOn) {
    Port(u"COM3");
    HANDLE first = Open(u"COM3");
    ASSERT_NE(first, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(WaitForLine("pReadPollingFunction Start \n"));
    ASSERT_TRUE(WaitForLine("pEmulationPollingFunction Start \n"));
    hk::ClearDebugLines();
    EXPECT_EQ(Open(u"\\\\.\\COM3"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_THAT(hk::DebugLines(), ElementsAre(kCreateLine));  // refused before any connect

    EXPECT_TRUE(Write(first, "still here"));
    EXPECT_TRUE(printer_.waitForBytes(10, kWait));
    EXPECT_EQ(printer_.received(), "still here");
    EXPECT_EQ(printer_.connectionCount(), 1u);
}

TEST_F(PortIoTest, OpenFailsCleanlyWhenTheStoreDoesNotLeadToAPrinter) {
    struct Case {
        const char* label;
        const char16_t* port;
        std::function<void(printersim::PrinterSimulator&)> store;
    } cases[] = {
        {"no key for the port", u"COM4", [](printersim::PrinterSimulator&) {}},
        // COM10 begins with COM1: the walk stops there, then COM1 itself cannot be opened.
        {"only COM10 for COM1", u"COM1",
         [](printersim::PrinterSimulator& printer) {
             Assign(u"COM10", {127, 0, 0, 1}, printer.port());
         }},
        {"printer refuses", u"COM5",
         [](printersim::PrinterSimulator& printer) {
             Assign(u"COM5", {127, 0, 0, 1}, printer.port());
             printer.setRefuseConnections(true);
         }},
        // A value longer than a REG_DWORD is not taken: port 0 is dialled, which fails.
        {"oversized Port value", u"COM6",
         [](printersim::PrinterSimulator& printer) {
             SetValue(u"COM6", u"IPAddress", REG_DWORD, {127, 0, 0, 1});
             uint16_t p = printer.port();
             SetValue(u"COM6", u"Port", REG_BINARY,
                      {static_cast<BYTE>(p >> 8), static_cast<BYTE>(p & 0xFF), 0, 0, 0, 0, 0, 0});
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Port(c.port, false);
        c.store(printer_);
        size_t before = printer_.connectionCount();
        SetLastError(0);
        EXPECT_EQ(Open(c.port), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));  // STATUS_UNSUCCESSFUL
        // A failed open is never cleaned up: nothing may be left of the attempt.
        EXPECT_THAT(hk::DebugLines(), ElementsAre(kCreateLine, kConnectLine));
        EXPECT_EQ(hk::PoolOutstanding("TdiE"), 0u);
        EXPECT_EQ(printer_.connectionCount(), before);
        printer_.setRefuseConnections(false);
    }
    // The port is free again afterwards: a working assignment opens.
    Assign(u"COM4", {127, 0, 0, 1}, printer_.port());
    HANDLE h = Open(u"COM4");
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
}

TEST_F(PortIoTest, StoreValuesOfOtherTypesButDwordSizeAreTaken) {
    Port(u"COM7", false);
    uint16_t p = printer_.port();
    SetValue(u"COM7", u"IPAddress", REG_BINARY, {127, 0, 0, 1});
    SetValue(u"COM7", u"Port", REG_BINARY,
             {static_cast<BYTE>(p >> 8), static_cast<BYTE>(p & 0xFF), 0xAA, 0xBB});
    HANDLE h = Open(u"COM7");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(printer_.waitForConnections(1, kWait));
}

TEST_F(PortIoTest, PoolFailuresDuringOpenLeaveNothingBehind) {
    Port(u"COM3");
    for (const char* tag : {"TdiE", "11XB", "21XB", "31XB"}) {
        SCOPED_TRACE(tag);
        hk::FailNextAllocations(tag, 1);
        EXPECT_EQ(Open(u"COM3"), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
        for (const char* own : {"TdiE", "11XB", "21XB", "31XB"})
            EXPECT_EQ(hk::PoolOutstanding(own), 0u) << own;
        hk::FailNextAllocations(tag, 0);
    }
    EXPECT_EQ(printer_.connectionCount(), 0u);
}

TEST_F(PortIoTest, WritesArriveWholeAndZeroLengthWritesTouchNothing) {
    Port(u"COM3");
    HANDLE h = Open(u"COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    std::string page = RandomBytes(5000, 1);
    DWORD written = 0;
    EXPECT_TRUE(Write(h, page, &written));
    EXPECT_EQ(written, 5000u);
    DWORD n = 99;
    EXPECT_TRUE(WriteFile(h, "", 0, &n, nullptr));
    EXPECT_EQ(n, 0u);
    ASSERT_TRUE(printer_.waitForBytes(5000, kWait));
    EXPECT_EQ(printer_.received(), page);
}

TEST_F(PortIoTest, ReadsReturnWhatTheRingHoldsWithoutWaitingToFillTheirLength) {
    Port(u"COM3");
    HANDLE h = Open(u"COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(printer_.waitForConnections(1, kWait));

    // All time-outs 0: an empty ring answers at the driver's first poll with 0 bytes.
    char buffer[100];
    DWORD n = 77;
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(n, 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);

    // 30 bytes in one segment: the first read that finds them returns all 30 to a read of 100.
    std::string reply = RandomBytes(30, 2);
    printer_.send(reply);
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + kWait;
    while (got.empty() && std::chrono::steady_clock::now() < deadline) {
        ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &n, nullptr));
        got.assign(buffer, n);
    }
    EXPECT_EQ(got, reply);
    // A zero-length read completes at once.
    EXPECT_TRUE(ReadFile(h, buffer, 0, &n, nullptr));
    EXPECT_EQ(n, 0u);
    EXPECT_THAT(hk::DebugLines(), Contains("++++++++++++++VSERIAL_Read start\n"));
}

TEST_F(PortIoTest, BytesLeftInTheRingAreReadAfterReopening) {
    Port(u"COM3");
    HANDLE h = Open(u"COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(printer_.waitForConnections(1, kWait));
    std::string reply = RandomBytes(60, 3);
    printer_.send(reply);
    // One segment: once the first 10 bytes can be read, all 60 are in the ring.
    char buffer[10];
    std::string first;
    auto deadline = std::chrono::steady_clock::now() + kWait;
    while (first.empty() && std::chrono::steady_clock::now() < deadline) {
        DWORD n = 0;
        ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &n, nullptr));
        first.assign(buffer, n);
    }
    EXPECT_EQ(first, reply.substr(0, 10));
    Close(h);

    h = Open(u"COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    char rest[100];
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(h, rest, sizeof rest, &n, nullptr));
    EXPECT_EQ(std::string(rest, n), reply.substr(10));
    EXPECT_TRUE(printer_.waitForConnections(2, kWait));
}

TEST_F(PortIoTest, WaitingReadsAfterSurpriseRemovalEndByCancelOrCleanup) {
    std::u16string id = Port(u"COM3");
    HANDLE h = Open(u"COM3", FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_EQ(hk::SendPnpRequest(id, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    ASSERT_TRUE(WaitForLine("pReadPollingFunction Exit\n"));
    ASSERT_TRUE(WaitForLine("pEmulationPollingFunction Exit\n"));

    // No read thread any more: a read now waits in the slot until something ends it.
    OVERLAPPED first{};
    first.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    char a[8], b[8];
    DWORD n = 0;
    EXPECT_FALSE(ReadFile(h, a, sizeof a, &n, &first));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    // The slot is taken: a second read comes back at once, empty, and the first keeps waiting.
    OVERLAPPED second{};
    second.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool immediate = ReadFile(h, b, sizeof b, &n, &second);
    if (!immediate) {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    ASSERT_EQ(WaitForSingleObject(second.hEvent, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(static_cast<NTSTATUS>(second.Internal), STATUS_SUCCESS);
    EXPECT_EQ(second.InternalHigh, 0u);
    EXPECT_EQ(WaitForSingleObject(first.hEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    EXPECT_TRUE(CancelIo(h));
    EXPECT_FALSE(GetOverlappedResult(h, &first, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));

    // A read still waiting at cleanup completes with success and 0 bytes.
    ResetEvent(first.hEvent);
    EXPECT_FALSE(ReadFile(h, a, sizeof a, &n, &first));
    Close(h);
    ASSERT_EQ(WaitForSingleObject(first.hEvent, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(static_cast<NTSTATUS>(first.Internal), STATUS_SUCCESS);
    EXPECT_EQ(first.InternalHigh, 0u);
    EXPECT_TRUE(printer_.waitForNoOpenConnection(kWait));
    CloseHandle(first.hEvent);
    CloseHandle(second.hEvent);
}

TEST_F(PortIoTest, PrinterClosingTheConnection) {
    Port(u"COM3");
    HANDLE h = Open(u"COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(printer_.waitForConnections(1, kWait));
    printer_.send("bye");
    ASSERT_EQ(ReadBytes(h, 3), "bye");
    printer_.closeConnections();
    ASSERT_TRUE(printer_.waitForNoOpenConnection(kWait));

    // A write may still go out while the printer's close is on its way; once the close has
    // arrived, a write fails and tears the connection down.
    hk::ClearDebugLines();
    bool failed = false;
    auto deadline = std::chrono::steady_clock::now() + kWait;
    while (!failed && std::chrono::steady_clock::now() < deadline) {
        SetLastError(0);
        failed = !Write(h, "x");
    }
    ASSERT_TRUE(failed);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_TRUE(WaitForLine("pEmulationPollingFunction Exit\n"));  // the failed send ended it
    EXPECT_THAT(hk::DebugLines(),
                IsSupersetOf({"VSERIAL_PreCleanup Start \n",
                              "VSERIAL_PreCleanup : EmulationPollingExitEvent \n",
                              "VSERIAL_PreCleanup End \n", "pEmulationPollingFunction Exit\n"}));
    EXPECT_EQ(hk::PoolOutstanding("TdiE"), 0u);

    // Without a connection a zero-length write still touches nothing.
    hk::ClearDebugLines();
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(h, "", 0, &n, nullptr));
    EXPECT_TRUE(hk::DebugLines().empty());
    EXPECT_EQ(printer_.connectionCount(), 1u);

    // The next write connects anew and goes out on the new connection.
    EXPECT_TRUE(Write(h, "again"));
    ASSERT_TRUE(printer_.waitForConnections(2, kWait));
    auto lines = hk::DebugLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("+ ReCreate, Statck: 0x", 0), 0u);
    EXPECT_EQ(lines[1], kConnectLine);
    auto deadline2 = std::chrono::steady_clock::now() + kWait;
    while (printer_.connections().at(1) != "again" && std::chrono::steady_clock::now() < deadline2)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(printer_.connections().at(1), "again");
    // The bytes the printer sent before closing were all read, none twice.
    printer_.send("hi");
    EXPECT_EQ(ReadBytes(h, 2), "hi");
}

TEST_F(PortIoTest, AReplyLargerThanTheRingIsNotLost) {
    Port(u"COM3");
    HANDLE h = Open(u"COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(printer_.waitForConnections(1, kWait));
    // More than the ring holds; what does not fit waits with the transport.
    std::string reply = RandomBytes(3 * 262144 / 2, 4);
    printer_.send(reply);
    std::string got = ReadBytes(h, reply.size());
    ASSERT_EQ(got.size(), reply.size());
    EXPECT_TRUE(got == reply);
}

// Several threads read one handle while a reply several rings long arrives: reads that make room
// fetch the bytes the transport holds, racing each other and the read thread. Every byte comes
// out exactly once.
TEST_F(PortIoTest, ReadersOnSeveralThreadsShareALargeReplyWithoutLossOrRepeat) {
    Port(u"COM3");
    HANDLE h = Open(u"COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(printer_.waitForConnections(1, kWait));
    const std::string reply = RandomBytes(4 << 20, 9);
    printer_.send(reply);
    std::atomic<size_t> total{0};
    std::vector<std::vector<size_t>> counts(3, std::vector<size_t>(256, 0));
    std::vector<std::thread> readers;
    for (size_t r = 0; r < counts.size(); ++r) {
        readers.emplace_back([&, r] {
            std::mt19937 rng(static_cast<unsigned>(10 + r));
            std::vector<char> buffer(70000);
            auto deadline = std::chrono::steady_clock::now() + kWait;
            while (total < reply.size() && std::chrono::steady_clock::now() < deadline) {
                DWORD n = 0;
                const DWORD want = 1 + rng() % static_cast<DWORD>(buffer.size());
                if (!ReadFile(h, buffer.data(), want, &n, nullptr))
                    return;
                for (DWORD i = 0; i < n; ++i)
                    counts[r][static_cast<unsigned char>(buffer[i])]++;
                total += n;
            }
        });
    }
    for (auto& t : readers)
        t.join();
    ASSERT_EQ(total.load(), reply.size());
    std::vector<size_t> expected(256, 0), got(256, 0);
    for (char c : reply)
        expected[static_cast<unsigned char>(c)]++;
    for (const auto& mine : counts)
        for (size_t v = 0; v < 256; ++v)
            got[v] += mine[v];
    EXPECT_EQ(got, expected);
    // Nothing more is on its way.
    DWORD n = 1;
    char extra;
    COMMTIMEOUTS immediate{0xFFFFFFFF, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &immediate));
    EXPECT_TRUE(ReadFile(h, &extra, 1, &n, nullptr));
    EXPECT_EQ(n, 0u);
}

TEST_F(PortIoTest, MegabytesInMixedSizesReachThePrinterInOrder) {
    Port(u"COM3");
    HANDLE h = Open(u"COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    std::string data = RandomBytes(4 << 20, 5);
    std::mt19937 rng(6);
    size_t sent = 0;
    while (sent < data.size()) {
        size_t size = std::min<size_t>(data.size() - sent, 1 + rng() % (rng() % 4 ? 2000 : 70000));
        ASSERT_TRUE(Write(h, data.substr(sent, size))) << "at " << sent;
        sent += size;
    }
    ASSERT_TRUE(printer_.waitForBytes(data.size(), 60s));
    EXPECT_TRUE(printer_.received() == data);
}

TEST_F(PortIoTest, AnEchoingPrinterSendsEveryByteBack) {
    printer_.setEcho(true);
    Port(u"COM3");
    HANDLE h = Open(u"COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    std::string data = RandomBytes(2 << 20, 7);
    std::string echoed;
    std::thread reader([&] { echoed = ReadBytes(h, data.size()); });
    std::mt19937 rng(8);
    bool ok = true;
    for (size_t sent = 0; ok && sent < data.size();) {
        size_t size = std::min<size_t>(data.size() - sent, 1 + rng() % 9000);
        ok = Write(h, data.substr(sent, size));
        sent += size;
    }
    reader.join();
    EXPECT_TRUE(ok);
    ASSERT_EQ(echoed.size(), data.size());
    EXPECT_TRUE(echoed == data);
}

// A printer at an address other than loopback: a test host in a private network namespace.
class PortIoNamespace : public PortIoTest {};

TEST_F(PortIoNamespace, OpenConnectsToTheAddressAndPortOfTheStoreKey) {
    TARNEL_IN_NAMESPACE(PortIoNamespace, OpenConnectsToTheAddressAndPortOfTheStoreKey,
                        "192.168.0.50")
    printersim::Options options;
    options.address = "192.168.0.50";
    options.port = 9100;
    printersim::PrinterSimulator printer(options);
    std::string error;
    ASSERT_TRUE(printer.start(error)) << error;
    std::u16string id = AddPort(u"COM3");
    Assign(u"COM3", {192, 168, 0, 50}, 9100);  // stored as C0 A8 00 32 and 23 8C 00 00
    ASSERT_EQ(hk::StartDeviceInstance(id), STATUS_SUCCESS);
    HANDLE h = Open(u"COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, "ticket", 6, &written, nullptr));
    EXPECT_TRUE(printer.waitForBytes(6, kWait));
    EXPECT_EQ(printer.received(), "ticket");
    EXPECT_EQ(printer.connectionCount(), 1u);
}

}  // namespace
}  // namespace tarnel::test
