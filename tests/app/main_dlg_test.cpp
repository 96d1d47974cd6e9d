// The main window as a person uses it: the search 300 ms after opening, the printer list with
// its Assign Info, STEP 2 and detach on the chosen row, the printer type kept per user.
#include "tests/app/app_fixture.h"
#include "tool/app/res/resource.h"
#include "tool/app/tarnel_configuration_dlg.h"
#include "tool/install/vp_install.h"
#include "tool/store/assigned_info.h"
#include "tool/store/product.h"

namespace tarnel::apptest {
namespace {

namespace uh = ui::host;

class MainDlgTest : public AppTest {
  protected:
    // Opens the main window and waits for its first search to end.
    void Open(XStringW commandLine = XStringW()) {
        MainDlgServices services;
        services.createScanner = [this] { return NewScanner(); };
        dlg_ = std::make_unique<CTarnel_ConfigurationDlg>(commandLine, services);
        run_ = std::make_unique<ModalThread>([this] { return dlg_->DoModal(); });
        main_ = uh::WaitForDialog(IDD_TARNEL_CONFIGURATION_DIALOG);
        ASSERT_TRUE(main_);
        WaitSearch(nullptr);
    }
    // Waits for a search dialog opened after `after` to close.
    void WaitSearch(const uh::WindowRef& after) {
        uh::WindowRef search = after ? uh::WaitForNextDialog(IDD_SEARCH_DIALOG, after)
                                     : uh::WaitForDialog(IDD_SEARCH_DIALOG);
        ASSERT_TRUE(search);
        ASSERT_TRUE(uh::WaitClosed(search));
        ASSERT_TRUE(uh::Settle(main_));
        lastSearch_ = search;
    }
    INT_PTR Close() {
        EXPECT_TRUE(uh::Press(main_, ui::kIdCancel));
        INT_PTR result = run_->Join();
        run_.reset();
        return result;
    }
    void TearDown() override {
        if (run_ && main_ && uh::IsOpen(main_))
            Close();
        run_.reset();
        dlg_.reset();
        AppTest::TearDown();
    }
    std::vector<std::vector<std::string>> Rows() {
        std::vector<std::vector<std::string>> out;
        auto list = uh::ReadControl(main_, IDC_PRINTER_LIST);
        for (const auto& row : list->rows) {
            out.emplace_back();
            for (const auto& cell : row)
                out.back().push_back(Narrow(cell));
        }
        return out;
    }

    std::unique_ptr<CTarnel_ConfigurationDlg> dlg_;
    std::unique_ptr<ModalThread> run_;
    uh::WindowRef main_;
    uh::WindowRef lastSearch_;
};

TEST_F(MainDlgTest, TheFirstSearchListsEveryPrinterWithItsPort) {
    ASSERT_EQ(CVPInstall::Install(TEXT("Tarnel.INF"), kHardwareId), VP_INSTALL_OK);
    SetAssignedInfo(kProductKey, TEXT("COM1"), TEXT("10.0.0.2"), 9100, TEXT("port"));
    StartPrinters(
        {Printer(1, {10, 0, 0, 1}), Printer(2, {10, 0, 0, 2}), Printer(3, {0, 168, 1, 3}, 4000)});
    Open();
    auto list = uh::ReadControl(main_, IDC_PRINTER_LIST);
    ASSERT_EQ(list->columns.size(), 5u);
    const std::pair<const char*, int> columns[] = {
        {"No", 30}, {"Mac Address", 118}, {"IP Address", 118}, {"Port", 54}, {"Assign Info", 86}};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(Narrow(list->columns[i].first), columns[i].first);
        EXPECT_EQ(list->columns[i].second, columns[i].second);
    }
    // Arrival order is the responder's; compare as a set keyed by the MAC.
    auto rows = Rows();
    ASSERT_EQ(rows.size(), 3u);
    std::map<std::string, std::vector<std::string>> byMac;
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i][0], std::to_string(i + 1));
        byMac[rows[i][1]] = {rows[i][2], rows[i][3], rows[i][4]};
    }
    EXPECT_EQ(byMac["00:1b:ac:00:00:01"],
              (std::vector<std::string>{"10.0.0.1", "9100", "Not Assigned"}));
    EXPECT_EQ(byMac["00:1b:ac:00:00:02"], (std::vector<std::string>{"10.0.0.2", "9100", "COM1"}));
    EXPECT_EQ(byMac["00:1b:ac:00:00:03"],
              (std::vector<std::string>{"Not Configuration", "4000", ""}));
    EXPECT_EQ(Narrow(uh::ReadControl(main_, IDC_BANNER)->text),
              "Morvik Lumaport Configuration Tool");
    EXPECT_EQ(Close(), ui::kIdCancel);
}

