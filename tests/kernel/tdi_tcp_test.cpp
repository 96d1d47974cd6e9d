// The host "\Device\Tcp" as a TDI client sees it, against loopback sockets of the test: address and
// connection objects, connect (refused, cancelled), send, receive indications with flow control,
// graceful disconnect, and sockets released when the objects close.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/kernel/host_kernel.h"
#include "tests/netns/netns.h"

namespace {

// A listening socket on `host` (127.0.0.1 by default) with an ephemeral port (network order in
// *address).
int ListenOnLoopback(int backlog, sockaddr_in* address, in_addr_t host = htonl(INADDR_LOOPBACK)) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    *address = sockaddr_in{};
    address->sin_family = AF_INET;
    address->sin_addr.s_addr = host;
    bind(fd, reinterpret_cast<sockaddr*>(address), sizeof *address);
    listen(fd, backlog);
    socklen_t len = sizeof *address;
    getsockname(fd, reinterpret_cast<sockaddr*>(address), &len);
    return fd;
}

// A listener of the test (on loopback unless told otherwise): the far end of the transport's
// connections.
class Peer {
  public:
    explicit Peer(in_addr_t host = htonl(INADDR_LOOPBACK)) {
        sockaddr_in a;
        listener_ = ListenOnLoopback(4, &a, host);
        port_ = a.sin_port;
    }
    ~Peer() {
        if (conn_ >= 0)
            close(conn_);
        close(listener_);
    }
    in_port_t port() const { return port_; }  // network order
    bool Accept() {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1)
            return false;
        conn_ = accept(listener_, nullptr, nullptr);
        return conn_ >= 0;
    }
    std::string Read(size_t n) {
        std::string out;
        while (out.size() < n) {
            pollfd p{conn_, POLLIN, 0};
            if (poll(&p, 1, 5000) != 1)
                break;
            char buf[65536];
            ssize_t r = recv(conn_, buf, std::min(sizeof buf, n - out.size()), 0);
            if (r <= 0)
                break;
            out.append(buf, static_cast<size_t>(r));
        }
        return out;
    }
    bool ReadsEof() {
        pollfd p{conn_, POLLIN, 0};
        char c;
        return poll(&p, 1, 5000) == 1 && recv(conn_, &c, 1, 0) == 0;
    }
    void Write(const std::string& s) { send(conn_, s.data(), s.size(), MSG_NOSIGNAL); }
    void Close() {
        close(conn_);
        conn_ = -1;
    }
    int fd() const { return conn_; }

  private:
    int listener_ = -1;
    int conn_ = -1;
    in_port_t port_ = 0;
};

// What the handlers saw, and how much the receive handler takes each time.
struct Indications {
    std::mutex mutex;
    std::string received;
    size_t takeAtMost = SIZE_MAX;
    int offers = 0;           // receive indications
    ULONG lastIndicated = 0;  // bytes indicated by the last of them
    ULONG lastAvailable = 0;
    int partOffers = 0;  // offers of fewer bytes than were available
    std::atomic<int> disconnects{0};
    std::atomic<ULONG> disconnectFlags{0};
    std::atomic<bool> wrongIrql{false};
};

NTSTATUS OnReceive(PVOID context, CONNECTION_CONTEXT, ULONG, ULONG indicated, ULONG available,
                   ULONG* taken, PVOID data, PIRP* request) {
    auto* ind = static_cast<Indications*>(context);
    if (KeGetCurrentIrql() != DISPATCH_LEVEL)
        ind->wrongIrql = true;
    std::lock_guard<std::mutex> lock(ind->mutex);
    ind->offers++;
    ind->lastIndicated = indicated;
    ind->lastAvailable = available;
    if (indicated < available)
        ind->partOffers++;
    size_t n = std::min<size_t>(indicated, ind->takeAtMost);
    ind->received.append(static_cast<const char*>(data), n);
    *taken = static_cast<ULONG>(n);
    *request = nullptr;
    return STATUS_SUCCESS;
}

