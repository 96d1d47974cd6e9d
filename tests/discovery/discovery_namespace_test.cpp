// Discovery over real broadcast: the test runs in a private namespace (the tool's host) and
// builds printer hosts in namespaces of their own, each reached through a veth pair; the machine's
// settings make exactly those interfaces visible. Nothing here touches the machine's interfaces.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "tests/discovery/discovery_fixture.h"
#include "tests/netns/netns.h"
#include "tests/netns/test_network.h"
#include "tool/discovery/udp_scanner.h"
#include "tools/printer-sim/udp_responder.h"

namespace tarnel::test {
namespace {

using printersim::DiscoveryPrinter;
using printersim::UdpResponder;

DiscoveryPrinter Printer(std::uint8_t last, std::array<std::uint8_t, 4> address) {
    DiscoveryPrinter p;
    p.mac = {0x00, 0x1B, 0xAC, 0x77, 0x00, last};
    p.address = address;
    p.gateway = {address[0], address[1], address[2], 1};
    return p;
}

struct FoundLog {
    std::mutex mutex;
    std::vector<_DISCOVERY_DEVICE_INFO_> found;
    static void Callback(const _DISCOVERY_DEVICE_INFO_* device, void* context) {
        auto* self = static_cast<FoundLog*>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->found.push_back(*device);
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex);
        return found.size();
    }
};

class DiscoveryNamespace : public testing::Test {
  protected:
    // Makes the listed tool-side interfaces visible to the machine.
    void SeeInterfaces(std::vector<std::string> names) {
        auto config = machine_.machine().config();
        config.interfaces = std::move(names);
        machine_.machine().setConfig(config);
    }
    // A responder for `printers` started inside the host's namespace.
    std::unique_ptr<UdpResponder> Responder(int host,
                                            const std::vector<DiscoveryPrinter>& printers) {
        auto responder = std::make_unique<UdpResponder>();
        for (auto& p : printers)
            responder->addPrinter(p);
        std::string error;
        bool started = false;
        network_.RunIn(host, [&] { started = responder->start(error); });
        EXPECT_TRUE(started) << error;
        return responder;
    }