// Rows to act on, and what STEP 2 and detach make of them.
TEST_F(MainDlgTest, Step2AndDetachActOnTheChosenRowOnly) {
    ASSERT_EQ(CVPInstall::Install(TEXT("Tarnel.INF"), kHardwareId), VP_INSTALL_OK);
    SetAssignedInfo(kProductKey, TEXT("COM1"), TEXT("10.0.0.1"), 9100, TEXT("port"));
    StartPrinters({Printer(1, {10, 0, 0, 1})});
    Open();
    ASSERT_EQ(Rows().size(), 1u);
    ASSERT_EQ(Rows()[0][4], "COM1");

    // Nothing chosen: STEP 2 warns with its icon, detach without one; STEP 3 names it too.
    ASSERT_TRUE(uh::Press(main_, IDC_BTN_CONFIG));
    {
        uh::WindowRef box = uh::WaitForDialog(uh::kMessageBoxTemplate);
        ASSERT_TRUE(box);
        auto p = uh::Snapshot(box);
        EXPECT_EQ(Narrow(p->messageText), "Select mac address at list");
        EXPECT_EQ(p->messageType, ui::kMbOk | ui::kMbIconWarning);
        uh::Answer(box, ui::kIdOk);
        uh::WaitClosed(box);
    }
    ASSERT_TRUE(uh::Press(main_, IDC_BTN_DETACH));
    {
        uh::WindowRef box = uh::WaitForDialog(uh::kMessageBoxTemplate);
        auto p = uh::Snapshot(box);
        EXPECT_EQ(Narrow(p->messageText), "Select mac address at list");
        EXPECT_EQ(p->messageType, ui::kMbOk);
        uh::Answer(box, ui::kIdOk);
        uh::WaitClosed(box);
    }
    // A double-click below the rows chooses nothing and opens nothing.
    ASSERT_TRUE(uh::DoubleClickRow(main_, IDC_PRINTER_LIST, -1));
    ASSERT_TRUE(uh::Settle(main_));
    EXPECT_FALSE(uh::WaitForDialog(IDD_CONFIG_DIALOG, 200));
    EXPECT_FALSE(uh::WaitForDialog(uh::kMessageBoxTemplate, 200));

    // Detach: the row reads "Not Assigned" at once, without a search; the store forgets it.
    ASSERT_TRUE(uh::PickRow(main_, IDC_PRINTER_LIST, 0));
    ASSERT_TRUE(uh::Press(main_, IDC_BTN_DETACH));
    ASSERT_TRUE(uh::Settle(main_));
    EXPECT_EQ(Rows()[0][4], "Not Assigned");
    EXPECT_EQ(Assignment(u"COM1"), "");
    EXPECT_EQ(uh::WaitForNextDialog(IDD_SEARCH_DIALOG, lastSearch_, 300), nullptr);
    ASSERT_TRUE(uh::Press(main_, IDC_BTN_DETACH));
    EXPECT_EQ(AnswerMessageBox(), "Not assigned!!!");
    // STEP 3 on it: the test print's own message, in the tool's message window.
    ASSERT_TRUE(uh::Press(main_, IDC_BTN_TEST_PRINT));
    uh::WindowRef message = uh::WaitForDialog(IDD_MESSAGE_DIALOG);
    ASSERT_TRUE(message);
    auto picture = uh::Snapshot(message);
    bool named = false;
    for (const auto& t : picture->texts)
        named |= Narrow(t.text) == "Not assigned!!!";
    EXPECT_TRUE(named);
    ASSERT_TRUE(uh::Press(message, ui::kIdOk));
    EXPECT_TRUE(uh::WaitClosed(message));
}

// STEP 2 finds the record for the row: by MAC alone for an unconfigured printer, the first one
// when two printers share a MAC. The configuration dialog shows the record it was given.
TEST_F(MainDlgTest, Step2OpensTheConfigurationOfTheFirstMatchingRecord) {
    ASSERT_EQ(CVPInstall::Install(TEXT("Tarnel.INF"), kHardwareId), VP_INSTALL_OK);
    DiscoveryPrinter first = Printer(7, {0, 0, 0, 1});
    DiscoveryPrinter second = Printer(7, {0, 0, 0, 2});
    second.replyDelay = std::chrono::milliseconds(100);
    StartPrinters({first, second});
    Open();
    auto rows = Rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1][2], "Not Configuration");
    ASSERT_TRUE(uh::DoubleClickRow(main_, IDC_PRINTER_LIST, 1));
    uh::WindowRef config = uh::WaitForDialog(IDD_CONFIG_DIALOG);
    ASSERT_TRUE(config);
    auto ip = uh::ReadControl(config, IDC_CFG_IP);
    EXPECT_EQ(ip->ip, 0x00000001u) << "the first record with the MAC";
    ASSERT_TRUE(uh::Press(config, ui::kIdCancel));
    EXPECT_TRUE(uh::WaitClosed(config));
    // Cancel schedules no search.
    EXPECT_EQ(uh::WaitForNextDialog(IDD_SEARCH_DIALOG, lastSearch_, 600), nullptr);
}

