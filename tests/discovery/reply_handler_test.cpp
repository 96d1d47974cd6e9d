// The reply handler and the device table: what each kind of datagram leaves in the table, the
// first answer kept, every read bounded by the datagram, and concurrent replies.
#include <cstring>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "tests/discovery/discovery_fixture.h"
#include "tool/discovery/discovery_table.h"
#include "tools/printer-sim/udp_responder.h"

namespace tarnel::test {
namespace {

using printersim::DiscoveryPrinter;
using printersim::EthernetReply;
using printersim::PrinterKind;
using printersim::WirelessReply;

DiscoveryPrinter Ethernet(std::uint8_t last, std::array<std::uint8_t, 4> address) {
    DiscoveryPrinter p;
    p.mac = {0x00, 0x1B, 0xAC, 0x10, 0x20, last};
    p.address = address;
    p.gateway = {address[0], address[1], address[2], 1};
    p.tcpPort = 9100;
    p.baudCode = 0xFF;
    p.firmwareMajor = 2;
    p.firmwareMinor = 7;
    p.dhcp = 1;
    p.inactivity = 300;
    p.extra = 0x5A;
    return p;
}

// The datagram in a heap block of exactly its size, so that ASan sees any read past it.
bool Handle(CDiscoveryTable* table, const std::string& datagram, int index = 0) {
    std::unique_ptr<BYTE[]> exact(new BYTE[datagram.size() ? datagram.size() : 1]);
    std::memcpy(exact.get(), datagram.data(), datagram.size());
    return table->HandleReply(exact.get(), static_cast<int>(datagram.size()), index);
}

struct TableTest : testing::Test {
    void TearDown() override { table->Release(); }
    CDiscoveryTable* table = new CDiscoveryTable;
};

TEST_F(TableTest, EthernetRepliesByLength) {
    DiscoveryPrinter p = Ethernet(0x01, {192, 168, 0, 10});
    std::string imin = EthernetReply(p, "IMIN");  // 30 bytes
    p.extraByte = true;
    std::string imin31 = EthernetReply(p, "IMIN");
    struct Case {
        const char* label;
        std::string datagram;
        bool added;
        std::string key;  // empty: no entry
        BYTE extra;
    } cases[] = {
        {"30 bytes: no extra byte", imin, true, "00:1B:AC:10:20:01^192.168.0.10", 0},
        {"31 bytes: the extra byte", imin31, true, "00:1B:AC:10:20:01^192.168.0.10", 0x5A},
        {"longer: the rest ignored", imin31 + "trailing", true, "00:1B:AC:10:20:01^192.168.0.10",
         0x5A},
        {"29 bytes: stored as zeros", imin.substr(0, 29), true, "00:00:00:00:00:00^0.0.0.0", 0},
        {"the word alone", "IMIN", true, "00:00:00:00:00:00^0.0.0.0", 0},
        {"SETC like IMIN", EthernetReply(Ethernet(0x02, {10, 0, 0, 9}), "SETC"), true,
         "00:1B:AC:10:20:02^10.0.0.9", 0},
        {"a shorter word", "IMI", false, "", 0},
        {"another word", "FIND", false, "", 0},
        {"lower case", "imin" + imin.substr(4), false, "", 0},
        {"empty", "", false, "", 0},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.label);
        table->Clear();
        EXPECT_EQ(Handle(table, c.datagram, 5), c.added);
        auto devices = table->GetDevices();
        ASSERT_EQ(devices.size(), c.added ? 1u : 0u);
        if (!c.added)
            continue;
        const auto& d = devices[0];
        EXPECT_EQ(tarnel::host::WideToUtf8(CDiscoveryTable::MakeKey(d.mac, d.address).GetString()),
                  c.key);
        EXPECT_EQ(d.kind, PRINTER_KIND_ETHERNET);
        EXPECT_EQ(d.rawLength, 28);
        EXPECT_EQ(d.rawReply[27], 5) << "the interface index ends the record";
        EXPECT_EQ(d.interfaceIndex, 5);
        EXPECT_EQ(d.extra, c.extra);
        EXPECT_EQ(d.rawReply[26], c.extra);
        for (int i = 28; i < 512; ++i)
            ASSERT_EQ(d.rawReply[i], 0) << i;
        for (BYTE b : d.wirelessFlags)
            EXPECT_EQ(b, 0);
    }
}

TEST_F(TableTest, EthernetFieldsComeFromTheirOffsets) {
    ASSERT_TRUE(Handle(table, EthernetReply(Ethernet(0x01, {192, 168, 0, 10}), "IMIN"), 2));
    const auto d = table->GetDevices().at(0);
    const BYTE mac[6] = {0x00, 0x1B, 0xAC, 0x10, 0x20, 0x01};
    EXPECT_EQ(std::memcmp(d.mac, mac, 6), 0);
    EXPECT_EQ(d.mask[0], 255);
    EXPECT_EQ(d.mask[3], 0);
    EXPECT_EQ(d.gateway[3], 1);
    EXPECT_EQ(DiscoveryLocalPort(d), 9100);
    EXPECT_EQ(d.baudCode, 0xFF);
    EXPECT_EQ(d.firmwareMajor, 2);
    EXPECT_EQ(d.firmwareMinor, 7);
    EXPECT_EQ(d.dhcp, 1);
    EXPECT_EQ((d.inactivity[0] << 8) | d.inactivity[1], 300);
    EXPECT_EQ(std::memcmp(d.rawReply, d.mac, 27), 0) << "the fields mirror the raw record";
}

TEST_F(TableTest, WirelessRepliesByLengthAndFlag) {
    DiscoveryPrinter w = Ethernet(0x33, {10, 1, 1, 33});
    w.kind = PrinterKind::Wireless;
    w.extension = true;
    for (int i = 0; i < 64; ++i)
        w.extensionBytes[size_t(i)] = static_cast<std::uint8_t>(0x80 + i);
    std::string full = WirelessReply(w, "__[I_F]__[REG_RSP]");  // 111 bytes, flag set
    ASSERT_EQ(full.size(), 111u);
    std::string noFlag = full;
    noFlag[45] = 0;
    struct Case {
        const char* label;
        std::string datagram;
        bool added;
        bool extension;
        bool settings;
    } cases[] = {
        {"111 bytes with the flag", full, true, true, true},
        {"SET_RSP like REG_RSP", "__[I_F]__[SET_RSP]" + full.substr(18), true, true, true},
        {"111 bytes without the flag", noFlag, true, false, true},
        {"110 bytes with the flag: extension stays zero", full.substr(0, 110), true, false, true},
        {"47 bytes, no extension", full.substr(0, 47), true, false, true},
        {"the word alone: no flag byte read", full.substr(0, 18), true, false, false},
        {"20 bytes: part of a MAC", full.substr(0, 20), true, false, false},
        {"17 bytes: not the word", full.substr(0, 17), false, false, false},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.label);
        table->Clear();
        EXPECT_EQ(Handle(table, c.datagram, 1), c.added);
        auto devices = table->GetDevices();
        ASSERT_EQ(devices.size(), c.added ? 1u : 0u);
        if (!c.added)
            continue;
        const auto& d = devices[0];
        EXPECT_EQ(d.kind, PRINTER_KIND_WIRELESS);
        EXPECT_EQ(d.rawLength, 94);
        EXPECT_EQ(d.rawReply[93], 1);
        EXPECT_EQ(d.interfaceIndex, 1);
        EXPECT_EQ(d.address[3], c.settings ? 33 : 0);
        if (c.settings) {
            EXPECT_EQ(DiscoveryLocalPort(d), 9100);
        }
        for (int i = 0; i < 64; ++i)
            ASSERT_EQ(d.wirelessExtension[i], c.extension ? BYTE(0x80 + i) : 0) << i;
    }
}

