// The printer simulator's print server over real loopback connections: what it records, what it
// sends, each misbehaviour, and a stop that leaves no thread or socket behind.
#include <gtest/gtest.h>

#include <dirent.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/printer_sim/loopback_client.h"
#include "tools/printer-sim/printer_sim.h"

namespace tarnel::printersim::test {
namespace {

std::string allByteValues() {
    std::string bytes;
    for (int i = 0; i < 256; ++i) {
        bytes += static_cast<char>(i);
    }
    return bytes;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

size_t countEntries(const char* dir) {
    size_t count = 0;
    if (DIR* d = ::opendir(dir)) {
        while (::readdir(d) != nullptr) {
            ++count;
        }
        ::closedir(d);
    }
    return count;
}

class PrinterServer : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(printer.start(error)) << error;
        ASSERT_NE(printer.port(), 0);
    }

    PrinterSimulator printer;
};

TEST_F(PrinterServer, RecordsEveryConnectionsBytesInOrder) {
    LoopbackClient first(printer.port());
    ASSERT_TRUE(first.connected());
    ASSERT_TRUE(printer.waitForConnections(1, kWait));
    LoopbackClient second(printer.port());
    ASSERT_TRUE(second.connected());
    ASSERT_TRUE(printer.waitForConnections(2, kWait));

    // Interleaved writes: each connection's record keeps its own order.
    const std::string binary = allByteValues();
    ASSERT_TRUE(first.sendAll("first:"));
    ASSERT_TRUE(second.sendAll("second:"));
    ASSERT_TRUE(first.sendAll(binary));
    ASSERT_TRUE(second.sendAll(std::string(3, '\0')));
    ASSERT_TRUE(first.sendAll(":end"));
    const std::string firstBytes = "first:" + binary + ":end";
    const std::string secondBytes = "second:" + std::string(3, '\0');
    ASSERT_TRUE(printer.waitForBytes(firstBytes.size() + secondBytes.size(), kWait));

    EXPECT_EQ(printer.connectionCount(), 2u);
    EXPECT_EQ(printer.connections(), (std::vector<std::string>{firstBytes, secondBytes}));
    EXPECT_EQ(printer.received(), firstBytes + secondBytes);

    // Bytes stay recorded after the clients leave.
    first.close();
    second.close();
    EXPECT_TRUE(printer.waitForNoOpenConnection(kWait));
    EXPECT_EQ(printer.received(), firstBytes + secondBytes);
}

TEST(PrinterRecordFiles, OneFilePerConnectionBesideEarlierOnes) {
    char pattern[] = "/tmp/tarnel-printer-sim-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::filesystem::path dir = pattern;
    const std::filesystem::path folder = dir / "records";
    std::filesystem::create_directories(folder);
    { std::ofstream(folder / "connection-0001.bin") << "from an earlier run"; }

    {
        Options options;
        options.recordDir = folder.string();
        PrinterSimulator printer(options);
        std::string error;
        ASSERT_TRUE(printer.start(error)) << error;
        for (const char* bytes : {"one", "two"}) {
            LoopbackClient client(printer.port());
            ASSERT_TRUE(client.connected());
            ASSERT_TRUE(client.sendAll(bytes));
        }
        ASSERT_TRUE(printer.waitForConnections(2, kWait));
        EXPECT_TRUE(printer.waitForNoOpenConnection(kWait));
        EXPECT_EQ(printer.lastError(), "");
    }
    EXPECT_EQ(readFile(folder / "connection-0001.bin"), "from an earlier run");
    EXPECT_EQ(readFile(folder / "connection-0002.bin"), "one");
    EXPECT_EQ(readFile(folder / "connection-0003.bin"), "two");
    std::filesystem::remove_all(dir);
}

TEST_F(PrinterServer, ObserverSeesConnectReceiveAndClose) {
    std::mutex lock;
    std::vector<Event> events;
    printer.setObserver([&](const Event& e) {
        std::lock_guard guard(lock);
        events.push_back(e);
    });
    {
        LoopbackClient client(printer.port());
        ASSERT_TRUE(client.connected());
        ASSERT_TRUE(client.sendAll("abc"));
        ASSERT_TRUE(printer.waitForBytes(3, kWait));
    }
    ASSERT_TRUE(printer.waitForNoOpenConnection(kWait));
    printer.stop();  // the observer has run for everything once the server thread is gone

    std::lock_guard guard(lock);
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events.front().kind, Event::Kind::Connected);
    EXPECT_EQ(events.front().connection, 1u);
    EXPECT_TRUE(events.front().peer.starts_with("127.0.0.1:")) << events.front().peer;
    std::string bytes;
    for (size_t i = 1; i + 1 < events.size(); ++i) {
        EXPECT_EQ(events[i].kind, Event::Kind::Received);
        bytes += events[i].bytes;
        EXPECT_EQ(events[i].total, bytes.size());
    }
    EXPECT_EQ(bytes, "abc");
    EXPECT_EQ(events.back().kind, Event::Kind::Closed);
    EXPECT_EQ(events.back().reason, "closed by the client");
    EXPECT_EQ(events.back().total, 3u);
}

