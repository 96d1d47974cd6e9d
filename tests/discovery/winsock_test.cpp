// The host Winsock: session counting, Windows' error codes, one datagram per receive, FD_READ
// recorded again while data remains, the interface list and the network fence.
#include <cstring>
#include <vector>

#include "tests/discovery/discovery_fixture.h"

namespace tarnel::test {
namespace {

class HostWinsock : public WinsockTest {
  protected:
    SOCKET Bound(const std::string& address, USHORT port) {
        SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
        EXPECT_NE(s, INVALID_SOCKET);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(port);
        local.sin_addr.s_addr = Address(address);
        EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local), 0)
            << WSAGetLastError();
        return s;
    }
    int SendTo(SOCKET s, const std::string& bytes, const std::string& address, USHORT port) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = Address(address);
        return sendto(s, bytes.data(), static_cast<int>(bytes.size()), 0,
                      reinterpret_cast<sockaddr*>(&to), sizeof to);
    }

    const std::string here_ = ProcessLoopbackText();
};

TEST(HostWinsockSession, CallsFailWithNotInitialisedOutsideASession) {
    tarnel::host::TestMachine machine;
    EXPECT_EQ(socket(AF_INET, SOCK_DGRAM, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);

    WSADATA data;
    ASSERT_EQ(WSAStartup(0x0101, &data), 0);
    EXPECT_EQ(data.wVersion, 0x0101);
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    EXPECT_EQ(data.wVersion, MAKEWORD(2, 2));
    EXPECT_EQ(WSAStartup(0, &data), WSAVERNOTSUPPORTED);
    // Two sessions: the first cleanup leaves sockets usable.
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_NE(s, INVALID_SOCKET);
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(closesocket(s), 0);
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(closesocket(s), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
}

TEST_F(HostWinsock, RefusesWhatTheToolNeverAsksFor) {
    struct Case {
        const char* label;
        int af, type, protocol;
        int error;
    } cases[] = {
        {"stream", AF_INET, SOCK_STREAM, 0, WSAESOCKTNOSUPPORT},
        {"family", 23, SOCK_DGRAM, 0, WSAEAFNOSUPPORT},
        {"protocol", AF_INET, SOCK_DGRAM, 6, WSAEPROTONOSUPPORT},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(socket(c.af, c.type, c.protocol), INVALID_SOCKET);
        EXPECT_EQ(WSAGetLastError(), c.error);
    }
    EXPECT_EQ(closesocket(0x12345670), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);

    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    int value = 1;
    EXPECT_EQ(setsockopt(s, SOL_SOCKET, 0x0080 /* SO_LINGER */, reinterpret_cast<char*>(&value),
                         sizeof value),
              SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOPROTOOPT);
    // An address of no interface.
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = Address("10.255.255.1");
    EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEADDRNOTAVAIL);
    closesocket(s);
}

TEST_F(HostWinsock, SendsReachOnlyLoopbackAndVisibleSubnets) {
    // The machine sees no interface: anything but loopback is refused before it leaves.
    SOCKET s = Bound(here_, 0);
    BOOL on = TRUE;
    ASSERT_EQ(setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<char*>(&on), sizeof on), 0);
    for (const char* address : {"255.255.255.255", "10.0.0.1", "192.168.1.255", "8.8.8.8"}) {
        SCOPED_TRACE(address);
        EXPECT_EQ(SendTo(s, "FIND", address, 48781), SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), WSAENETUNREACH);
    }
    EXPECT_EQ(SendTo(s, "FIND", here_, 9), 4);
    closesocket(s);
}