NTSTATUS OnDisconnect(PVOID context, CONNECTION_CONTEXT, LONG, PVOID, LONG, PVOID, ULONG flags) {
    auto* ind = static_cast<Indications*>(context);
    ind->disconnectFlags = flags;
    ind->disconnects++;
    return STATUS_SUCCESS;
}

NTSTATUS Request(PFILE_OBJECT file, const std::function<void(PIRP)>& fill, LONGLONG waitMs = -1,
                 ULONG_PTR* information = nullptr) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(file);
    PIRP irp = IoBuildDeviceIoControlRequest(3, device, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
    fill(irp);
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        LARGE_INTEGER t;
        t.QuadPart = -waitMs * 10000;
        if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, waitMs < 0 ? nullptr : &t) ==
            STATUS_TIMEOUT) {
            IoCancelIrp(irp);
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        }
    }
    if (information)
        *information = iosb.Information;
    return iosb.Status;
}

std::vector<char> Ea(const char* name, const void* value, USHORT valueLength) {
    size_t nameLength = std::strlen(name);
    std::vector<char> buffer(sizeof(FILE_FULL_EA_INFORMATION) + nameLength + 1 + valueLength, 0);
    auto* ea = reinterpret_cast<FILE_FULL_EA_INFORMATION*>(buffer.data());
    ea->EaNameLength = static_cast<UCHAR>(nameLength);
    ea->EaValueLength = valueLength;
    std::memcpy(ea->EaName, name, nameLength);
    std::memcpy(ea->EaName + nameLength + 1, value, valueLength);
    return buffer;
}

TA_IP_ADDRESS IpAddress(in_addr_t address, in_port_t port) {
    TA_IP_ADDRESS ta{};
    ta.TAAddressCount = 1;
    ta.Address[0].AddressLength = TDI_ADDRESS_LENGTH_IP;
    ta.Address[0].AddressType = TDI_ADDRESS_TYPE_IP;
    ta.Address[0].Address[0].sin_port = port;
    ta.Address[0].Address[0].in_addr = address;
    return ta;
}

