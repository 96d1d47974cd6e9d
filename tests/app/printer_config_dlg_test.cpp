// The printer configuration dialog with a printer of the simulator: what it shows, what "SETT"
// carries, the confirmation by search and the assignment written, the warnings.
#include <thread>

#include "tests/app/app_fixture.h"
#include "tool/app/res/resource.h"
#include "tool/discovery/discovery_protocol.h"
#include "tool/discovery/printer_config_dlg.h"
#include "tool/install/vp_install.h"
#include "tool/store/assigned_info.h"
#include "tool/store/product.h"

namespace tarnel::apptest {
namespace {

namespace uh = ui::host;

class ConfigDlgTest : public AppTest {
  protected:
    void SetUp() override {
        AppTest::SetUp();
        ASSERT_EQ(CVPInstall::Install(TEXT("Tarnel.INF"), kHardwareId), VP_INSTALL_OK);
    }
    void TearDown() override {
        if (run_ && config_ && uh::IsOpen(config_)) {
            uh::Press(config_, ui::kIdCancel);
        }
        run_.reset();
        dlg_.reset();
        AppTest::TearDown();
    }
    // The printer as a search finds it.
    _DISCOVERY_DEVICE_INFO_ Find() {
        COstraUdpScanner* scanner = NewScanner();
        scanner->SearchOnce();
        std::vector<_DISCOVERY_DEVICE_INFO_> devices = scanner->GetDevices();
        scanner->Release();
        EXPECT_EQ(devices.size(), 1u);
        return devices.empty() ? _DISCOVERY_DEVICE_INFO_{} : devices[0];
    }
    void Open(const XStringW& shownPort, DWORD confirmTime = 6000) {
        dlg_ = std::make_unique<CPrinterConfigDlg>();
        dlg_->createScanner = [this] { return NewScanner(); };
        dlg_->confirmTime = confirmTime;
        dlg_->SetPrinterInfo(Find(), shownPort);
        run_ = std::make_unique<ModalThread>([this] { return dlg_->DoModal(); });
        config_ = uh::WaitForDialog(IDD_CONFIG_DIALOG);
        ASSERT_TRUE(config_);
    }
    // Save, then the message box's text; the dialog's result once it closes (0: still open).
    std::string Save() {
        EXPECT_TRUE(uh::Press(config_, IDC_CFG_SAVE));
        return AnswerMessageBox();
    }
    INT_PTR Result() {
        if (!uh::WaitClosed(config_, 2000))
            return 0;
        return run_->Join();
    }
    void Type(int id, const char* text) {
        std::string narrow(text);
        ASSERT_TRUE(uh::Type(config_, id, ui::String(narrow.begin(), narrow.end()))) << text;
    }
    void PickPort(int index) { ASSERT_TRUE(uh::PickRow(config_, IDC_CFG_PORT_LIST, index)); }
    // The settings bytes of the one "SETT" sent (after the word).
    std::string SentSettings() {
        auto sent = SettRequests();
        EXPECT_EQ(sent.size(), 1u);
        return sent.empty() ? std::string() : sent[0].substr(4);
    }

