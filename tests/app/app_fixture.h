// Main window and configuration dialog tests: a fresh 64-bit machine with the driver package
// beside the tool, Winsock, the program's resources and application object, and simulated
// printers answering on this process's own loopback address.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/discovery/discovery_fixture.h"
#include "tests/store/store_fixture.h"
#include "tests/ui/ui_fixture.h"
#include "tool/app/app.h"
#include "tool/discovery/udp_scanner.h"
#include "tools/printer-sim/udp_responder.h"

namespace tarnel::apptest {

using printersim::DiscoveryPrinter;

class AppTest : public storetest::StoreTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // The package's INF and the host driver beside the tool.
    void Package();
    // The responder with these printers, started.
    void StartPrinters(const std::vector<DiscoveryPrinter>& printers);
    // A discovery client on this process's loopback address only.
    COstraUdpScanner* NewScanner() const;
    // The virtual ports the tool sees.
    static std::vector<std::string> Ports();
    // The store's assignment of a port: "address:port", empty when none.
    static std::string Assignment(const std::u16string& port);
    // The "SETT" requests the printers received.
    std::vector<std::string> SettRequests() const;

    static DiscoveryPrinter Printer(int n, std::array<std::uint8_t, 4> address,
                                    std::uint16_t port = 9100);

    const std::string here_ = test::ProcessLoopbackText();
    std::unique_ptr<printersim::UdpResponder> responder_;
    std::unique_ptr<CTarnel_ConfigurationApp> app_;
};

// The message box now open (after `after`, when given): its text, and it is answered OK.
std::string AnswerMessageBox(const ui::host::WindowRef& after = nullptr);

}  // namespace tarnel::apptest
