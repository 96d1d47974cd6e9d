// tarnel-host package commands: the driver package installed and removed by the configuration
// tool's own code, so that a person (or the README demo) gets ports exactly as the tool makes
// them.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/host/kernel/pnp.h"
#include "platform/host/win32/program_bitness.h"
#include "platform/host/win32/windows.h"
#include "tool/install/virtual_ports.h"
#include "tool/install/vp_install.h"
#include "tool/store/product.h"
#include "tools/tarnel-host/commands.h"

namespace fs = std::filesystem;

namespace tarnel::hosttool {

namespace {

void ShowPorts() {
    const XStringWList ports = GetVirtualPortList(kHardwareId, kServiceName);
    std::printf("virtual ports:");
    for (int i = 0; i < ports.GetCount(); ++i) {
        const XStringW& port = ports.GetAt(i);
        std::printf(" %s",
                    std::string(port.GetString(), port.GetString() + port.GetLength()).c_str());
    }
    std::printf("%s\n", ports.GetCount() ? "" : " none");
}

}  // namespace

// tarnel-host install-package DIR: DIR holds Tarnel.INF and Tarnel.sys as they ship beside the
// tool; the tool's install adds one port each time.
int RunInstallPackage(int argc, char** argv) {
    if (argc != 1 || !fs::is_regular_file(fs::path(argv[0]) / "Tarnel.INF")) {
        std::fprintf(stderr,
                     "usage: tarnel-host install-package DIR   (DIR holds Tarnel.INF "
                     "and Tarnel.sys)\n");
        return 2;
    }
    // Devices are installed by the tool's 64-bit build, which this command stands for.
    host::SetProgramIs64Bit(true);
    // The tool finds its package beside itself.
    host::SetProgramPath((fs::absolute(argv[0]) / "Tarnel_Configuration.exe").string());
    CVPInstall::SetWindowless(true);
    const int result = CVPInstall::Install(CVPInstall::ChooseInf(), kHardwareId);
    host::kernel::ShutdownMachine();
    if (result == VP_INSTALL_FAILED) {
        std::fprintf(stderr, "tarnel-host: the driver package could not be installed\n");
        return 1;
    }
    std::printf("%s\n", result == VP_INSTALL_REBOOT ? "installed, restart required" : "installed");
    ShowPorts();
    return 0;
}

// tarnel-host uninstall-package: every port, the oem INFs, Tarnel.sys, the service and the
// store, as "Delete All Port" does.
int RunUninstallPackage(int argc, char** argv) {
    (void)argv;
    if (argc != 0) {
        std::fprintf(stderr, "usage: tarnel-host uninstall-package\n");
        return 2;
    }
    host::SetProgramIs64Bit(true);
    CVPInstall::SetWindowless(true);
    CVPInstall::UninstallAll(TEXT("Tarnel.sys"), kServiceName, kHardwareId,
                             TEXT("Pellor.Manufacturer"), kProductKey, TEXT("Morvik"));
    host::kernel::ShutdownMachine();
    ShowPorts();
    return 0;
}

}  // namespace tarnel::hosttool
