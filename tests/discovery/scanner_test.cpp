// COstraUdpScanner against the printer simulator on loopback: this process's loopback address
// plays one interface (its own broadcast address), so every rule of the scanner is exercised
// without leaving the machine. Real broadcast runs in the namespace tests.
#include <atomic>
#include <mutex>
#include <vector>

#include "tests/discovery/discovery_fixture.h"
#include "tool/discovery/udp_scanner.h"
#include "tools/printer-sim/udp_responder.h"

namespace tarnel::test {
namespace {

using printersim::DiscoveryPrinter;
using printersim::PrinterKind;
using printersim::UdpResponder;

DiscoveryPrinter Printer(std::uint8_t last, std::uint8_t host, PrinterKind kind) {
    DiscoveryPrinter p;
    p.kind = kind;
    p.mac = {0x00, 0x1B, 0xAC, 0xAB, 0xCD, last};
    p.address = {192, 168, 0, host};
    p.tcpPort = static_cast<std::uint16_t>(9100 + host);
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

class ScannerTest : public WinsockTest {
  protected:
    void SetUp() override {
        WinsockTest::SetUp();
        printersim::ResponderOptions options;
        options.address = here_;
        responder_ = std::make_unique<UdpResponder>(options);
        _LOCAL_INTERFACE_INFO_ info{IFF_UP | IFF_BROADCAST, Address(here_), Address(here_)};
        scanner_ = new COstraUdpScanner({info});
    }
    void TearDown() override {
        scanner_->StopScan();
        scanner_->Release();
        responder_.reset();
        WinsockTest::TearDown();
    }
    void Start() {
        std::string error;
        ASSERT_TRUE(responder_->start(error)) << error;
    }
    size_t Requests(const std::string& word) {
        size_t n = 0;
        for (auto& r : responder_->requests())
            n += r.bytes.compare(0, word.size(), word) == 0;
        return n;
    }

    const std::string here_ = ProcessLoopbackText();
    std::unique_ptr<UdpResponder> responder_;
    COstraUdpScanner* scanner_ = nullptr;
};

TEST_F(ScannerTest, SearchOnceWithOnePrinterEndsAboutHalfASecondAfterTheAnswer) {
    responder_->addPrinter(Printer(1, 10, PrinterKind::Ethernet));
    Start();
    int found = 0;
    long long ms = MillisecondsOf([&] { found = scanner_->SearchOnce(); });
    EXPECT_EQ(found, 1);
    EXPECT_GE(ms, 500);
    EXPECT_LT(ms, 1500);
    EXPECT_EQ(Requests("FIND"), 2u) << "two rounds";
    EXPECT_FALSE(scanner_->IsBusy());
    EXPECT_EQ(tarnel::host::WideToUtf8(
                  scanner_->FindByMac(XStringW(u"00:1b:ac:ab:cd:01"), true).GetString()),
              "192.168.0.10:9110");
}

TEST_F(ScannerTest, SearchOnceWithoutPrintersWaitsTheWholeSearch) {
    Start();
    int found = -1;
    long long ms = MillisecondsOf([&] { found = scanner_->SearchOnce(); });
    EXPECT_EQ(found, 0);
    EXPECT_GE(ms, 1500);
    EXPECT_LT(ms, 3000);
}

TEST_F(ScannerTest, ThreePrintersAnsweringInTheSameInstantAreAllFound) {
    for (std::uint8_t i = 1; i <= 3; ++i)
        responder_->addPrinter(Printer(i, std::uint8_t(10 + i), PrinterKind::Ethernet));
    Start();
    EXPECT_EQ(scanner_->SearchOnce(), 3);
}

TEST_F(ScannerTest, ContinuousSearchReportsEachNewPrinterOnceAndListsEthernetOnly) {
    responder_->addPrinter(Printer(1, 10, PrinterKind::Ethernet));
    responder_->addPrinter(Printer(2, 20, PrinterKind::Wireless));
    Start();
    FoundLog log;
    scanner_->StartScan(FoundLog::Callback, &log, PRINTER_KIND_ETHERNET | PRINTER_KIND_WIRELESS);
    EXPECT_TRUE(scanner_->IsBusy());
    EXPECT_EQ(scanner_->SearchOnce(), 0) << "busy";
    Sleep(1200);
    long long ms = MillisecondsOf([&] { scanner_->StopScan(); });
    EXPECT_LT(ms, 500);
    EXPECT_FALSE(scanner_->IsBusy());
    // Rounds every 500 ms: the first at once, then about two more.
    EXPECT_GE(Requests("FIND"), 2u);
    EXPECT_LE(Requests("FIND"), 4u);
    EXPECT_EQ(Requests("FIND"), Requests("__[I_F]__[PRT_REG]"));
    ASSERT_EQ(log.Count(), 2u) << "each printer once, however many rounds it answered";
    EXPECT_EQ(scanner_->GetDeviceCount(), 2);
    XStringWList list = scanner_->GetDeviceList();
    ASSERT_EQ(list.GetCount(), 1);
    EXPECT_EQ(tarnel::host::WideToUtf8(list.GetAt(0).GetString()),
              "00:1b:ac:ab:cd:01^192.168.0.10");

    // FindByMac: any case, with or without colons, wireless entries included.
    const struct {
        const char16_t* mac;
        bool withPort;
        const char* expected;
    } cases[] = {
        {u"00:1B:AC:AB:CD:01", false, "192.168.0.10"},
        {u"00:1b:ac:ab:cd:01", true, "192.168.0.10:9110"},
        {u"001BACABCD01", false, "192.168.0.10"},
        {u"001bacabcd02", true, "192.168.0.20:9120"},
        {u"00:1b:ac:ab:cd:03", false, ""},
        {u"00-1b-ac-ab-cd-01", false, ""},
        {u"", false, ""},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(tarnel::host::WideToUtf8(c.mac));
        EXPECT_EQ(
            tarnel::host::WideToUtf8(scanner_->FindByMac(XStringW(c.mac), c.withPort).GetString()),
            c.expected);
    }

    // A new search starts afresh and nothing is reported after StopScan.
    scanner_->ClearDeviceTable();
    EXPECT_EQ(scanner_->GetDeviceCount(), 0);
    Sleep(200);
    EXPECT_EQ(log.Count(), 2u);
    scanner_->StartScan(FoundLog::Callback, &log, PRINTER_KIND_ETHERNET);
    Sleep(300);
    scanner_->StopScan();
    EXPECT_EQ(log.Count(), 3u);
}

TEST_F(ScannerTest, SetPrinterConfigSendsSettAndRecordsTheAnswerAtTheNewAddress) {
    responder_->addPrinter(Printer(1, 10, PrinterKind::Ethernet));
    Start();
    ASSERT_EQ(scanner_->SearchOnce(), 1);
    _DISCOVERY_DEVICE_INFO_ device;
    ASSERT_TRUE(scanner_->GetDeviceByMac(XStringW(u"00:1b:ac:ab:cd:01"), &device));
    BYTE record[28];
    std::memcpy(record, device.rawReply, sizeof record);
    std::memset(record + RECORD_ADDRESS, 0, 4);  // 0.0.0.0 goes out as 192.168.192.123
    record[RECORD_LOCAL_PORT] = 0x23;
    record[RECORD_LOCAL_PORT + 1] = 0x8C;  // 9100
    BYTE before[28];
    std::memcpy(before, record, sizeof record);
    bool result = false;
    long long ms = MillisecondsOf([&] { result = scanner_->SetPrinterConfig(record); });
    EXPECT_TRUE(result);
    EXPECT_GE(ms, 1500);
    EXPECT_EQ(std::memcmp(before, record, sizeof record), 0) << "the caller's record is unchanged";

    std::string sett;
    for (auto& r : responder_->requests())
        if (r.bytes.compare(0, 4, "SETT") == 0)
            sett = r.bytes;
    ASSERT_EQ(sett.size(), 30u);
    EXPECT_EQ(std::memcmp(sett.data() + 4, record, 6), 0) << "the MAC names the printer";
    const BYTE expected[4] = {192, 168, 192, 123};
    EXPECT_EQ(std::memcmp(sett.data() + 10, expected, 4), 0);
    EXPECT_EQ(std::memcmp(sett.data() + 14, record + 10, 16), 0);

    // The printer answered "SETC" from its new settings: a second entry, the first unchanged.
    EXPECT_EQ(scanner_->GetDeviceCount(), 2);
    EXPECT_EQ(
        tarnel::host::WideToUtf8(scanner_->FindByMac(XStringW(u"001BACABCD01"), true).GetString()),
        "192.168.0.10:9110");
    scanner_->ClearDeviceTable();
    ASSERT_EQ(scanner_->SearchOnce(), 1);
    EXPECT_EQ(
        tarnel::host::WideToUtf8(scanner_->FindByMac(XStringW(u"001BACABCD01"), true).GetString()),
        "192.168.192.123:9100");
}

TEST_F(ScannerTest, NothingHappensWithoutInterfacesOrForUnknownIndexes) {
    auto* empty = new COstraUdpScanner(std::vector<_LOCAL_INTERFACE_INFO_>{});
    FoundLog log;
    empty->StartScan(FoundLog::Callback, &log, PRINTER_KIND_ETHERNET);
    EXPECT_FALSE(empty->IsBusy());
    EXPECT_FALSE(empty->HasThread());
    EXPECT_EQ(empty->SearchOnce(), 0);
    empty->Release();

    scanner_->CreateUdpSocket(7, PRINTER_KIND_ETHERNET);
    scanner_->CloseUdpSocket(-1, PRINTER_KIND_ETHERNET);
    scanner_->CloseUdpSocket(7, PRINTER_KIND_ETHERNET);
    EXPECT_EQ(scanner_->GetInterfaceCount(), 1);
}

TEST_F(ScannerTest, ReleasingARunningScannerEndsItsSearch) {
    responder_->addPrinter(Printer(1, 10, PrinterKind::Ethernet));
    Start();
    auto* scanner =
        new COstraUdpScanner({{IFF_UP | IFF_BROADCAST, Address(here_), Address(here_)}});
    scanner->StartScan(nullptr, nullptr, PRINTER_KIND_ETHERNET);
    Sleep(100);
    scanner->Release();  // no StopScan: the thread sees it is alone and ends
    Sleep(700);
    size_t finds = Requests("FIND");
    Sleep(700);
    EXPECT_EQ(Requests("FIND"), finds) << "no more rounds";
}

}  // namespace
}  // namespace tarnel::test
