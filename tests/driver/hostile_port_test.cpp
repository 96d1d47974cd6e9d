// A Tarnel port used by a hostile application against misbehaving printers: one handle's
// requests from several threads, closes in the middle of connects and sends, stalled and
// resetting printers, full listen queues, closes deferred by held requests, surprise removal.
#include <gmock/gmock.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/kernel/user_io.h"
#include "platform/host/win32/windows.h"
#include "tests/driver/printer_port_fixture.h"

namespace tarnel::test {
namespace {

namespace hk = host::kernel;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const char kConnectLine[] = "*(^^)* Connect TimeoutValue: d646d900\n";

// A listener on loopback whose accept queue is full and never drained: connects to it get no
// answer, as a printer that is busy with another client.
class FullListenQueue {
  public:
    FullListenQueue() {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener_, 0);
        socklen_t len = sizeof a;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        for (int i = 0; i < 4; ++i) {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
            fillers_.push_back(fd);
        }
        std::this_thread::sleep_for(50ms);
    }
    ~FullListenQueue() {
        for (int fd : fillers_)
            close(fd);
        close(listener_);
    }
    uint16_t port() const { return port_; }

  private:
    int listener_ = -1;
    uint16_t port_ = 0;
    std::vector<int> fillers_;
};

struct Overlapped {
    Overlapped() { o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() { CloseHandle(o.hEvent); }
    OVERLAPPED o{};
};

class HostilePortTest : public PrinterPortTest {
  protected:
    // Makes the handle lose its connection: the printer closes, a write fails and tears down.
    void LoseConnection(HANDLE h) {
        ASSERT_TRUE(printer_.waitForConnections(printer_.connectionCount(), kWait));
        printer_.closeConnections();
        ASSERT_TRUE(printer_.waitForNoOpenConnection(kWait));
        auto deadline = Clock::now() + kWait;
        bool failed = false;
        while (!failed && Clock::now() < deadline)
            failed = !WriteSync(h, "x");
        ASSERT_TRUE(failed);
        ASSERT_EQ(hk::PoolOutstanding("TdiE"), 0u);
    }
    // A write on an overlapped handle, waited for.
    static bool WriteSync(HANDLE h, const std::string& bytes) {
        Overlapped ov;
        DWORD n = 0;
        if (!WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, &ov.o) &&
            GetLastError() != ERROR_IO_PENDING)
            return false;
        return GetOverlappedResult(h, &ov.o, &n, TRUE) && n == bytes.size();
    }
};

// Fault: cleanup freed the record while a write reconnecting to a printer whose listen queue was
// full still used it. Now cleanup cancels the connect at once and the record goes once.
TEST_F(HostilePortTest, CleanupCancelsAWriteThatIsReconnecting) {
    Port(u"COM3");
    HANDLE h = Open(u"COM3", FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    LoseConnection(h);
    FullListenQueue busy;
    Assign(u"COM3", {127, 0, 0, 1}, busy.port());
    hk::ClearDebugLines();

    // Writes block their thread until sent: the write reconnects on a thread of its own.
    std::atomic<int> written{-1};
    std::thread writer([&] { written = WriteSync(h, "ticket"); });
    ASSERT_TRUE(WaitForLine(kConnectLine));  // the connect waits for an answer that never comes
    std::this_thread::sleep_for(50ms);

    auto start = Clock::now();
    Close(h);
    writer.join();
    EXPECT_LT(Clock::now() - start, 10s);  // not the connect's 70 s
    EXPECT_EQ(written.load(), 0);
    EXPECT_EQ(hk::PoolOutstanding("TdiE"), 0u);

    // The port is free at once.
    Assign(u"COM3", {127, 0, 0, 1}, printer_.port());
    EXPECT_NE(Open(u"COM3"), INVALID_HANDLE_VALUE) << GetLastError();
}

// Fault: two writes whose sends failed together both tore the record down.
TEST_F(HostilePortTest, WritesWhoseSendsFailTogetherTearDownOnce) {
    Port(u"COM3");
    HANDLE h = Open(u"COM3", FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(printer_.waitForConnections(1, kWait));
    printer_.setStopReading(true);
    // Far more than the socket buffers hold: both sends stay in flight.
    std::string page(8 << 20, 'p');
    std::atomic<int> results[2] = {-1, -1};
    std::vector<std::thread> writers;
    for (auto& result : results)
        writers.emplace_back([&] { result = WriteSync(h, page); });
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(results[0].load(), -1);  // both still sending
    EXPECT_EQ(results[1].load(), -1);
    // Closing with unread bytes, the printer resets the connection: both sends fail.
    auto start = Clock::now();
    printer_.closeConnections();
    for (auto& t : writers)
        t.join();
    EXPECT_LT(Clock::now() - start, 10s);
    EXPECT_EQ(results[0].load(), 0);
    EXPECT_EQ(results[1].load(), 0);
    EXPECT_EQ(hk::PoolOutstanding("TdiE"), 0u);

    // The next write connects once more and its bytes arrive.
    printer_.setStopReading(false);
    EXPECT_TRUE(WriteSync(h, "again"));
    EXPECT_TRUE(printer_.waitForConnections(2, kWait));
    EXPECT_TRUE(printer_.waitForBytes(5, kWait));
    EXPECT_EQ(printer_.connectionCount(), 2u);
    EXPECT_EQ(printer_.connections().at(1), "again");
}

// Fault: two writes on a handle without a connection both reconnected, leaving a second
// connection and an orphaned record.
TEST_F(HostilePortTest, WritesWithoutAConnectionReconnectOnceAndShareIt) {
    Port(u"COM3");
    HANDLE h = Open(u"COM3", FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        LoseConnection(h);
        const size_t before = printer_.connectionCount();
        const size_t bytesBefore = printer_.received().size();
        constexpr int kWriters = 8;
        std::barrier start(kWriters);
        std::atomic<int> ok{0};
        std::vector<std::thread> writers;
        for (int i = 0; i < kWriters; ++i) {
            writers.emplace_back([&, i] {
                start.arrive_and_wait();
                ok += WriteSync(h, std::string(10, static_cast<char>('a' + i)));
            });
        }
        for (auto& t : writers)
            t.join();
        EXPECT_EQ(ok.load(), kWriters);
        EXPECT_TRUE(printer_.waitForBytes(bytesBefore + 10 * kWriters, kWait));
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(printer_.connectionCount(), before + 1);
        EXPECT_EQ(hk::PoolOutstanding("TdiE"), 1u);
    }
}

// Fault: the late close of an earlier file object (kept alive by a held removal notification)
// cleared the claim of a newer handle, so a third open succeeded beside it.
TEST_F(HostilePortTest, ALateCloseLeavesTheNewerHandlesClaim) {
    Port(u"COM3");
    PFILE_OBJECT first = nullptr;
    ASSERT_EQ(hk::UserOpen(u"COM3", GENERIC_READ | GENERIC_WRITE, 0, &first), STATUS_SUCCESS);
    std::atomic<bool> notified{false};
    hk::UserRequestParameters held{IRP_MJ_DEVICE_CONTROL, 0x222000};
    EXPECT_EQ(hk::UserRequest(first, held, [&](const IO_STATUS_BLOCK&) { notified = true; }),
              STATUS_PENDING);
    hk::UserCleanup(first);
    hk::UserRelease(first);  // the close waits for the held request

    PFILE_OBJECT second = nullptr;
    ASSERT_EQ(hk::UserOpen(u"COM3", GENERIC_READ | GENERIC_WRITE, 0, &second), STATUS_SUCCESS);
    hk::ClearDebugLines();
    hk::UserCancel(first, false);  // the held request ends; the first file object's close goes
    ASSERT_TRUE(WaitForLine("VSERIAL_Close End \n"));
    EXPECT_TRUE(notified);

    PFILE_OBJECT third = nullptr;
    EXPECT_EQ(hk::UserOpen(u"COM3", GENERIC_READ | GENERIC_WRITE, 0, &third),
              STATUS_PORT_CONNECTION_REFUSED);
    // The newer handle still has its lines, its workers and its connection.
    ULONG status = 0;
    IO_STATUS_BLOCK result{};
    std::atomic<bool> done{false};
    hk::UserRequestParameters modem{
        IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof status};
    hk::UserRequest(second, modem, [&](const IO_STATUS_BLOCK& r) {
        result = r;
        done = true;
    });
    ASSERT_TRUE(done);
    EXPECT_EQ(status & (SERIAL_CTS_STATE | SERIAL_DSR_STATE), SERIAL_CTS_STATE | SERIAL_DSR_STATE);
    hk::UserRequestParameters write{IRP_MJ_WRITE, 0, "still", 5};
    done = false;
    hk::UserRequest(second, write, [&](const IO_STATUS_BLOCK& r) {
        result = r;
        done = true;
    });
    ASSERT_TRUE(done);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_TRUE(printer_.waitForBytes(5, kWait));
    EXPECT_EQ(printer_.connectionCount(), 2u);
    hk::UserCleanup(second);
    hk::UserRelease(second);
    EXPECT_TRUE(printer_.waitForNoOpenConnection(kWait));
}

// Fault: an open after surprise removal succeeded beside the open handle, whose cleanup then
// stopped the new handle's workers.
TEST_F(HostilePortTest, OpensFailAfterSurpriseRemoval) {
    std::u16string id = Port(u"COM3");
    HANDLE h = Open(u"COM3", FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(printer_.waitForConnections(1, kWait));
    ASSERT_EQ(hk::SendPnpRequest(id, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    PFILE_OBJECT late = nullptr;
    EXPECT_EQ(hk::UserOpen(u"COM3", GENERIC_READ | GENERIC_WRITE, 0, &late), STATUS_DELETE_PENDING);
    EXPECT_EQ(Open(u"COM3"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(printer_.connectionCount(), 1u);
    Close(h);
    EXPECT_TRUE(printer_.waitForNoOpenConnection(kWait));
    EXPECT_EQ(hk::UserOpen(u"COM3", GENERIC_READ | GENERIC_WRITE, 0, &late), STATUS_DELETE_PENDING);
    EXPECT_EQ(hk::TimerResolutionRequests(), 0u);
}

// Fault: bytes left with the transport when the ring was full stayed there once the printer
// fell silent. Sent in one burst, then silence; the application reads only afterwards.
TEST_F(HostilePortTest, AReplyLargerThanTheRingArrivesWholeAfterSilence) {
    Port(u"COM3");
    HANDLE h = Open(u"COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(printer_.waitForConnections(1, kWait));
    std::string reply(2 * 262144 + 12345, '\0');
    for (size_t i = 0; i < reply.size(); ++i)
        reply[i] = static_cast<char>((i * 7919) >> 5);
    printer_.send(reply);
    std::this_thread::sleep_for(300ms);             // everything that fits is in; the rest waits
    COMMTIMEOUTS timeouts{0xFFFFFFFF, 0, 0, 0, 0};  // reads return at once
    ASSERT_TRUE(SetCommTimeouts(h, &timeouts));
    std::string got;
    std::vector<char> buffer(100000);
    auto deadline = Clock::now() + kWait;
    while (got.size() < reply.size() && Clock::now() < deadline) {
        DWORD n = 0;
        ASSERT_TRUE(ReadFile(h, buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr));
        got.append(buffer.data(), n);
        if (!n)
            std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(got.size(), reply.size());
    EXPECT_TRUE(got == reply);
}

// Fault: cleanup waited out a stalled printer (up to 110 s) before the port could be opened
// again. Now it cancels the send in flight, and the wait for the printer is short.
TEST_F(HostilePortTest, CleanupWithAStalledPrinterIsShortAndThePortReopensAtOnce) {
    Port(u"COM3");
    HANDLE h = Open(u"COM3", FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(printer_.waitForConnections(1, kWait));
    printer_.setStopReading(true);
    std::string page(16 << 20, 'q');
    std::atomic<int> written{-1};
    std::thread writer([&] { written = WriteSync(h, page); });
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(written.load(), -1);  // still sending

    auto start = Clock::now();
    Close(h);
    EXPECT_LT(Clock::now() - start, 8s);
    writer.join();
    EXPECT_EQ(written.load(), 0);
    HANDLE again = Open(u"COM3");
    EXPECT_NE(again, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(hk::PoolOutstanding("TdiE"), 1u);
}

// The workers' polls need a 1 ms clock only while a read or a wait is being counted: an idle
// open handle leaves the system clock alone; a waiting wait-on-mask makes both workers poll and
// ask for it, and each gives it back a while after the wait is done, or at once when the handle
// closes.
TEST_F(HostilePortTest, TimerResolutionIsHeldOnlyWhilePollsAreCounted) {
    Port(u"COM3");
    HANDLE h = Open(u"COM3", FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(Open(u"COM3"), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(printer_.waitForConnections(1, kWait));
    EXPECT_EQ(hk::TimerResolutionRequests(), 0u) << "an idle open port";
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));

    auto requestsBecome = [](size_t wanted) {
        const auto deadline = Clock::now() + kWait;
        while (hk::TimerResolutionRequests() != wanted && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return hk::TimerResolutionRequests() == wanted;
    };
    DWORD events = 0, n = 0;
    {
        Overlapped wait;
        ASSERT_FALSE(WaitCommEvent(h, &events, &wait.o));
        ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
        EXPECT_TRUE(requestsBecome(2)) << "both workers poll for the wait";
        printer_.send("r");
        ASSERT_TRUE(GetOverlappedResult(h, &wait.o, &n, TRUE));
        EXPECT_EQ(events, DWORD(EV_RXCHAR));
        EXPECT_TRUE(requestsBecome(0)) << "given back once nothing waits";
    }
    Overlapped wait;
    ASSERT_FALSE(WaitCommEvent(h, &events, &wait.o));
    ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    EXPECT_TRUE(requestsBecome(2));
    Close(h);
    EXPECT_EQ(hk::TimerResolutionRequests(), 0u) << "given back as the handle closes";
}

// On Windows 10 (the machine's default) nothing the driver allocates is executable.
TEST_F(HostilePortTest, NothingExecutableIsAllocatedOnWindows10) {
    ASSERT_EQ(machine_->machine().config().windowsMajor, 10u);
    const char* tags[] = {"10XB", "20XB", "11XB", "21XB", "31XB", "TdiE"};
    std::vector<size_t> before;
    for (const char* tag : tags)
        before.push_back(hk::ExecutablePoolAllocations(tag));
    Port(u"COM3");
    HANDLE h = Open(u"COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(h, "nx", 2, &n, nullptr));
    Close(h);
    EXPECT_GT(hk::PoolOutstanding("10XB"), 0u);  // the ring was allocated, and is non-paged
    for (size_t i = 0; i < std::size(tags); ++i)
        EXPECT_EQ(hk::ExecutablePoolAllocations(tags[i]), before[i]) << tags[i];
}

}  // namespace
}  // namespace tarnel::test