TEST_F(TableTest, TheSamePrinterTwiceKeepsTheFirstAnswer) {
    DiscoveryPrinter p = Ethernet(0x01, {192, 168, 0, 10});
    ASSERT_TRUE(Handle(table, EthernetReply(p, "IMIN"), 0));
    p.tcpPort = 9101;
    EXPECT_FALSE(Handle(table, EthernetReply(p, "IMIN"), 1));
    auto devices = table->GetDevices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(DiscoveryLocalPort(devices[0]), 9100);
    EXPECT_EQ(devices[0].interfaceIndex, 0);

    // The same printer answering "SETC" from a new address: a second entry.
    p.address = {192, 168, 0, 77};
    EXPECT_TRUE(Handle(table, EthernetReply(p, "SETC"), 0));
    EXPECT_EQ(table->GetCount(), 2);
}

struct FoundLog {
    std::mutex mutex;
    std::vector<_DISCOVERY_DEVICE_INFO_> found;
    static void Callback(const _DISCOVERY_DEVICE_INFO_* device, void* context) {
        auto* self = static_cast<FoundLog*>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->found.push_back(*device);
    }
};

TEST_F(TableTest, FoundCallbackGetsACopyOfEachNewEntry) {
    FoundLog log;
    table->SetFoundCallback(FoundLog::Callback, &log);
    DiscoveryPrinter p = Ethernet(0x01, {192, 168, 0, 10});
    Handle(table, EthernetReply(p, "IMIN"), 4);
    Handle(table, EthernetReply(p, "IMIN"), 4);
    ASSERT_EQ(log.found.size(), 1u);
    const auto& d = log.found[0];
    EXPECT_EQ(d.rawLength, 612);
    EXPECT_EQ(d.kind, PRINTER_KIND_ETHERNET);
    EXPECT_EQ(d.address[3], 10);
    EXPECT_EQ(DiscoveryLocalPort(d), 9100);
    EXPECT_EQ(d.inactivity[1], 300 & 0xFF);
    EXPECT_EQ(d.interfaceIndex, 4);
    EXPECT_EQ(d.mask[0], 0) << "the rest comes from the raw reply";
    EXPECT_EQ(d.rawReply[10], 255);
    EXPECT_TRUE(table->ClearFoundCallback(100));
    Handle(table, EthernetReply(Ethernet(0x02, {192, 168, 0, 11}), "IMIN"), 4);
    EXPECT_EQ(log.found.size(), 1u);
}