TEST_F(MainDlgTest, Step2InstallsThePackageBeforeTheConfigurationOpens) {
    ASSERT_TRUE(Ports().empty());
    StartPrinters({Printer(1, {10, 0, 0, 1})});
    Open();
    ASSERT_TRUE(uh::PickRow(main_, IDC_PRINTER_LIST, 0));
    ASSERT_TRUE(uh::Press(main_, IDC_BTN_CONFIG));
    uh::WindowRef config = uh::WaitForDialog(IDD_CONFIG_DIALOG, 20000);
    ASSERT_TRUE(config);
    EXPECT_EQ(Ports(), std::vector<std::string>{"COM1"});
    auto ports = uh::ReadControl(config, IDC_CFG_PORT_LIST);
    ASSERT_EQ(ports->items.size(), 1u);
    EXPECT_EQ(Narrow(ports->items[0]), "COM1");
    EXPECT_EQ(ports->selection, -1) << "\"Not Assigned\" selects nothing";
    ASSERT_TRUE(uh::Press(config, ui::kIdCancel));
    EXPECT_TRUE(uh::WaitClosed(config));
}

// The stored printer type, rounded down to tens, and what closing the window stores.
TEST_F(MainDlgTest, PrinterTypeIsReadRoundedAndWrittenBack) {
    struct Case {
        int stored;  // -1: none
        bool pos, label;
        DWORD afterClose;
    };
    const Case cases[] = {
        {-1, true, false, 20}, {20, true, false, 20}, {25, true, false, 20},
        {10, false, true, 10}, {19, false, true, 10}, {30, false, false, 20},
    };
    StartPrinters({});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored);
        HKEY key = nullptr;
        const char16_t* path = u"Software\\Morvik\\Tarnel_Configuration\\Config";
        RegDeleteKeyW(HKEY_CURRENT_USER, path);
        if (c.stored >= 0) {
            ASSERT_TRUE(app_->WriteProfileInt(TEXT("Config"), TEXT("PrinterType"), c.stored));
        }
        Open();
        EXPECT_EQ(uh::ReadControl(main_, IDC_RADIO_POS)->checked, c.pos);
        EXPECT_EQ(uh::ReadControl(main_, IDC_RADIO_LABEL)->checked, c.label);
        EXPECT_FALSE(uh::ReadControl(main_, IDC_RADIO_POS)->visible);
        Close();
        dlg_.reset();
        ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key), ERROR_SUCCESS);
        DWORD value = 0, size = sizeof(value), type = 0;
        EXPECT_EQ(RegQueryValueExW(key, TEXT("PrinterType"), nullptr, &type,
                                   reinterpret_cast<BYTE*>(&value), &size),
                  ERROR_SUCCESS);
        RegCloseKey(key);
        EXPECT_EQ(type, DWORD(REG_DWORD));
        EXPECT_EQ(value, c.afterClose);
    }
}

// Start-up removes assignments of ports that are gone, but only when every port instance
// could be read.
TEST_F(MainDlgTest, StaleAssignmentsGoOnlyAfterACleanScan) {
    ASSERT_EQ(CVPInstall::Install(TEXT("Tarnel.INF"), kHardwareId), VP_INSTALL_OK);
    SetAssignedInfo(kProductKey, TEXT("COM1"), TEXT("10.0.0.1"), 9100, TEXT("port"));
    SetAssignedInfo(kProductKey, TEXT("COM9"), TEXT("10.0.0.9"), 9100, TEXT("gone"));
    StartPrinters({});
    EXPECT_TRUE(CTarnel_ConfigurationDlg::PortInstancesReadable());
    Open();
    Close();
    EXPECT_EQ(Assignment(u"COM1"), "10.0.0.1:9100");
    EXPECT_EQ(Assignment(u"COM9"), "");
}

// An accepted command line goes to the command-line run and the window never shows; a
// malformed one closes it too.
TEST_F(MainDlgTest, ACommandLineRunsWithoutTheWindow) {
    struct Case {
        const char16_t* line;
        bool ran;
    };
    for (const Case& c : {Case{u"/u", true}, Case{u"/zz", false}}) {
        SCOPED_TRACE(Narrow(std::u16string(c.line)));
        bool ran = false;
        MainDlgServices services;
        services.createScanner = [this] { return NewScanner(); };
        services.runInstallerCommand = [&](CVPCommandLine& command, CTarnel_ConfigurationDlg&) {
            ran = command.m_uninstall;
        };
        CTarnel_ConfigurationDlg dlg(XStringW(c.line), services);
        EXPECT_EQ(dlg.DoModal(), ui::kIdOk);
        EXPECT_EQ(ran, c.ran);
        EXPECT_EQ(uh::WaitForDialog(IDD_SEARCH_DIALOG, 100), nullptr);
    }
}

}  // namespace
}  // namespace tarnel::apptest