TEST_F(PrinterServer, SendsToEveryOpenConnectionOnly) {
    LoopbackClient first(printer.port());
    LoopbackClient second(printer.port());
    ASSERT_TRUE(first.connected() && second.connected());
    ASSERT_TRUE(printer.waitForConnections(2, kWait));

    const std::string status("\x10\x04\x00\x12", 4);
    printer.send(status);
    EXPECT_EQ(first.read(status.size()), status);
    EXPECT_EQ(second.read(status.size()), status);

    // A connection made after a send does not get it: its first bytes are the next send's.
    LoopbackClient late(printer.port());
    ASSERT_TRUE(late.connected());
    ASSERT_TRUE(printer.waitForConnections(3, kWait));
    printer.send("next");
    EXPECT_EQ(late.read(4), "next");
    EXPECT_EQ(first.read(4), "next");
}

TEST_F(PrinterServer, EchoSendsEveryByteBack) {
    printer.setEcho(true);
    LoopbackClient client(printer.port());
    ASSERT_TRUE(client.connected());
    const std::string binary = allByteValues();
    ASSERT_TRUE(client.sendAll(binary.substr(0, 100)));
    ASSERT_TRUE(client.sendAll(binary.substr(100)));
    EXPECT_EQ(client.read(binary.size()), binary);

    // Switched off: bytes are recorded and nothing comes back, up to the model reply.
    printer.setEcho(false);
    ASSERT_TRUE(client.sendAll(std::string("quiet\x1D\x49\x43", 8)));
    EXPECT_EQ(client.read(12), std::string("\x5F"
                                           "TARNEL-SIM",
                                           11) +
                                   std::string(1, '\0'));
    EXPECT_EQ(printer.received(), binary + std::string("quiet\x1D\x49\x43", 8));
}

TEST_F(PrinterServer, RefusedConnectsFailAtOnceAndOpenOnesStay) {
    LoopbackClient before(printer.port());
    ASSERT_TRUE(before.connected());
    ASSERT_TRUE(printer.waitForConnections(1, kWait));

    printer.setRefuseConnections(true);
    for (int attempt = 0; attempt < 3; ++attempt) {
        SCOPED_TRACE(attempt);
        const auto started = std::chrono::steady_clock::now();
        LoopbackClient refused(printer.port());
        EXPECT_FALSE(refused.connected());
        EXPECT_EQ(refused.error(), ECONNREFUSED);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    }
    // The connection made before the refusal still carries bytes.
    ASSERT_TRUE(before.sendAll("still here"));
    ASSERT_TRUE(printer.waitForBytes(10, kWait));
    EXPECT_EQ(printer.connectionCount(), 1u);

    printer.setRefuseConnections(false);
    LoopbackClient after(printer.port());
    ASSERT_TRUE(after.connected()) << after.error();
    ASSERT_TRUE(after.sendAll("back"));
    ASSERT_TRUE(printer.waitForBytes(14, kWait));
    EXPECT_EQ(printer.connections(), (std::vector<std::string>{"still here", "back"}));
}

TEST(PrinterRefusal, SetBeforeStartLetsNobodyIn) {
    PrinterSimulator printer;
    printer.setRefuseConnections(true);
    std::string error;
    ASSERT_TRUE(printer.start(error)) << error;
    ASSERT_NE(printer.port(), 0);
    LoopbackClient refused(printer.port());
    EXPECT_FALSE(refused.connected());
    EXPECT_EQ(refused.error(), ECONNREFUSED);
    EXPECT_EQ(printer.connectionCount(), 0u);
}

