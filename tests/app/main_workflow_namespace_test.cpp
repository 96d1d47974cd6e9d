// The whole workflow as a person does it, on a small network of namespaces: the tool's host with
// two links, a simulated printer behind each. Search, STEP 2 (which installs the package),
// new network settings, the printer found again where it moved, the port assigned, a receipt
// printed through the driver to that printer; then detach, and the same with DHCP.
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "tests/app/app_fixture.h"
#include "tests/netns/netns.h"
#include "tests/netns/test_network.h"
#include "tool/app/res/resource.h"
#include "tool/app/tarnel_configuration_dlg.h"
#include "tools/printer-sim/printer_sim.h"

namespace tarnel::apptest {
namespace {

namespace uh = ui::host;

const std::string kReceipt = "RECEIPT 0001\r\nTOTAL 12.50\r\n";

class MainWorkflowNamespace : public AppTest {
  protected:
    void TearDown() override {
        if (run_ && main_ && uh::IsOpen(main_))
            uh::Press(main_, ui::kIdCancel);
        run_.reset();
        dlg_.reset();
        for (auto& r : responders_)
            r.reset();
        AppTest::TearDown();
    }
    std::unique_ptr<printersim::UdpResponder> Responder(int host, const DiscoveryPrinter& p) {
        auto responder = std::make_unique<printersim::UdpResponder>();
        responder->addPrinter(p);
        // The printer takes its new address on its link before it answers from there.
        responder->setAddressChange(
            [this, host](size_t, const DiscoveryPrinter&, const DiscoveryPrinter& after) {
                char text[64];
                std::snprintf(text, sizeof(text), "ip addr add %d.%d.%d.%d/24 dev %s",
                              after.address[0], after.address[1], after.address[2],
                              after.address[3], network_.HostInterface(host).c_str());
                network_.CommandIn(host, text);
            });
        std::string error;
        bool started = false;
        network_.RunIn(host, [&] { started = responder->start(error); });
        EXPECT_TRUE(started) << error;
        return responder;
    }
    // The printer's TCP side at its new address, in its namespace.
    std::unique_ptr<printersim::PrinterSimulator> TcpPrinter(int host, const std::string& address,
                                                             std::uint16_t port) {
        printersim::Options options;
        options.address = address;
        options.port = port;
        auto printer = std::make_unique<printersim::PrinterSimulator>(options);
        std::string error;
        bool started = false;
        network_.RunIn(host, [&] { started = printer->start(error); });
        EXPECT_TRUE(started) << error;
        return printer;
    }
    void Step(const char* text) {
        std::printf("[workflow] %s\n", text);
        std::fflush(stdout);
    }
    void WaitSearchAfter(const uh::WindowRef& after) {
        uh::WindowRef search = after ? uh::WaitForNextDialog(IDD_SEARCH_DIALOG, after, 10000)
                                     : uh::WaitForDialog(IDD_SEARCH_DIALOG, 10000);
        ASSERT_TRUE(search);
        ASSERT_TRUE(uh::WaitClosed(search, 10000));
        ASSERT_TRUE(uh::Settle(main_));
        lastSearch_ = search;
        ShowList();
    }
    // The row of the printer with this MAC: its texts, and its index (-1 when not listed).
    int RowOf(const std::string& mac, std::vector<std::string>* texts = nullptr) {
        auto list = uh::ReadControl(main_, IDC_PRINTER_LIST);
        for (size_t i = 0; i < list->rows.size(); ++i) {
            if (Narrow(list->rows[i][1]) != mac)
                continue;
            if (texts) {
                texts->clear();
                for (auto& cell : list->rows[i])
                    texts->push_back(Narrow(cell));
            }
            return static_cast<int>(i);
        }
        return -1;
    }
    // The printer list as the window shows it.
    void ShowList() {
        auto list = uh::ReadControl(main_, IDC_PRINTER_LIST);
        for (const auto& r : list->rows) {
            std::printf("[workflow]   ");
            for (const auto& cell : r)
                std::printf("| %-17s ", Narrow(cell).c_str());
            std::printf("|\n");
        }
        std::fflush(stdout);
    }
    void Picture(const uh::WindowRef& w, const char* name) {
        std::filesystem::create_directories(TARNEL_PICTURE_DIR);
        auto p = uh::Snapshot(w);
        ASSERT_TRUE(p);
        const std::string path = std::string(TARNEL_PICTURE_DIR) + "/" + name;
        ASSERT_TRUE(uh::SavePng(*p->bitmap, path));
        std::printf("[workflow] picture %s\n", path.c_str());
    }
    // STEP 2 on the printer's row, the settings typed, Save: the dialog's message.
    std::string Configure(const std::string& mac, const char* address, const char* port, bool dhcp,
                          const char* picture) {
        const int row = RowOf(mac);
        EXPECT_GE(row, 0);
        EXPECT_TRUE(uh::PickRow(main_, IDC_PRINTER_LIST, row));
        EXPECT_TRUE(uh::Press(main_, IDC_BTN_CONFIG));
        uh::WindowRef config = uh::WaitForDialog(IDD_CONFIG_DIALOG, 30000);
        if (!config)
            return "<no configuration dialog>";
        EXPECT_TRUE(uh::PickRow(config, IDC_CFG_PORT_LIST, 0));
        auto type = [&](int id, const char* text) {
            std::string s(text);
            EXPECT_TRUE(uh::Type(config, id, ui::String(s.begin(), s.end())));
        };
        if (address)
            type(IDC_CFG_IP, address);
        type(IDC_CFG_LOCAL_PORT, port);
        if (dhcp) {
            EXPECT_TRUE(uh::Press(config, IDC_CFG_DHCP));
        }
        if (picture)
            Picture(config, picture);
        EXPECT_TRUE(uh::Press(config, IDC_CFG_SAVE));
        uh::WindowRef box = uh::WaitForDialog(uh::kMessageBoxTemplate, 30000);
        if (!box)
            return "<no message>";
        auto p = uh::Snapshot(box);
        uh::Answer(box, ui::kIdOk);
        EXPECT_TRUE(uh::WaitClosed(config, 5000));
        return Narrow(p->messageText);
    }
    // An application prints a receipt through the port; the printer gets it.
    void PrintThrough(const char16_t* device, printersim::PrinterSimulator& printer) {
        HANDLE h = CreateFileW(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(h, kReceipt.data(), DWORD(kReceipt.size()), &written, nullptr));
        EXPECT_TRUE(printer.waitForBytes(kReceipt.size(), std::chrono::seconds(20)));
        EXPECT_EQ(printer.received(), kReceipt);
        std::string shown;
        for (char c : printer.received())
            shown += c == '\r' ? std::string() : c == '\n' ? std::string(" / ") : std::string(1, c);
        std::printf("[workflow] the printer received %zu bytes: %s\n", printer.received().size(),
                    shown.c_str());
        CloseHandle(h);
    }