    tarnel::host::TestMachine machine_;
    TestNetwork network_;
};

TEST_F(DiscoveryNamespace, ContinuousSearchFindsPrintersOnTwoInterfacesWithTheirIndex) {
    TARNEL_IN_NAMESPACE(DiscoveryNamespace,
                        ContinuousSearchFindsPrintersOnTwoInterfacesWithTheirIndex)
    TARNEL_ADD_HOST(network_, first, "tv0", "10.77.1.1/24", "10.77.1.2/24")
    TARNEL_ADD_HOST(network_, second, "tv1", "10.77.2.1/24", "10.77.2.2/24")
    // A third link whose tool side is down: left out of the list, its printer never asked.
    TARNEL_ADD_HOST(network_, down, "tv2", "10.77.3.1/24", "10.77.3.2/24", false)
    SeeInterfaces({"tv0", "tv1", "tv2"});
    auto a = Responder(first, {Printer(1, {10, 77, 1, 2})});
    auto b = Responder(second, {Printer(2, {10, 77, 2, 2})});
    auto c = Responder(down, {Printer(3, {10, 77, 3, 2})});

    auto* scanner = new COstraUdpScanner;
    ASSERT_EQ(scanner->GetInterfaceCount(), 2);
    _LOCAL_INTERFACE_INFO_ info[2];
    ASSERT_TRUE(scanner->GetInterface(0, &info[0]));
    ASSERT_TRUE(scanner->GetInterface(1, &info[1]));
    EXPECT_EQ(info[0].address, Address("10.77.1.1"));
    EXPECT_EQ(info[0].broadcast, Address("10.77.1.255"));
    EXPECT_EQ(info[1].address, Address("10.77.2.1"));
    EXPECT_EQ(info[1].broadcast, Address("10.77.2.255"));

    FoundLog log;
    scanner->StartScan(FoundLog::Callback, &log, PRINTER_KIND_ETHERNET);
    for (int i = 0; i < 1000 && log.Count() < 2; ++i)
        Sleep(10);
    Sleep(600);  // another round: still two, each reported once
    scanner->StopScan();
    ASSERT_EQ(log.Count(), 2u);
    for (auto& d : scanner->GetDevices()) {
        SCOPED_TRACE(int(d.address[2]));
        EXPECT_EQ(d.interfaceIndex, d.address[2] - 1) << "the interface that heard the reply";
        EXPECT_EQ(d.rawReply[27], d.interfaceIndex);
    }
    // The broadcasts came from the tool's interface addresses and the tool's port.
    ASSERT_FALSE(a->requests().empty());
    EXPECT_EQ(a->requests()[0].from, "10.77.1.1:48780");
    EXPECT_EQ(a->requests()[0].bytes, "FIND");
    EXPECT_EQ(b->requests()[0].from, "10.77.2.1:48780");
    EXPECT_TRUE(c->requests().empty());
    scanner->Release();
}

TEST_F(DiscoveryNamespace, SearchOnceEndsSoonAfterAnAnswerAndWaitsTheWholeSearchWithout) {
    TARNEL_IN_NAMESPACE(DiscoveryNamespace,
                        SearchOnceEndsSoonAfterAnAnswerAndWaitsTheWholeSearchWithout)
    TARNEL_ADD_HOST(network_, host, "tv0", "10.77.1.1/24", "10.77.1.2/24")
    SeeInterfaces({"tv0"});
    auto responder = Responder(host, {Printer(1, {10, 77, 1, 2})});
    auto* scanner = new COstraUdpScanner;
    int found = 0;
    long long withPrinter = MillisecondsOf([&] { found = scanner->SearchOnce(); });
    EXPECT_EQ(found, 1);
    scanner->ClearDeviceTable();
    responder->setSilent(0, true);
    long long without = MillisecondsOf([&] { found = scanner->SearchOnce(); });
    EXPECT_EQ(found, 0);
    // Bounds wide enough never to flake; the measured times are reported.
    RecordProperty("search_with_printer_ms", std::to_string(withPrinter));
    RecordProperty("search_without_printer_ms", std::to_string(without));
    std::printf("SearchOnce: %lld ms with one printer, %lld ms with none\n", withPrinter, without);
    EXPECT_GE(withPrinter, 500);
    EXPECT_LT(withPrinter, 1500);
    EXPECT_GE(without, 1500);
    EXPECT_LT(without, 4000);
    scanner->Release();
}

TEST_F(DiscoveryNamespace, ThreePrintersAnsweringAtOnceAreAllFound) {
    TARNEL_IN_NAMESPACE(DiscoveryNamespace, ThreePrintersAnsweringAtOnceAreAllFound)
    TARNEL_ADD_HOST(network_, host, "tv0", "10.77.1.1/24", "10.77.1.2/24")
    SeeInterfaces({"tv0"});
    auto responder = Responder(
        host, {Printer(1, {10, 77, 1, 2}), Printer(2, {10, 77, 1, 3}), Printer(3, {10, 77, 1, 4})});
    auto* scanner = new COstraUdpScanner;
    EXPECT_EQ(scanner->SearchOnce(), 3);
    EXPECT_EQ(scanner->GetDeviceList().GetCount(), 3);
    scanner->Release();
}

TEST_F(DiscoveryNamespace, SettMovesThePrinterAndASecondSearchFindsItThere) {
    TARNEL_IN_NAMESPACE(DiscoveryNamespace, SettMovesThePrinterAndASecondSearchFindsItThere)
    TARNEL_ADD_HOST(network_, host, "tv0", "10.77.1.1/24", "10.77.1.2/24")
    SeeInterfaces({"tv0"});
    auto responder = Responder(host, {Printer(9, {10, 77, 1, 2})});
    const std::string device = network_.HostInterface(host);
    std::atomic<bool> moved{false};
    // The printer takes its new address on its interface before it answers "SETC" from there.
    responder->setAddressChange([&](size_t, const DiscoveryPrinter&,
                                    const DiscoveryPrinter& after) {
        std::string to = std::to_string(after.address[0]) + "." + std::to_string(after.address[1]) +
                         "." + std::to_string(after.address[2]) + "." +
                         std::to_string(after.address[3]);
        moved = RunCommand("ip addr del 10.77.1.2/24 dev " + device + " && ip addr add " + to +
                           "/24 brd + dev " + device);
    });
    auto* scanner = new COstraUdpScanner;
    ASSERT_EQ(scanner->SearchOnce(), 1);
    _DISCOVERY_DEVICE_INFO_ found;
    ASSERT_TRUE(scanner->GetDeviceByMac(XStringW(u"00:1b:ac:77:00:09"), &found));
    BYTE record[28];
    std::memcpy(record, found.rawReply, sizeof record);
    const BYTE next[4] = {10, 77, 1, 50};
    std::memcpy(record + RECORD_ADDRESS, next, 4);
    record[RECORD_LOCAL_PORT] = 0x23;
    record[RECORD_LOCAL_PORT + 1] = 0x8D;  // 9101
    EXPECT_TRUE(scanner->SetPrinterConfig(record));
    EXPECT_TRUE(moved);
    EXPECT_TRUE(network_.CommandIn(host, "ip -4 addr show dev " + device + " | grep -q 10.77.1.50"))
        << network_.error();
    EXPECT_EQ(scanner->GetDeviceCount(), 2) << "the SETC answer is a second entry";

    scanner->ClearDeviceTable();
    ASSERT_EQ(scanner->SearchOnce(), 1);
    EXPECT_EQ(
        tarnel::host::WideToUtf8(scanner->FindByMac(XStringW(u"001BAC770009"), true).GetString()),
        "10.77.1.50:9101");
    scanner->Release();
}

}  // namespace
}  // namespace tarnel::test