TEST_F(PrinterServer, CloseAfterTakesExactlyThatManyBytesPerConnection) {
    constexpr size_t kLimit = 10;
    printer.setCloseAfter(kLimit);
    const std::string stream = "0123456789abcdefghijklmno";
    struct Case {
        const char* label;
        std::vector<size_t> writes;  // sizes of the successive writes of `stream`
        bool orderlyClose;           // nothing left unread, so the close is a FIN, not a reset
    };
    const std::vector<Case> cases = {
        {"exactly the limit", {10}, true},
        {"across writes", {4, 4, 2}, true},
        {"past the limit in one write", {25}, false},
        {"crossing the limit", {6, 19}, false},
    };
    size_t index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        LoopbackClient client(printer.port());
        ASSERT_TRUE(client.connected());
        size_t offset = 0;
        for (size_t size : c.writes) {
            ASSERT_TRUE(client.sendAll(stream.substr(offset, size)));
            offset += size;
        }
        const auto end = client.waitForEnd();
        if (c.orderlyClose) {
            EXPECT_EQ(end, LoopbackClient::End::Eof);
        } else {
            EXPECT_TRUE(end == LoopbackClient::End::Eof || end == LoopbackClient::End::Reset);
        }
        ASSERT_TRUE(printer.waitForNoOpenConnection(kWait));
        ASSERT_EQ(printer.connectionCount(), ++index);
        EXPECT_EQ(printer.connections().back(), stream.substr(0, kLimit));
    }

    // Lowering the limit below what an open connection already received closes it.
    printer.setCloseAfter(0);
    LoopbackClient client(printer.port());
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.sendAll("12345"));
    ASSERT_TRUE(printer.waitForBytes(index * kLimit + 5, kWait));
    printer.setCloseAfter(3);
    EXPECT_EQ(client.waitForEnd(), LoopbackClient::End::Eof);
    EXPECT_EQ(printer.connections().back(), "12345");
}