// One client endpoint: an address object and a connection object associated with it.
class Endpoint {
  public:
    explicit Endpoint(Indications* ind) {
        TA_IP_ADDRESS any = IpAddress(0, 0);
        Open(Ea(TdiTransportAddress, &any, sizeof any), addressHandle_, address_);
        PVOID context = nullptr;
        Open(Ea(TdiConnectionContext, &context, sizeof context), connectionHandle_, connection_);
        HANDLE addressHandle = addressHandle_;
        status_ = Request(connection_, [&](PIRP irp) {
            TdiBuildAssociateAddress(irp, IoGetRelatedDeviceObject(connection_), connection_,
                                     nullptr, nullptr, addressHandle);
        });
        const std::pair<LONG, PVOID> handlers[] = {{TDI_EVENT_RECEIVE, (PVOID)OnReceive},
                                                   {TDI_EVENT_DISCONNECT, (PVOID)OnDisconnect}};
        for (const auto& handler : handlers) {
            Request(address_, [&](PIRP irp) {
                TdiBuildSetEventHandler(irp, IoGetRelatedDeviceObject(address_), address_, nullptr,
                                        nullptr, handler.first, handler.second, ind);
            });
        }
    }
    ~Endpoint() {
        Request(connection_, [&](PIRP irp) {
            TdiBuildDisassociateAddress(irp, IoGetRelatedDeviceObject(connection_), connection_,
                                        nullptr, nullptr);
        });
        ObfDereferenceObject(connection_);
        ZwClose(connectionHandle_);
        ObfDereferenceObject(address_);
        ZwClose(addressHandle_);
    }
    // `transportMs` is the request's own time-out; `waitMs` how long the caller waits before it
    // cancels.
    NTSTATUS Connect(in_addr_t address, in_port_t port, LONGLONG waitMs = 5000,
                     LONGLONG transportMs = 5000) {
        TA_IP_ADDRESS remote = IpAddress(address, port);
        TDI_CONNECTION_INFORMATION request{}, answer{};
        request.RemoteAddressLength = sizeof remote;
        request.RemoteAddress = &remote;
        LARGE_INTEGER timeout;
        timeout.QuadPart = -transportMs * 10000;
        return Request(
            connection_,
            [&](PIRP irp) {
                TdiBuildConnect(irp, IoGetRelatedDeviceObject(connection_), connection_, nullptr,
                                nullptr, &timeout, &request, &answer);
            },
            waitMs);
    }
    NTSTATUS Send(const std::string& bytes, ULONG_PTR* sent) {
        std::string copy = bytes;
        PMDL mdl =
            IoAllocateMdl(copy.data(), static_cast<ULONG>(copy.size()), FALSE, FALSE, nullptr);
        MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
        return Request(
            connection_,
            [&](PIRP irp) {
                TdiBuildSend(irp, IoGetRelatedDeviceObject(connection_), connection_, nullptr,
                             nullptr, mdl, 0, static_cast<ULONG>(copy.size()));
            },
            5000, sent);
    }
    // TDI_RECEIVE of at most `length` bytes, waiting up to `waitMs`; the bytes go to `out`.
    NTSTATUS Receive(ULONG length, std::string& out, LONGLONG waitMs = 5000) {
        std::string buffer(length, '\0');
        PMDL mdl = IoAllocateMdl(buffer.data(), length, FALSE, FALSE, nullptr);
        MmBuildMdlForNonPagedPool(mdl);
        ULONG_PTR n = 0;
        NTSTATUS status = Request(
            connection_,
            [&](PIRP irp) {
                TdiBuildReceive(irp, IoGetRelatedDeviceObject(connection_), connection_, nullptr,
                                nullptr, mdl, TDI_RECEIVE_NORMAL, length);
            },
            waitMs, &n);
        out.assign(buffer.data(), NT_SUCCESS(status) ? n : 0);
        return status;
    }
    NTSTATUS Disconnect() {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -50000000;
        TDI_CONNECTION_INFORMATION answer{};
        return Request(connection_, [&](PIRP irp) {
            TdiBuildDisconnect(irp, IoGetRelatedDeviceObject(connection_), connection_, nullptr,
                               nullptr, &timeout, TDI_DISCONNECT_RELEASE, nullptr, &answer);
        });
    }
    NTSTATUS status() const { return status_; }
    PFILE_OBJECT connection() const { return connection_; }

  private:
    void Open(std::vector<char> ea, HANDLE& handle, PFILE_OBJECT& file) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"\\Device\\Tcp");
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                                   nullptr, nullptr);
        IO_STATUS_BLOCK iosb;
        status_ = ZwCreateFile(&handle, FILE_READ_EA | FILE_WRITE_EA, &attributes, &iosb, nullptr,
                               FILE_ATTRIBUTE_NORMAL, 0, FILE_OPEN_IF, 0, ea.data(),
                               static_cast<ULONG>(ea.size()));
        ASSERT_EQ(status_, STATUS_SUCCESS);
        PVOID object;
        ASSERT_EQ(ObReferenceObjectByHandle(handle, GENERIC_READ | GENERIC_WRITE, nullptr,
                                            KernelMode, &object, nullptr),
                  STATUS_SUCCESS);
        file = static_cast<PFILE_OBJECT>(object);
    }
    HANDLE addressHandle_ = nullptr, connectionHandle_ = nullptr;
    PFILE_OBJECT address_ = nullptr, connection_ = nullptr;
    NTSTATUS status_ = STATUS_SUCCESS;
};

bool WaitFor(const std::function<bool()>& condition) {
    for (int i = 0; i < 5000; ++i) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
}

const in_addr_t kLoopback = htonl(INADDR_LOOPBACK);

