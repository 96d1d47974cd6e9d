#include "tests/app/app_fixture.h"

#include <cstring>

#include "platform/host/kernel/pnp.h"
#include "platform/host/win32/process.h"
#include "tool/install/virtual_ports.h"
#include "tool/store/product.h"

namespace fs = std::filesystem;

namespace tarnel::apptest {

void AppTest::SetUp() {
    Boot(true, false);  // the 64-bit build of the tool on 64-bit Windows
    Package();
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    ui::UseResourceScript(kTarnelResourceScript, kTarnelResourceHeader);
    ui::host::ResetSysColors();
    app_ = std::make_unique<CTarnel_ConfigurationApp>(CTarnel_ConfigurationApp::Services{});
    app_->SetRegistryKey(TEXT("Morvik"));
    app_->SetProfileName(TEXT("Tarnel_Configuration"));
}

void AppTest::TearDown() {
    responder_.reset();
    app_.reset();
    WSACleanup();
    host::kernel::ShutdownMachine();
    host::SetProgramPath("");
    StoreTest::TearDown();
}

void AppTest::Package() {
    const fs::path dir = host::Machine::current().driveC() / "Program Files" / "Tarnel";
    fs::create_directories(dir / "secure");
    fs::copy_file(TARNEL_PACKAGE_DIR "/Tarnel.INF", dir / "Tarnel.INF",
                  fs::copy_options::overwrite_existing);
    fs::copy_file(TARNEL_HOST_DRIVER, dir / "Tarnel.sys", fs::copy_options::overwrite_existing);
    host::SetProgramPath((dir / "Tarnel_Configuration.exe").string());
}

void AppTest::StartPrinters(const std::vector<DiscoveryPrinter>& printers) {
    printersim::ResponderOptions options;
    options.address = here_;
    responder_ = std::make_unique<printersim::UdpResponder>(options);
    for (const auto& p : printers)
        responder_->addPrinter(p);
    std::string error;
    ASSERT_TRUE(responder_->start(error)) << error;
}

COstraUdpScanner* AppTest::NewScanner() const {
    _LOCAL_INTERFACE_INFO_ info{IFF_UP | IFF_BROADCAST, test::Address(here_), test::Address(here_)};
    return new COstraUdpScanner({info});
}

std::vector<std::string> AppTest::Ports() {
    std::vector<std::string> out;
    const XStringWList list = GetVirtualPortList(kHardwareId, kServiceName);
    for (int i = 0; i < list.GetCount(); ++i)
        out.push_back(storetest::Narrow(list.GetAt(i)));
    return out;
}

std::string AppTest::Assignment(const std::u16string& port) {
    const std::u16string key = u"SOFTWARE\\Morvik\\TARNEL\\" + port;
    storetest::RawValue address = storetest::ReadRaw64(key, u"IPAddress");
    storetest::RawValue number = storetest::ReadRaw64(key, u"Port_");
    if (address.status != ERROR_SUCCESS || address.data.size() != 4)
        return {};
    // A DWORD holding the address in network order: its bytes are the dotted ones.
    std::string text;
    for (int i = 0; i < 4; ++i)
        text += (i ? "." : "") + std::to_string(address.data[i]);
    DWORD value = 0;
    if (number.data.size() == 4)
        std::memcpy(&value, number.data.data(), 4);
    return text + ":" + std::to_string(value);
}

std::vector<std::string> AppTest::SettRequests() const {
    std::vector<std::string> out;
    for (const auto& r : responder_->requests())
        if (r.bytes.compare(0, 4, "SETT") == 0)
            out.push_back(r.bytes);
    return out;
}

DiscoveryPrinter AppTest::Printer(int n, std::array<std::uint8_t, 4> address, std::uint16_t port) {
    DiscoveryPrinter p;
    p.mac = {0x00, 0x1B, 0xAC, 0x00, 0x00, static_cast<std::uint8_t>(n)};
    p.address = address;
    p.gateway = {address[0], address[1], address[2], 254};
    p.tcpPort = port;
    return p;
}

std::string AnswerMessageBox(const ui::host::WindowRef& after) {
    ui::host::WindowRef box =
        after ? ui::host::WaitForNextDialog(ui::host::kMessageBoxTemplate, after)
              : ui::host::WaitForDialog(ui::host::kMessageBoxTemplate);
    if (!box)
        return "<no message box>";
    auto picture = ui::host::Snapshot(box);
    std::string text = picture ? Narrow(picture->messageText) : "<no picture>";
    ui::host::Answer(box, ui::kIdOk);
    ui::host::WaitClosed(box);
    return text;
}

}  // namespace tarnel::apptest