TEST_F(HostWinsock, EachReceiveTakesOneDatagramAndALongOneIsCut) {
    SOCKET receiver = Bound(here_, 47001);
    SOCKET sender = Bound(here_, 0);
    ASSERT_EQ(SendTo(sender, "one", here_, 47001), 3);
    ASSERT_EQ(SendTo(sender, "", here_, 47001), 0);
    ASSERT_EQ(SendTo(sender, std::string(40, 'x'), here_, 47001), 40);
    ASSERT_EQ(SendTo(sender, "two", here_, 47001), 3);
    char buffer[16];
    sockaddr_in from{};
    int fromLength = sizeof from;
    EXPECT_EQ(recvfrom(receiver, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                       &fromLength),
              3);
    EXPECT_EQ(from.sin_family, AF_INET);
    EXPECT_EQ(from.sin_addr.s_addr, Address(here_));
    EXPECT_EQ(recv(receiver, buffer, sizeof buffer, 0), 0);  // the empty datagram
    EXPECT_EQ(recv(receiver, buffer, sizeof buffer, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEMSGSIZE);
    EXPECT_EQ(std::string(buffer, 16), std::string(16, 'x'));
    EXPECT_EQ(recv(receiver, buffer, sizeof buffer, 0), 3);
    EXPECT_EQ(std::string(buffer, 3), "two");
    ULONG nonBlocking = 1;
    ASSERT_EQ(ioctlsocket(receiver, FIONBIO, &nonBlocking), 0);
    EXPECT_EQ(recv(receiver, buffer, sizeof buffer, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    closesocket(sender);
    closesocket(receiver);
}

TEST_F(HostWinsock, ReadEventIsRecordedAgainWhileDataRemains) {
    SOCKET receiver = Bound(here_, 47002);
    SOCKET sender = Bound(here_, 0);
    WSAEVENT event = WSACreateEvent();
    ASSERT_EQ(WSAEventSelect(receiver, event, FD_READ | FD_CLOSE), 0);
    // Nothing waits: no event.
    EXPECT_EQ(WSAWaitForMultipleEvents(1, &event, FALSE, 50, FALSE), WSA_WAIT_TIMEOUT);
    ASSERT_EQ(SendTo(sender, "a", here_, 47002), 1);
    ASSERT_EQ(SendTo(sender, "b", here_, 47002), 1);
    char buffer[8];
    for (const char* expected : {"a", "b"}) {
        ASSERT_EQ(WSAWaitForMultipleEvents(1, &event, FALSE, 5000, FALSE), WSA_WAIT_EVENT_0);
        WSANETWORKEVENTS events;
        ASSERT_EQ(WSAEnumNetworkEvents(receiver, event, &events), 0);
        EXPECT_EQ(events.lNetworkEvents, FD_READ);
        EXPECT_EQ(events.iErrorCode[FD_READ_BIT], 0);
        ASSERT_EQ(recv(receiver, buffer, sizeof buffer, 0), 1);
        EXPECT_EQ(buffer[0], expected[0]);
    }
    // Both taken: the event stays clear, and the socket is non-blocking since the selection.
    EXPECT_EQ(WSAWaitForMultipleEvents(1, &event, FALSE, 100, FALSE), WSA_WAIT_TIMEOUT);
    EXPECT_EQ(recv(receiver, buffer, sizeof buffer, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    ULONG blocking = 0;
    EXPECT_EQ(ioctlsocket(receiver, FIONBIO, &blocking), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    // A closed event handle fails the wait with WSA_INVALID_HANDLE.
    EXPECT_TRUE(WSACloseEvent(event));
    EXPECT_EQ(WSAWaitForMultipleEvents(1, &event, FALSE, 0, FALSE), WSA_WAIT_FAILED);
    EXPECT_EQ(WSAGetLastError(), WSA_INVALID_HANDLE);
    closesocket(sender);
    closesocket(receiver);
}

TEST_F(HostWinsock, InterfaceListShowsOnlyWhatTheMachineSettingsName) {
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    std::vector<INTERFACE_INFO> list(8);
    DWORD returned = 99;
    ASSERT_EQ(WSAIoctl(s, SIO_GET_INTERFACE_LIST, nullptr, 0, list.data(),
                       static_cast<DWORD>(list.size() * sizeof(INTERFACE_INFO)), &returned, nullptr,
                       nullptr),
              0);
    EXPECT_EQ(returned, 0u) << "a default machine sees no interface";

    auto config = tarnel::host::Machine::current().config();
    config.interfaces = {"lo"};
    tarnel::host::Machine::current().setConfig(config);
    ASSERT_EQ(WSAIoctl(s, SIO_GET_INTERFACE_LIST, nullptr, 0, list.data(),
                       static_cast<DWORD>(list.size() * sizeof(INTERFACE_INFO)), &returned, nullptr,
                       nullptr),
              0);
    ASSERT_EQ(returned, 76u);
    EXPECT_EQ(list[0].iiFlags & (IFF_UP | IFF_LOOPBACK | IFF_BROADCAST),
              ULONG(IFF_UP | IFF_LOOPBACK));
    EXPECT_EQ(list[0].iiAddress.AddressIn.sin_addr.s_addr, Address("127.0.0.1"));
    EXPECT_EQ(list[0].iiNetmask.AddressIn.sin_addr.s_addr, Address("255.0.0.0"));
    // Too small a buffer.
    EXPECT_EQ(WSAIoctl(s, SIO_GET_INTERFACE_LIST, nullptr, 0, list.data(), 75, &returned, nullptr,
                       nullptr),
              SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
    closesocket(s);
}

}  // namespace
}  // namespace tarnel::test
