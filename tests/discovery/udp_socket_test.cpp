// CUdpSocket on loopback: each datagram its own handler call, the bounded close (also with a
// handler that stalls), SendAndWait's full wait, sends without data, and a failed creation.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/discovery/discovery_fixture.h"
#include "tool/discovery/udp_socket.h"

namespace tarnel::test {
namespace {

// What the indexed handler saw, one entry per call.
struct Received {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> datagrams;
    std::vector<int> contexts;

    bool WaitFor(size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kDiscoveryWait, [&] { return datagrams.size() >= count; });
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex);
        return datagrams.size();
    }
    static void Handler(const BYTE* bytes, int length, void* user, int context) {
        auto* self = static_cast<Received*>(user);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->datagrams.emplace_back(reinterpret_cast<const char*>(bytes), size_t(length));
        self->contexts.push_back(context);
        self->changed.notify_all();
    }
};

class UdpSocketTest : public WinsockTest {
  protected:
    void SetUp() override {
        WinsockTest::SetUp();
        peer_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(kPeerPort);
        local.sin_addr.s_addr = Address(here_);
        ASSERT_EQ(bind(peer_, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
        ULONG nonBlocking = 1;
        ioctlsocket(peer_, FIONBIO, &nonBlocking);
    }
    void TearDown() override {
        closesocket(peer_);
        WinsockTest::TearDown();
    }

    // A socket at here_:kSocketPort aimed at the peer, handing datagrams to `received_`.
    CUdpSocket* Make(bool start = true) {
        auto* s = new CUdpSocket;
        s->SetContext(3);
        s->SetUserData(&received_);
        s->SetIndexedDataHandler(Received::Handler);
        EXPECT_TRUE(s->Create(Address(here_), kSocketPort, Address(here_), kPeerPort));
        if (start)
            s->StartThread();
        return s;
    }
    void PeerSend(const std::string& bytes) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(kSocketPort);
        to.sin_addr.s_addr = Address(here_);
        ASSERT_EQ(sendto(peer_, bytes.data(), int(bytes.size()), 0,
                         reinterpret_cast<sockaddr*>(&to), sizeof to),
                  int(bytes.size()));
    }
    // Datagrams that reached the peer within `ms`.
    std::vector<std::string> PeerReceive(int ms) {
        std::vector<std::string> got;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        char buffer[2048];
        while (std::chrono::steady_clock::now() < end) {
            int n = recv(peer_, buffer, sizeof buffer, 0);
            if (n >= 0)
                got.emplace_back(buffer, size_t(n));
            else
                Sleep(5);
        }
        return got;
    }

    static constexpr USHORT kSocketPort = 47010;
    static constexpr USHORT kPeerPort = 47011;
    const std::string here_ = ProcessLoopbackText();
    SOCKET peer_ = INVALID_SOCKET;
    Received received_;
};

TEST_F(UdpSocketTest, DatagramsThatArriveTogetherReachTheHandlerOneByOne) {
    // Queued before the event thread exists: the thread finds all of them waiting at once.
    CUdpSocket* s = Make(false);
    PeerSend(std::string("IMIN") + std::string(26, '\1'));
    PeerSend("");  // an empty datagram: no call
    PeerSend(std::string("IMIN") + std::string(26, '\2'));
    PeerSend(std::string(1500, 'L'));  // longer than the receive buffer: cut, never merged
    PeerSend(std::string("IMIN") + std::string(27, '\3'));
    s->StartThread();
    ASSERT_TRUE(received_.WaitFor(4));
    Sleep(100);
    s->Close();
    s->Release();
    ASSERT_EQ(received_.Count(), 4u);
    EXPECT_EQ(received_.datagrams[0], std::string("IMIN") + std::string(26, '\1'));
    EXPECT_EQ(received_.datagrams[1], std::string("IMIN") + std::string(26, '\2'));
    EXPECT_EQ(received_.datagrams[2], std::string(CUdpSocket::kReceiveBuffer, 'L'));
    EXPECT_EQ(received_.datagrams[3], std::string("IMIN") + std::string(27, '\3'));
    for (int context : received_.contexts)
        EXPECT_EQ(context, 3);
}

TEST_F(UdpSocketTest, CloseOfAWaitingThreadReturnsWithinTheBound) {
    CUdpSocket* s = Make();
    Sleep(50);  // the thread waits for its event
    long long ms = MillisecondsOf([&] { s->Close(); });
    EXPECT_LT(ms, 100 + 50);
    EXPECT_TRUE(s->IsEnded());
    EXPECT_FALSE(s->IsRunning());
    EXPECT_TRUE(s->IsClosed());
    EXPECT_EQ(s->Send("FIND", 4), 0) << "a closed socket sends nothing";
    s->Release();
}

// A handler that blocks until released: Close must not wait for it beyond its bound, and the
// thread must finish later on its own reference, after the owner has let go of the socket.
struct Stall {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false, release = false, left = false;
    static void Handler(const BYTE*, int, void* user, int) {
        auto* self = static_cast<Stall*>(user);
        std::unique_lock<std::mutex> lock(self->mutex);
        self->entered = true;
        self->changed.notify_all();
        self->changed.wait(lock, [&] { return self->release; });
        self->left = true;
        self->changed.notify_all();
    }
};

TEST_F(UdpSocketTest, CloseDuringAStalledHandlerDetachesTheThreadSafely) {
    auto* stall = new Stall;  // outlives the detached thread's handler call
    auto* s = new CUdpSocket;
    s->SetUserData(stall);
    s->SetIndexedDataHandler(Stall::Handler);
    ASSERT_TRUE(s->Create(Address(here_), kSocketPort, Address(here_), kPeerPort));
    s->StartThread();
    PeerSend("IMIN");
    {
        std::unique_lock<std::mutex> lock(stall->mutex);
        ASSERT_TRUE(stall->changed.wait_for(lock, kDiscoveryWait, [&] { return stall->entered; }));
    }
    long long ms = MillisecondsOf([&] { s->Close(); });
    EXPECT_GE(ms, 90);
    EXPECT_LT(ms, 100 + 100);
    EXPECT_FALSE(s->IsEnded());
    s->Release();  // the thread still holds its reference
    {
        std::unique_lock<std::mutex> lock(stall->mutex);
        stall->release = true;
        stall->changed.notify_all();
        ASSERT_TRUE(stall->changed.wait_for(lock, kDiscoveryWait, [&] { return stall->left; }));
    }
    Sleep(100);  // the thread returns and frees the socket (ASan watches)
    delete stall;
}

TEST_F(UdpSocketTest, SendAndWaitWaitsTheWholeTimeEvenWhenRepliesArrive) {
    CUdpSocket* s = Make();
    std::atomic<bool> done{false};
    std::thread replier([&] {
        while (!done) {
            PeerSend(std::string("SETC") + std::string(26, '\0'));
            Sleep(100);
        }
    });
    const BYTE request[30] = {'S', 'E', 'T', 'T'};
    int result = 0;
    long long ms = MillisecondsOf([&] { result = s->SendAndWait(request, 1500); });
    done = true;
    replier.join();
    EXPECT_EQ(result, -1);
    EXPECT_GE(ms, 1500);
    EXPECT_GE(received_.Count(), 5u) << "the replies were received meanwhile";
    auto sent = PeerReceive(100);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].size(), 30u) << "exactly 30 bytes go out";
    s->Close();
    s->Release();
}