TEST_F(PrinterServer, StopReadingFillsTheWindowAndResumingDeliversAllInOrder) {
    LoopbackClient client(printer.port());
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.sendAll("head"));
    ASSERT_TRUE(printer.waitForBytes(4, kWait));

    printer.setStopReading(true);
    // A small send buffer makes the window fill after a few hundred kilobytes.
    int small = 16 * 1024;
    ::setsockopt(client.fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ASSERT_EQ(::fcntl(client.fd(), F_SETFL, ::fcntl(client.fd(), F_GETFL) | O_NONBLOCK), 0);

    std::string sent;
    auto chunk = [](size_t n) {
        std::string bytes(4096, '\0');
        for (size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<char>((n * 4096 + i) % 251);  // a prime: no chunk repeats
        }
        return bytes;
    };
    bool blocked = false;
    for (size_t n = 0; n < 16 * 1024 && !blocked; ++n) {  // at most 64 MiB
        const std::string bytes = chunk(n);
        ssize_t taken = ::send(client.fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (taken < 0) {
            ASSERT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << std::strerror(errno);
            blocked = true;
        } else {
            sent.append(bytes, 0, static_cast<size_t>(taken));
        }
    }
    ASSERT_TRUE(blocked) << "sends never blocked after " << sent.size() << " bytes";
    EXPECT_EQ(printer.received(), "head");  // not one byte read while stopped

    printer.setStopReading(false);
    // The client finishes with more bytes that can only go once the printer reads again.
    for (size_t n = 0; n < 64; ++n) {
        const std::string bytes = chunk(sent.size() / 4096 + n + 1);
        std::string_view left = bytes;
        while (!left.empty()) {
            pollfd p{client.fd(), POLLOUT, 0};
            ASSERT_EQ(::poll(&p, 1, static_cast<int>(kWait.count())), 1);
            ssize_t taken = ::send(client.fd(), left.data(), left.size(), MSG_NOSIGNAL);
            ASSERT_GT(taken, 0) << std::strerror(errno);
            sent.append(left.substr(0, static_cast<size_t>(taken)));
            left.remove_prefix(static_cast<size_t>(taken));
        }
    }
    ASSERT_TRUE(printer.waitForBytes(4 + sent.size(), kWait));
    EXPECT_TRUE(printer.received() == "head" + sent) << "bytes lost or out of order";
}

TEST_F(PrinterServer, CloseConnectionsEndsEveryOpenOneAndKeepsListening) {
    LoopbackClient first(printer.port());
    LoopbackClient second(printer.port());
    ASSERT_TRUE(first.connected() && second.connected());
    ASSERT_TRUE(first.sendAll("a") && second.sendAll("b"));
    ASSERT_TRUE(printer.waitForBytes(2, kWait));

    printer.closeConnections();
    // Done by the time the call returns.
    EXPECT_TRUE(printer.waitForNoOpenConnection(0ms));
    EXPECT_EQ(first.waitForEnd(), LoopbackClient::End::Eof);
    EXPECT_EQ(second.waitForEnd(), LoopbackClient::End::Eof);

    LoopbackClient next(printer.port());
    ASSERT_TRUE(next.connected());
    ASSERT_TRUE(next.sendAll("c"));
    ASSERT_TRUE(printer.waitForBytes(3, kWait));
    EXPECT_EQ(printer.connections(), (std::vector<std::string>{"a", "b", "c"}));
}

TEST(PrinterLifecycle, StopLeavesNoThreadOrSocketAndKeepsTheRecord) {
    // A sanitizer runtime starts a helper thread of its own with the first thread of the
    // process; let that happen before counting.
    std::thread([] {}).join();
    const size_t threadsBefore = countEntries("/proc/self/task");
    const size_t descriptorsBefore = countEntries("/proc/self/fd");
    {
        PrinterSimulator printer;
        std::string error;
        ASSERT_TRUE(printer.start(error)) << error;
        EXPECT_FALSE(printer.start(error));
        EXPECT_NE(error, "");
        const std::uint16_t port = printer.port();
        {
            // Stopped with a connection whose bytes wait unread and a reply not yet due.
            LoopbackClient idle(port);
            LoopbackClient waiting(port);
            ASSERT_TRUE(idle.connected() && waiting.connected());
            ASSERT_TRUE(waiting.sendAll("x"));
            ASSERT_TRUE(printer.waitForBytes(1, kWait));
            printer.setReplyDelay(60s);
            ASSERT_TRUE(waiting.sendAll("\x1D\x49\x43"));
            ASSERT_TRUE(printer.waitForBytes(4, kWait));
            printer.setStopReading(true);
            ASSERT_TRUE(idle.sendAll("unread"));

            printer.stop();
            // A reset when "unread" had reached the printer, else a close: never silence.
            const auto idleEnd = idle.waitForEnd();
            EXPECT_TRUE(idleEnd == LoopbackClient::End::Reset ||
                        idleEnd == LoopbackClient::End::Eof);
            EXPECT_EQ(waiting.waitForEnd(), LoopbackClient::End::Eof);
        }
        EXPECT_EQ(countEntries("/proc/self/task"), threadsBefore);
        EXPECT_EQ(countEntries("/proc/self/fd"), descriptorsBefore);
        LoopbackClient refused(port);
        EXPECT_EQ(refused.error(), ECONNREFUSED);
        EXPECT_EQ(printer.received(), "x\x1D\x49\x43");
        printer.stop();  // a second stop does nothing

        // Started again it serves the same port; the destructor stops it.
        printer.setStopReading(false);
        ASSERT_TRUE(printer.start(error)) << error;
        EXPECT_EQ(printer.port(), port);
        LoopbackClient again(port);
        ASSERT_TRUE(again.connected());
        ASSERT_TRUE(again.sendAll("y"));
        ASSERT_TRUE(printer.waitForBytes(5, kWait));
        EXPECT_EQ(printer.connectionCount(), 3u);
    }
    EXPECT_EQ(countEntries("/proc/self/task"), threadsBefore);
    EXPECT_EQ(countEntries("/proc/self/fd"), descriptorsBefore);
}

TEST(PrinterLifecycle, StartFailsWithAReason) {
    // A port with a live listener of the test's own.
    int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(holder, 0);
    sockaddr_in address = loopback(0);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length), 0);

    struct Case {
        const char* label;
        std::string address;
        std::uint16_t port;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"port in use", "127.0.0.1", ntohs(address.sin_port), "Address already in use"},
        {"not an address", "printer.local", 0, "not an IPv4 address"},
        {"IPv6", "::1", 0, "not an IPv4 address"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Options options;
        options.address = c.address;
        options.port = c.port;
        PrinterSimulator printer(options);
        std::string error;
        EXPECT_FALSE(printer.start(error));
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    }
    ::close(holder);
}

}  // namespace
}  // namespace tarnel::printersim::test