TEST(TcpTransport, ConnectSendReceiveAndGracefulClose) {
    Peer peer;
    Indications ind;
    {
        Endpoint endpoint(&ind);
        ASSERT_EQ(endpoint.status(), STATUS_SUCCESS);
        ASSERT_EQ(endpoint.Connect(kLoopback, peer.port()), STATUS_SUCCESS);
        ASSERT_TRUE(peer.Accept());

        std::string data(5000, '\0');
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<char>(i * 7);
        ULONG_PTR sent = 0;
        EXPECT_EQ(endpoint.Send(data, &sent), STATUS_SUCCESS);
        EXPECT_EQ(sent, 5000u);
        EXPECT_EQ(peer.Read(5000), data);

        peer.Write("reply");
        EXPECT_TRUE(WaitFor([&] {
            std::lock_guard<std::mutex> lock(ind.mutex);
            return ind.received == "reply";
        }));
        EXPECT_FALSE(ind.wrongIrql);

        // Our FIN first; the disconnect is indicated when the peer closes its side.
        EXPECT_EQ(endpoint.Disconnect(), STATUS_SUCCESS);
        EXPECT_TRUE(peer.ReadsEof());
        EXPECT_EQ(ind.disconnects.load(), 0);
        peer.Close();
        EXPECT_TRUE(WaitFor([&] { return ind.disconnects.load() == 1; }));
        EXPECT_EQ(ind.disconnectFlags.load(), static_cast<ULONG>(TDI_DISCONNECT_RELEASE));
    }
}

TEST(TcpTransport, BytesNotTakenWaitForNewBytesOrAReceiveAndHoldThePeerBack) {
    Peer peer;
    Indications ind;
    ind.takeAtMost = 0;  // the client's buffer is full
    Endpoint endpoint(&ind);
    ASSERT_EQ(endpoint.Connect(kLoopback, peer.port()), STATUS_SUCCESS);
    ASSERT_TRUE(peer.Accept());
    auto offers = [&] {
        std::lock_guard<std::mutex> lock(ind.mutex);
        return ind.offers;
    };

    // Left with the transport, the bytes are not offered again while nothing new arrives.
    std::string first(100, 'a');
    for (size_t i = 0; i < first.size(); ++i)
        first[i] = static_cast<char>('a' + i % 26);
    peer.Write(first);
    ASSERT_TRUE(WaitFor([&] { return offers() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(offers(), 1);
    // New bytes bring the old ones along, in order.
    peer.Write("!");
    ASSERT_TRUE(WaitFor([&] { return offers() == 2; }));
    {
        std::lock_guard<std::mutex> lock(ind.mutex);
        EXPECT_EQ(ind.lastIndicated, 101u);
        EXPECT_TRUE(ind.received.empty());
    }
    // A receive request takes them at any time, as much as it asks for.
    std::string got;
    EXPECT_EQ(endpoint.Receive(50, got), STATUS_SUCCESS);
    EXPECT_EQ(got, first.substr(0, 50));
    EXPECT_EQ(endpoint.Receive(1000, got), STATUS_SUCCESS);
    EXPECT_EQ(got, first.substr(50) + "!");
    // With nothing held, a receive request waits for the next bytes; the handler sees none.
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        peer.Write("xyz");
    });
    EXPECT_EQ(endpoint.Receive(1000, got), STATUS_SUCCESS);
    later.join();
    EXPECT_EQ(got, "xyz");
    EXPECT_EQ(offers(), 2);

    // Far more than the socket buffers hold: the peer's sends must block while nothing is taken.
    std::string big(8 << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>((i * 131) >> 3);
    std::atomic<size_t> written{0};
    std::thread writer([&] {
        size_t off = 0;
        while (off < big.size()) {
            ssize_t n = send(peer.fd(), big.data() + off, big.size() - off, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            off += static_cast<size_t>(n);
            written = off;
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_LT(written.load(), big.size());  // held back by the closed window
    // Receive requests drain it, in order, while the handler still takes nothing.
    std::string drained;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (drained.size() < big.size() && std::chrono::steady_clock::now() < deadline) {
        if (endpoint.Receive(64 * 1024, got, 200) == STATUS_SUCCESS)
            drained += got;
    }
    writer.join();
    ASSERT_EQ(drained.size(), big.size());
    EXPECT_TRUE(drained == big);
    std::lock_guard<std::mutex> lock(ind.mutex);
    EXPECT_TRUE(ind.received.empty());
}

// Held bytes that reach the end of the transport's buffer continue at its front: a handler that
// takes everything gets all of them, in order, the wrapped part right after the first.
TEST(TcpTransport, HeldBytesThatWrapAroundAreOfferedWhole) {
    Peer peer;
    Indications ind;
    ind.takeAtMost = 0;
    Endpoint endpoint(&ind);
    ASSERT_EQ(endpoint.Connect(kLoopback, peer.port()), STATUS_SUCCESS);
    ASSERT_TRUE(peer.Accept());
    std::string stream(350000, '\0');
    for (size_t i = 0; i < stream.size(); ++i)
        stream[i] = static_cast<char>((i * 7919) >> 5);
    const size_t held = 250000, received = 200000;
    peer.Write(stream.substr(0, held));
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> lock(ind.mutex);
        return ind.lastAvailable == held;
    }));
    std::string got, all;
    while (all.size() < received &&
           endpoint.Receive(static_cast<ULONG>(received - all.size()), got) == STATUS_SUCCESS)
        all += got;
    ASSERT_EQ(all, stream.substr(0, received));
    {
        std::lock_guard<std::mutex> lock(ind.mutex);
        ind.takeAtMost = SIZE_MAX;
        ind.partOffers = 0;
    }
    peer.Write(stream.substr(held));
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> lock(ind.mutex);
        return ind.received.size() >= stream.size() - received;
    }));
    std::lock_guard<std::mutex> lock(ind.mutex);
    EXPECT_TRUE(ind.received == stream.substr(received));
    EXPECT_GE(ind.partOffers, 1);  // the bytes did wrap
}