TEST_F(UdpSocketTest, SendWithoutDataSendsNothing) {
    CUdpSocket* s = Make();
    EXPECT_EQ(s->Send(nullptr, 4), 0);
    EXPECT_EQ(s->Send("FIND", 0), 0);
    EXPECT_EQ(s->Send("FIND", -1), 0);
    EXPECT_EQ(s->Send("FIND", 4), 4);
    auto sent = PeerReceive(100);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], "FIND");
    s->Close();
    s->Release();
}

TEST_F(UdpSocketTest, AFailedCreationLeavesAClosedSocketThatSendsNothing) {
    auto* s = new CUdpSocket;
    // An address of no interface: bind fails.
    EXPECT_FALSE(s->Create(Address("10.255.255.1"), kSocketPort, Address(here_), kPeerPort));
    EXPECT_TRUE(s->IsClosed());
    EXPECT_EQ(s->Send("FIND", 4), 0);
    // Started anyway, the thread ends at once instead of spinning on its event.
    s->StartThread();
    Sleep(50);
    EXPECT_TRUE(s->IsEnded());
    s->Close();
    s->Release();
    EXPECT_TRUE(PeerReceive(50).empty());
}

TEST_F(UdpSocketTest, SendsFromSeveralThreadsRaceWithClose) {
    for (int round = 0; round < 5; ++round) {
        CUdpSocket* s = Make();
        std::vector<std::thread> senders;
        for (int t = 0; t < 3; ++t) {
            senders.emplace_back([s] {
                for (int i = 0; i < 200; ++i)
                    EXPECT_GE(s->Send("FIND", 4), 0);
            });
        }
        Sleep(2);
        s->Close();
        for (auto& t : senders)
            t.join();
        EXPECT_EQ(s->Send("FIND", 4), 0);
        s->Release();
        PeerReceive(20);
    }
}

}  // namespace
}  // namespace tarnel::test
