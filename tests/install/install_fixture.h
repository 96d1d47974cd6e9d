// What the install tests share: the driver package in the tool's folder, and the names of the
// installed virtual ports.
#pragma once

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/host/win32/paths.h"
#include "tests/store/store_fixture.h"
#include "tool/install/virtual_ports.h"
#include "tool/store/product.h"

namespace tarnel::storetest {

// C:\Program Files\Tarnel holding Tarnel.INF and, when `withDriver`, the host build of
// Tarnel.sys (removed otherwise), as the folder of the running tool. Needs TARNEL_PACKAGE_DIR
// and TARNEL_HOST_DRIVER from the test's build.
inline std::filesystem::path PlacePackage(bool withDriver) {
    namespace fs = std::filesystem;
    const fs::path dir = host::Machine::current().driveC() / "Program Files" / "Tarnel";
    fs::create_directories(dir / "secure");
    fs::copy_file(TARNEL_PACKAGE_DIR "/Tarnel.INF", dir / "Tarnel.INF",
                  fs::copy_options::overwrite_existing);
    if (withDriver)
        fs::copy_file(TARNEL_HOST_DRIVER, dir / "Tarnel.sys", fs::copy_options::overwrite_existing);
    else
        fs::remove(dir / "Tarnel.sys");
    host::SetProgramPath((dir / "Tarnel_Configuration.exe").string());
    return dir;
}

// The machine's Windows folder, and the "oem*" files the installs left in its inf folder, sorted.
inline std::filesystem::path WindowsFolder() {
    return host::Machine::current().driveC() / "Windows";
}
inline std::vector<std::string> OemInfs() {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(WindowsFolder() / "inf"))
        if (e.path().filename().string().rfind("oem", 0) == 0)
            names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The product's virtual ports, in the order the tool lists them.
inline std::vector<std::string> VirtualPorts() {
    std::vector<std::string> out;
    const XStringWList list = GetVirtualPortList(kHardwareId, kServiceName);
    for (int i = 0; i < list.GetCount(); ++i)
        out.push_back(Narrow(list.GetAt(i)));
    return out;
}

}  // namespace tarnel::storetest
