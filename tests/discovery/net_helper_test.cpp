// Local interfaces and the dotted-address check.
#include "tests/discovery/discovery_fixture.h"
#include "tool/discovery/net_helper.h"

namespace tarnel::test {
namespace {

TEST(IsValidIPv4Text, Table) {
    const struct {
        const char16_t* text;
        bool valid;
    } cases[] = {
        {u"192.168.0.10", true},
        {u"0.0.0.0", true},
        {u"255.255.255.255", true},
        {u"010.001.000.009", true},
        {u"1.2.3", false},
        {u"1.2.3.4.5", false},
        {u"1..2.3.4", false},
        {u"1.2.3.", false},
        {u".1.2.3.4", false},
        {u"256.1.1.1", false},
        {u"1.2.3.999", false},
        {u"a.b.c.d", false},
        {u"1.2.3.4a", false},
        {u" 1.2.3.4", false},
        {u"1.2.3.-4", false},
        {u"+1.2.3.4", false},
        {u"1.2.3.0004", false},
        {u"", false},
        {u"...", false},
        {u"99999999999.1.1.1", false},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(tarnel::host::WideToUtf8(c.text));
        EXPECT_EQ(IsValidIPv4Text(XStringW(c.text)), c.valid);
    }
}

TEST(UsableInterface, Table) {
    const ULONG address = Address("10.1.2.3");
    const struct {
        const char* label;
        ULONG flags;
        ULONG address;
        bool usable;
    } cases[] = {
        {"up and broadcast", IFF_UP | IFF_BROADCAST | IFF_MULTICAST, address, true},
        {"down", IFF_BROADCAST | IFF_MULTICAST, address, false},
        {"no broadcast", IFF_UP | IFF_POINTTOPOINT, address, false},
        {"loopback", IFF_UP | IFF_LOOPBACK, Address("127.0.0.1"), false},
        {"127.0.0.1 even with broadcast", IFF_UP | IFF_BROADCAST, Address("127.0.0.1"), false},
        {"another 127 address", IFF_UP | IFF_BROADCAST, Address("127.0.0.2"), true},
        {"no address", IFF_UP | IFF_BROADCAST, 0, false},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(CNetHelper::IsUsableInterface(c.flags, c.address), c.usable);
    }
}

TEST(NetworkInterfaceList, NoneOnADefaultMachineOrWithLoopbackOnly) {
    tarnel::host::TestMachine machine;
    EXPECT_EQ(CNetHelper::GetNetworkInterfaceList(nullptr, 0), 0);
    auto config = machine.machine().config();
    config.interfaces = {"lo"};
    machine.machine().setConfig(config);
    EXPECT_EQ(CNetHelper::GetNetworkInterfaceList(nullptr, 0), 0);
    // Winsock is released on every path.
    EXPECT_EQ(socket(AF_INET, SOCK_DGRAM, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
}

}  // namespace
}  // namespace tarnel::test