// Several event threads add printers while the dialog thread reads the count and the table.
TEST_F(TableTest, ConcurrentRepliesLeaveAConsistentTable) {
    constexpr int kThreads = 4, kPrinters = 200;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done) {
            int count = table->GetCount();
            auto devices = table->GetDevices();
            EXPECT_GE(static_cast<int>(devices.size()), count);
        }
    });
    std::vector<std::thread> writers;
    std::atomic<int> added{0};
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            // Every thread sends every printer: each key must be added exactly once.
            for (int i = 0; i < kPrinters; ++i) {
                int n = (i + t * 37) % kPrinters;
                DiscoveryPrinter p = Ethernet(static_cast<std::uint8_t>(n),
                                              {10, 9, static_cast<std::uint8_t>(n / 100),
                                               static_cast<std::uint8_t>(n % 100)});
                if (Handle(table, EthernetReply(p, "IMIN"), t))
                    ++added;
            }
        });
    }
    for (auto& w : writers)
        w.join();
    done = true;
    reader.join();
    EXPECT_EQ(added.load(), kPrinters);
    EXPECT_EQ(table->GetCount(), kPrinters);
    std::set<std::string> keys;
    for (auto& d : table->GetDevices())
        keys.insert(
            tarnel::host::WideToUtf8(CDiscoveryTable::MakeKey(d.mac, d.address).GetString()));
    EXPECT_EQ(keys.size(), size_t(kPrinters));
}

TEST(BaudCodes, BothWays) {
    const struct {
        int position;
        DWORD rate;
        BYTE code;
    } rows[] = {{0, 1200, 0xA0},  {1, 2400, 0xD0},   {2, 4800, 0xE8},
                {3, 9600, 0xF4},  {4, 19200, 0xFA},  {5, 38400, 0xFD},
                {6, 57600, 0xFE}, {7, 115200, 0xFF}, {8, 230400, 0xBB}};
    for (auto& r : rows) {
        SCOPED_TRACE(r.rate);
        EXPECT_EQ(DiscoveryBaudCode(r.position), r.code);
        EXPECT_EQ(DiscoveryBaudPosition(r.code), r.position);
        EXPECT_EQ(DiscoveryBaudRate(r.position), r.rate);
    }
    EXPECT_EQ(DiscoveryBaudPosition(0x00), 0) << "an unknown code reads as position 0";
    EXPECT_EQ(DiscoveryBaudPosition(0x12), 0);
    EXPECT_EQ(DiscoveryBaudCode(-1), 0xA0);
    EXPECT_EQ(DiscoveryBaudCode(9), 0xA0);
}

}  // namespace
}  // namespace tarnel::test