TEST(TcpTransport, ConnectFailures) {
    Indications ind;
    {
        in_port_t closedPort;
        {
            Peer gone;  // a port that nobody listens on once this peer is gone
            closedPort = gone.port();
        }
        Peer peer;
        Endpoint endpoint(&ind);
        EXPECT_EQ(endpoint.Connect(kLoopback, closedPort), STATUS_CONNECTION_REFUSED);
        // The object can connect again after a failure.
        EXPECT_EQ(endpoint.Connect(kLoopback, peer.port()), STATUS_SUCCESS);
    }
    {
        Endpoint endpoint(&ind);
        EXPECT_EQ(endpoint.Connect(0, 0), STATUS_CONNECTION_REFUSED);  // 0.0.0.0 port 0
    }
}

// A listener whose accept queue is full: further connects stay unanswered.
class SilentPeer {
  public:
    SilentPeer() {
        sockaddr_in a;
        listener_ = ListenOnLoopback(0, &a);
        port_ = a.sin_port;
        for (int i = 0; i < 4; ++i) {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
            fillers_.push_back(fd);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~SilentPeer() {
        for (int fd : fillers_)
            close(fd);
        close(listener_);
    }
    in_port_t port() const { return port_; }

  private:
    int listener_;
    in_port_t port_;
    std::vector<int> fillers_;
};

TEST(TcpTransport, UnansweredConnectEndsByTimeOutOrCancel) {
    SilentPeer silent;
    Indications ind;
    Endpoint endpoint(&ind);
    auto start = std::chrono::steady_clock::now();
    // The caller gives up first and cancels the request.
    EXPECT_EQ(endpoint.Connect(kLoopback, silent.port(), /*waitMs=*/150, /*transportMs=*/60000),
              STATUS_CANCELLED);
    // The request's own time-out runs out first.
    EXPECT_EQ(endpoint.Connect(kLoopback, silent.port(), /*waitMs=*/10000, /*transportMs=*/150),
              STATUS_IO_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(TcpTransport, SendAfterThePeerClosedFails) {
    Peer peer;
    Indications ind;
    Endpoint endpoint(&ind);
    ASSERT_EQ(endpoint.Connect(kLoopback, peer.port()), STATUS_SUCCESS);
    ASSERT_TRUE(peer.Accept());
    peer.Write("last words");
    peer.Close();
    EXPECT_TRUE(WaitFor([&] { return ind.disconnects.load() == 1; }));
    {
        std::lock_guard<std::mutex> lock(ind.mutex);
        EXPECT_EQ(ind.received, "last words");  // delivered before the disconnect
    }
    ULONG_PTR sent = 99;
    EXPECT_EQ(endpoint.Send("more", &sent), STATUS_INVALID_CONNECTION);
    EXPECT_EQ(sent, 0u);
}

// Several threads send whole records on one connection while another keeps posting receives
// that are cancelled; then the peer resets the connection, or the client takes the connection
// away from its address. Every request ends, the records arrive whole and in each thread's
// order (only the last may be cut), and the connection carries nothing afterwards.
TEST(TcpTransport, ConcurrentSendsAndCancelledReceivesMeetTheConnectionsEnd) {
    constexpr size_t kRecord = 16 * 1024;
    constexpr int kSenders = 4;
    enum class End { PeerResets, ClientDisassociates };
    for (End end : {End::PeerResets, End::ClientDisassociates}) {
        SCOPED_TRACE(end == End::PeerResets ? "peer resets" : "client disassociates");
        Peer peer;
        Indications ind;
        Endpoint endpoint(&ind);
        ASSERT_EQ(endpoint.Connect(kLoopback, peer.port()), STATUS_SUCCESS);
        ASSERT_TRUE(peer.Accept());

        std::atomic<bool> stop{false};
        std::mutex statusMutex;
        std::vector<NTSTATUS> failures;
        std::vector<uint32_t> succeeded(kSenders, 0);
        std::vector<std::thread> threads;
        for (int t = 0; t < kSenders; ++t) {
            threads.emplace_back([&, t] {
                for (uint32_t seq = 0; !stop; ++seq) {
                    std::string record(kRecord, static_cast<char>('A' + t));
                    std::memcpy(&record[1], &seq, sizeof seq);
                    ULONG_PTR sent = 0;
                    NTSTATUS status = endpoint.Send(record, &sent);
                    std::lock_guard<std::mutex> lock(statusMutex);
                    if (status == STATUS_SUCCESS && sent == kRecord) {
                        succeeded[t]++;
                    } else {
                        failures.push_back(status);
                        return;
                    }
                }
            });
        }
        std::atomic<int> receivesEnded{0};
        threads.emplace_back([&] {
            std::string got;
            while (!stop) {
                NTSTATUS status = endpoint.Receive(100, got, 2);
                if (status != STATUS_CANCELLED && status != STATUS_CONNECTION_DISCONNECTED &&
                    status != STATUS_CONNECTION_RESET && status != STATUS_INVALID_CONNECTION) {
                    std::lock_guard<std::mutex> lock(statusMutex);
                    failures.push_back(status);
                }
                receivesEnded++;
            }
        });

        // The senders' queue backs up before the peer starts reading.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::string stream = peer.Read(2 << 20);
        ASSERT_EQ(stream.size(), 2u << 20);
        if (end == End::PeerResets) {
            linger l{1, 0};
            setsockopt(peer.fd(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
            peer.Close();
        } else {
            NTSTATUS status = Request(endpoint.connection(), [&](PIRP irp) {
                TdiBuildDisassociateAddress(irp, IoGetRelatedDeviceObject(endpoint.connection()),
                                            endpoint.connection(), nullptr, nullptr);
            });
            EXPECT_EQ(status, STATUS_SUCCESS);
            stream += peer.Read(64 << 20);  // what was on its way, up to the reset
        }
        // Every sender learns of the end within its requests' bounded waits.
        for (int t = 0; t < kSenders; ++t)
            threads[static_cast<size_t>(t)].join();
        stop = true;
        threads.back().join();
        EXPECT_GT(receivesEnded.load(), 0);

        std::vector<uint32_t> next(kSenders, 0);
        for (size_t at = 0; at + kRecord <= stream.size(); at += kRecord) {
            const int t = stream[at] - 'A';
            ASSERT_TRUE(t >= 0 && t < kSenders) << "record at " << at;
            uint32_t seq;
            std::memcpy(&seq, &stream[at + 1], sizeof seq);
            ASSERT_EQ(seq, next[static_cast<size_t>(t)]) << "record at " << at;
            next[static_cast<size_t>(t)]++;
            const auto body = stream.begin() + static_cast<std::ptrdiff_t>(at + 1 + sizeof seq);
            ASSERT_TRUE(std::all_of(body, body + (kRecord - 1 - sizeof seq),
                                    [&](char c) { return c == stream[at]; }))
                << "record at " << at << " is mixed with another";
        }
        std::lock_guard<std::mutex> lock(statusMutex);
        for (int t = 0; t < kSenders; ++t)
            EXPECT_GE(succeeded[static_cast<size_t>(t)], next[static_cast<size_t>(t)]);
        ASSERT_EQ(failures.size(), static_cast<size_t>(kSenders));
        for (NTSTATUS status : failures)
            EXPECT_TRUE(status == STATUS_CONNECTION_RESET || status == STATUS_INVALID_CONNECTION ||
                        status == STATUS_CANCELLED)
                << std::hex << status;
        if (end == End::PeerResets) {
            EXPECT_TRUE(WaitFor([&] { return ind.disconnects.load() == 1; }));
            EXPECT_EQ(ind.disconnectFlags.load(), static_cast<ULONG>(TDI_DISCONNECT_ABORT));
        }
        ULONG_PTR sent = 0;
        EXPECT_EQ(endpoint.Send("after", &sent), STATUS_INVALID_CONNECTION);
    }
}

// The client closes its connection while the peer streams into it, so that the close often
// comes while the transport is copying received bytes: each time the peer sees the connection
// end, and no socket is left open.
TEST(TcpTransport, AConnectionClosedWhileBytesStreamInLeavesNoSocketBehind) {
    auto openFiles = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator{});
    };
    std::ptrdiff_t before = 0;
    for (int round = 0; round < 20; ++round) {
        if (round == 1)
            before = openFiles();  // the transport's own descriptors come with the first round
        Peer peer;
        Indications ind;  // takes everything: the transport receives without pause
        auto endpoint = std::make_unique<Endpoint>(&ind);
        ASSERT_EQ(endpoint->Connect(kLoopback, peer.port()), STATUS_SUCCESS);
        ASSERT_TRUE(peer.Accept());
        std::atomic<bool> sawTheEnd{false};
        std::thread streamer([&] {
            const std::string block(256 * 1024, 's');
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (std::chrono::steady_clock::now() < deadline) {
                if (send(peer.fd(), block.data(), block.size(), MSG_NOSIGNAL | MSG_DONTWAIT) > 0)
                    continue;
                if (errno != EAGAIN && errno != EWOULDBLOCK) {
                    sawTheEnd = true;
                    return;
                }
                pollfd p{peer.fd(), POLLOUT, 0};
                poll(&p, 1, 100);
            }
        });
        // Closed once the bytes flow, at a different moment of their flow each round.
        EXPECT_TRUE(WaitFor([&] {
            std::lock_guard<std::mutex> lock(ind.mutex);
            return !ind.received.empty();
        })) << "round " << round;
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 5));
        endpoint.reset();
        streamer.join();
        EXPECT_TRUE(sawTheEnd) << "round " << round;
    }
    EXPECT_TRUE(WaitFor([&] { return openFiles() == before; }))
        << openFiles() - before << " descriptors more than before";
}

TEST(TcpTransportNamespace, ConnectsToATestHostAddress) {
    TARNEL_IN_NAMESPACE(TcpTransportNamespace, ConnectsToATestHostAddress, "192.168.0.50")
    in_addr_t host = inet_addr("192.168.0.50");
    Peer peer(host);
    Indications ind;
    Endpoint endpoint(&ind);
    ASSERT_EQ(endpoint.Connect(host, peer.port()), STATUS_SUCCESS);
    ASSERT_TRUE(peer.Accept());
    sockaddr_in local{};
    socklen_t len = sizeof local;
    getpeername(peer.fd(), reinterpret_cast<sockaddr*>(&local), &len);
    EXPECT_EQ(local.sin_addr.s_addr, host);  // the client side is on the namespace's address
    ULONG_PTR sent = 0;
    EXPECT_EQ(endpoint.Send("hello", &sent), STATUS_SUCCESS);
    EXPECT_EQ(peer.Read(5), "hello");
}

}  // namespace