    test::TestNetwork network_;
    std::unique_ptr<printersim::UdpResponder> responders_[2];
    std::unique_ptr<CTarnel_ConfigurationDlg> dlg_;
    std::unique_ptr<ModalThread> run_;
    uh::WindowRef main_;
    uh::WindowRef lastSearch_;
};

TEST_F(MainWorkflowNamespace, SearchConfigureAssignPrintDetachAndAgainWithDhcp) {
    TARNEL_IN_NAMESPACE(MainWorkflowNamespace, SearchConfigureAssignPrintDetachAndAgainWithDhcp)
    TARNEL_ADD_HOST(network_, left, "tw0", "10.78.1.1/24", "10.78.1.2/24")
    TARNEL_ADD_HOST(network_, right, "tw1", "10.78.2.1/24", "10.78.2.2/24")
    auto config = machine_->machine().config();
    config.interfaces = {"tw0", "tw1"};
    machine_->machine().setConfig(config);
    DiscoveryPrinter a = Printer(1, {10, 78, 1, 2});
    DiscoveryPrinter b = Printer(2, {10, 78, 2, 2});
    b.dhcpAddress = {10, 78, 2, 9};
    responders_[0] = Responder(left, a);
    responders_[1] = Responder(right, b);
    ASSERT_TRUE(Ports().empty());

    Step("the tool starts; its first search runs 300 ms after the window opens");
    dlg_ = std::make_unique<CTarnel_ConfigurationDlg>();
    run_ = std::make_unique<ModalThread>([this] { return dlg_->DoModal(); });
    main_ = uh::WaitForDialog(IDD_TARNEL_CONFIGURATION_DIALOG);
    ASSERT_TRUE(main_);
    WaitSearchAfter(nullptr);
    std::vector<std::string> row;
    ASSERT_GE(RowOf("00:1b:ac:00:00:01", &row), 0);
    EXPECT_EQ(row[2], "10.78.1.2");
    EXPECT_EQ(row[4], "Not Assigned");
    ASSERT_GE(RowOf("00:1b:ac:00:00:02", &row), 0);
    EXPECT_EQ(row[2], "10.78.2.2");
    EXPECT_EQ(row[4], "Not Assigned");
    Picture(main_, "main_window_search.png");

    Step("STEP 2 on the first printer: the package is installed, then address and port change");
    EXPECT_EQ(Configure("00:1b:ac:00:00:01", "10.78.1.7", "4000", false, "config_dialog.png"),
              "Succeeded to save information!");
    EXPECT_EQ(Ports(), std::vector<std::string>{"COM1"});
    std::printf("[workflow] the store: COM1 -> %s\n", Assignment(u"COM1").c_str());
    EXPECT_EQ(responders_[0]->printer(0).address, (std::array<std::uint8_t, 4>{10, 78, 1, 7}));
    EXPECT_EQ(Assignment(u"COM1"), "10.78.1.7:4000");

    Step("the next search finds the printer at its new address with COM1");
    WaitSearchAfter(lastSearch_);
    ASSERT_GE(RowOf("00:1b:ac:00:00:01", &row), 0);
    EXPECT_EQ(row[2], "10.78.1.7");
    EXPECT_EQ(row[3], "4000");
    EXPECT_EQ(row[4], "COM1");
    Picture(main_, "main_window_assigned.png");

    Step("an application prints a receipt to COM1; the moved printer receives it");
    auto tcpA = TcpPrinter(left, "10.78.1.7", 4000);
    PrintThrough(u"\\\\.\\COM1", *tcpA);

    Step("STEP 3 on it: the tool asks the printer for its model and prints the test page");
    ASSERT_TRUE(uh::PickRow(main_, IDC_PRINTER_LIST, RowOf("00:1b:ac:00:00:01")));
    ASSERT_TRUE(uh::Press(main_, IDC_BTN_TEST_PRINT));
    uh::WindowRef message = uh::WaitForDialog(IDD_MESSAGE_DIALOG, 20000);
    ASSERT_TRUE(message);
    auto shown = uh::Snapshot(message);
    bool success = false;
    for (const auto& t : shown->texts)
        success |= Narrow(t.text) == "Printer Test Success!!!";
    EXPECT_TRUE(success);
    ASSERT_TRUE(uh::Press(message, ui::kIdOk));
    EXPECT_TRUE(uh::WaitClosed(message));
    // After the receipt: the model request, then the centred page naming the model and the port.
    const std::string page = tcpA->received().substr(kReceipt.size());
    ASSERT_GE(page.size(), 6u);
    EXPECT_EQ(page.substr(0, 3), std::string("\x1D\x49\x43", 3));
    EXPECT_NE(page.find(std::string("\x1B\x61\x01", 3)), std::string::npos);
    EXPECT_NE(page.find(" <-> COM1"), std::string::npos) << page;
    EXPECT_EQ(page.substr(page.size() - 3), std::string("\x1B\x61\x00", 3));
    std::printf("[workflow] the printer received the test page: %zu bytes\n", page.size());
    const std::string firstPrinterGot = tcpA->received();

    Step("detach: the row reads Not Assigned at once");
    ASSERT_TRUE(uh::PickRow(main_, IDC_PRINTER_LIST, RowOf("00:1b:ac:00:00:01")));
    ASSERT_TRUE(uh::Press(main_, IDC_BTN_DETACH));
    ASSERT_TRUE(uh::Settle(main_));
    RowOf("00:1b:ac:00:00:01", &row);
    EXPECT_EQ(row[4], "Not Assigned");
    EXPECT_EQ(Assignment(u"COM1"), "");

    Step("STEP 2 on the second printer with DHCP on: the address is the one DHCP gave");
    EXPECT_EQ(Configure("00:1b:ac:00:00:02", nullptr, "4001", true, nullptr),
              "Succeeded to save information!");
    EXPECT_EQ(Assignment(u"COM1"), "10.78.2.9:4001");
    WaitSearchAfter(lastSearch_);
    ASSERT_GE(RowOf("00:1b:ac:00:00:02", &row), 0);
    EXPECT_EQ(row[2], "10.78.2.9");
    EXPECT_EQ(row[4], "COM1");
    auto tcpB = TcpPrinter(right, "10.78.2.9", 4001);
    PrintThrough(u"\\\\.\\COM1", *tcpB);
    EXPECT_EQ(tcpA->received(), firstPrinterGot) << "the first printer got nothing more";

    Step("detach again and leave");
    ASSERT_TRUE(uh::PickRow(main_, IDC_PRINTER_LIST, RowOf("00:1b:ac:00:00:02")));
    ASSERT_TRUE(uh::Press(main_, IDC_BTN_DETACH));
    ASSERT_TRUE(uh::Settle(main_));
    EXPECT_EQ(Assignment(u"COM1"), "");
    ASSERT_TRUE(uh::Press(main_, ui::kIdCancel));
    EXPECT_EQ(run_->Join(), ui::kIdCancel);
    run_.reset();
}

}  // namespace
}  // namespace tarnel::apptest