    std::unique_ptr<CPrinterConfigDlg> dlg_;
    std::unique_ptr<ModalThread> run_;
    uh::WindowRef config_;
};

TEST_F(ConfigDlgTest, OpeningShowsThePrinterAndTheInstalledPorts) {
    DiscoveryPrinter p = Printer(1, {10, 0, 0, 1}, 9100);
    p.inactivity = 30;
    p.firmwareMajor = 2;
    p.firmwareMinor = 7;
    p.baudCode = 0x42;  // unknown: position 0
    StartPrinters({p});
    SetAssignedInfo(kProductKey, TEXT("COM1"), TEXT("10.0.0.1"), 9100, TEXT("port"));
    Open(TEXT("COM1"));
    EXPECT_EQ(uh::ReadControl(config_, IDC_CFG_IP)->ip, 0x0A000001u);
    EXPECT_EQ(uh::ReadControl(config_, IDC_CFG_MASK)->ip, 0xFFFFFF00u);
    EXPECT_EQ(uh::ReadControl(config_, IDC_CFG_GATEWAY)->ip, 0x0A0000FEu);
    EXPECT_EQ(Narrow(uh::ReadControl(config_, IDC_CFG_LOCAL_PORT)->text), "9100");
    EXPECT_EQ(Narrow(uh::ReadControl(config_, IDC_CFG_INACTIVITY)->text), "30");
    EXPECT_EQ(Narrow(uh::ReadControl(config_, IDC_CFG_FIRMWARE)->text), "2.7");
    EXPECT_EQ(uh::ReadControl(config_, IDC_CFG_BAUD)->selection, 0);
    EXPECT_FALSE(uh::ReadControl(config_, IDC_CFG_DHCP)->checked);
    EXPECT_TRUE(uh::ReadControl(config_, IDC_CFG_IP)->enabled);
    auto ports = uh::ReadControl(config_, IDC_CFG_PORT_LIST);
    ASSERT_EQ(ports->items.size(), 1u);
    EXPECT_EQ(ports->selection, 0);
    // DHCP on: the three address controls are disabled; off again: enabled.
    ASSERT_TRUE(uh::Press(config_, IDC_CFG_DHCP));
    EXPECT_FALSE(uh::ReadControl(config_, IDC_CFG_IP)->enabled);
    EXPECT_FALSE(uh::ReadControl(config_, IDC_CFG_GATEWAY)->enabled);
    ASSERT_TRUE(uh::Press(config_, IDC_CFG_DHCP));
    EXPECT_TRUE(uh::ReadControl(config_, IDC_CFG_MASK)->enabled);
    ASSERT_TRUE(uh::Press(config_, ui::kIdCancel));
    EXPECT_EQ(Result(), ui::kIdCancel);
}

TEST_F(ConfigDlgTest, WithoutAnyPortTheDialogClosesAtOnce) {
    CVPInstall::DeleteDeviceInfo(kHardwareId);
    ASSERT_TRUE(Ports().empty());
    StartPrinters({Printer(1, {10, 0, 0, 1})});
    dlg_ = std::make_unique<CPrinterConfigDlg>();
    dlg_->SetPrinterInfo(Find(), TEXT("Not Assigned"));
    ModalThread run([this] { return dlg_->DoModal(); });
    uh::WindowRef box = uh::WaitForDialog(uh::kMessageBoxTemplate);
    ASSERT_TRUE(box);
    auto p = uh::Snapshot(box);
    EXPECT_EQ(Narrow(p->messageText), "Cadrel don't installed.");
    EXPECT_EQ(p->messageType, ui::kMbOk | ui::kMbIconWarning);
    uh::Answer(box, ui::kIdOk);
    EXPECT_EQ(run.Join(), ui::kIdCancel);
}

// Saving without a change sends nothing and rewrites the assignment of the chosen port.
TEST_F(ConfigDlgTest, SaveWithoutChangeRewritesTheAssignmentOnly) {
    StartPrinters({Printer(1, {10, 0, 0, 1}, 9100)});
    SetAssignedInfo(kProductKey, TEXT("COM3"), TEXT("10.0.0.1"), 9100, TEXT("old"));
    Open(TEXT("Not Assigned"));
    PickPort(0);
    EXPECT_EQ(Save(), "Succeeded to save information!");
    EXPECT_EQ(Result(), ui::kIdOk);
    EXPECT_TRUE(SettRequests().empty());
    EXPECT_EQ(Assignment(u"COM1"), "10.0.0.1:9100");
    EXPECT_EQ(Assignment(u"COM3"), "") << "the printer's earlier port is released";
}

// What "SETT" carries and what is assigned, by what the person changed.
TEST_F(ConfigDlgTest, ChangedSettingsAreSentConfirmedAndAssigned) {
    struct Case {
        const char* name;
        const char* address;  // null: unchanged
        const char* port;
        const char* inactivity;
        bool dhcp;
        const char* assigned;
        std::string settings;  // bytes 6..25 of the "SETT" settings: address..inactivity
    };
    auto bytes = [](std::initializer_list<int> b) {
        std::string s;
        for (int v : b)
            s += static_cast<char>(v);
        return s;
    };
    const Case cases[] = {
        // Only the inactivity time: the rest goes back as received.
        {"inactivity", nullptr, nullptr, "300", false, "10.0.0.1:9100",
         bytes({10, 0, 0, 1, 255, 255, 255, 0, 10, 0, 0, 254, 0x23, 0x8C, 0xF4, 1, 0, 0, 1, 0x2C})},
        // A new address and port; blank fields of an address read as 0.
        {"address", "10..0.7", "4000", nullptr, false, "10.0.0.7:4000",
         bytes({10, 0, 0, 7, 255, 255, 255, 0, 10, 0, 0, 254, 0x0F, 0xA0, 0xF4, 1, 0, 0, 0, 0})},
        // An empty inactivity time is sent as 0xFFFF.
        {"empty inactivity", nullptr, "65535", "", false, "10.0.0.1:65535",
         bytes({10, 0,   0,    1,    255,  255, 255, 0, 10,   0,
                0,  254, 0xFF, 0xFF, 0xF4, 1,   0,   0, 0xFF, 0xFF})},
        // DHCP on: the assignment takes the address the printer reports afterwards.
        {"dhcp", nullptr, nullptr, nullptr, true, "10.9.9.9:9100",
         bytes({10, 0, 0, 1, 255, 255, 255, 0, 10, 0, 0, 254, 0x23, 0x8C, 0xF4, 1, 0, 1, 0, 0})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DiscoveryPrinter p = Printer(1, {10, 0, 0, 1}, 9100);
        p.dhcpAddress = {10, 9, 9, 9};
        StartPrinters({p});
        Open(TEXT("Not Assigned"));
        PickPort(0);
        if (c.address)
            Type(IDC_CFG_IP, c.address);
        if (c.port)
            Type(IDC_CFG_LOCAL_PORT, c.port);
        if (c.inactivity)
            Type(IDC_CFG_INACTIVITY, c.inactivity);
        if (c.dhcp) {
            ASSERT_TRUE(uh::Press(config_, IDC_CFG_DHCP));
        }
        EXPECT_EQ(Save(), "Succeeded to save information!");
        EXPECT_EQ(Result(), ui::kIdOk);
        const std::string sent = SentSettings();
        ASSERT_EQ(sent.size(), 26u);
        EXPECT_EQ(sent.substr(0, 6), bytes({0x00, 0x1B, 0xAC, 0, 0, 1}));
        EXPECT_EQ(sent.substr(6, 20), c.settings);
        EXPECT_EQ(Assignment(u"COM1"), c.assigned);
        run_.reset();
        dlg_.reset();
        responder_.reset();
        DeleteAssignedInfo(TEXT("COM1"), kProductKey);
    }
}

// Input the printer could not take: the warning, nothing sent or saved, the dialog stays open
// with its controls usable again.
TEST_F(ConfigDlgTest, InvalidInputWarnsAndKeepsTheEdits) {
    struct Case {
        const char* name;
        int id;
        const char* text;
        const char* warning;
    };
    const char* check = "Please check Network Address or Port Number";
    const Case cases[] = {
        {"no port chosen", 0, nullptr, "Please select a port"},
        {"blank address", IDC_CFG_IP, "...", check},
        {"blank gateway", IDC_CFG_GATEWAY, "...", check},
        {"no local port", IDC_CFG_LOCAL_PORT, "", check},
        {"local port 0", IDC_CFG_LOCAL_PORT, "0", check},
        {"local port 65536", IDC_CFG_LOCAL_PORT, "65536", check},
        {"inactivity 65536", IDC_CFG_INACTIVITY, "65536", check},
        {"inactivity -1", IDC_CFG_INACTIVITY, "-1", check},
    };
    StartPrinters({Printer(1, {10, 0, 0, 1})});
    Open(TEXT("Not Assigned"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.text) {
            PickPort(0);
            Type(c.id, c.text);
        }
        EXPECT_EQ(Save(), c.warning);
        ASSERT_TRUE(uh::Settle(config_));
        EXPECT_TRUE(uh::IsOpen(config_));
        EXPECT_TRUE(uh::ReadControl(config_, IDC_CFG_SAVE)->enabled);
        EXPECT_TRUE(uh::ReadControl(config_, IDC_CFG_PORT_LIST)->enabled);
        EXPECT_TRUE(uh::ReadControl(config_, IDC_CFG_IP)->enabled);
        if (c.text && c.id != IDC_CFG_IP && c.id != IDC_CFG_GATEWAY) {
            EXPECT_EQ(Narrow(uh::ReadControl(config_, c.id)->text), c.text) << "edits kept";
        }
        // Repair for the next case.
        Type(IDC_CFG_IP, "10.0.0.1");
        Type(IDC_CFG_GATEWAY, "10.0.0.254");
        Type(IDC_CFG_LOCAL_PORT, "9100");
        Type(IDC_CFG_INACTIVITY, "0");
    }
    EXPECT_TRUE(SettRequests().empty());
    EXPECT_EQ(Assignment(u"COM1"), "");
}

// A printer that never answers again: the failure message after the search time, controls
// usable again, the progress full, the store untouched.
TEST_F(ConfigDlgTest, APrinterThatIsNotFoundAgainFailsTheSave) {
    StartPrinters({Printer(1, {10, 0, 0, 1})});
    Open(TEXT("Not Assigned"), 1500);
    responder_->setSilent(0, true);
    PickPort(0);
    Type(IDC_CFG_LOCAL_PORT, "4000");
    const std::string text = Save();
    EXPECT_NE(text.find("Failed to configure the information related to communication port"),
              std::string::npos)
        << text;
    ASSERT_TRUE(uh::Settle(config_));
    EXPECT_TRUE(uh::IsOpen(config_));
    EXPECT_EQ(uh::ReadControl(config_, IDC_CFG_PROGRESS)->pos, 180);
    EXPECT_TRUE(uh::ReadControl(config_, IDC_CFG_SAVE)->enabled);
    EXPECT_EQ(Narrow(uh::ReadControl(config_, IDC_CFG_LOCAL_PORT)->text), "4000");
    EXPECT_EQ(Assignment(u"COM1"), "");
}

}  // namespace
}  // namespace tarnel::apptest
