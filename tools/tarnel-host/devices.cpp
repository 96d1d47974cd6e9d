// tarnel-host device commands: install the host driver, add a virtual port instance, and boot the
// machine to list its devices, DOS device names and serial device map.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/host/kernel/host_kernel.h"
#include "platform/host/kernel/pnp.h"
#include "platform/host/win32/windows.h"
#include "tools/tarnel-host/commands.h"

namespace hk = tarnel::host::kernel;

namespace tarnel::hosttool {
namespace {

std::u16string Widen(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}
std::string Narrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s)
        out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

const char* StatusText(NTSTATUS status) {
    static char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

int Boot() {
    NTSTATUS status = hk::BootMachine();
    if (!NT_SUCCESS(status))
        std::fprintf(stderr, "tarnel-host: a device did not start (%s)\n", StatusText(status));
    return 0;
}

void PrintDevices() {
    auto devices = hk::DeviceInstances();
    if (devices.empty())
        std::printf("no devices\n");
    for (auto& d : devices) {
        std::printf("%-20s %-10s %-18s %s", d.instanceId.c_str(), d.service.c_str(),
                    d.pdoName.c_str(), hk::DeviceStateName(d.state));
        if (d.state == hk::DeviceState::Failed)
            std::printf(" (%s)", StatusText(d.problem));
        std::printf("\n");
    }
}

void PrintDosNames() {
    for (auto& [name, target] : hk::SymbolicLinks())
        std::printf("%-40s -> %s\n", name.c_str(), target.c_str());
    for (auto& i : hk::DeviceInterfaces())
        std::printf("interface %s (%s)\n", i.link.c_str(), i.enabled ? "enabled" : "disabled");
}

int PrintSerialMap() {
    HKEY key;
    LONG rc =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key);
    if (rc == ERROR_FILE_NOT_FOUND) {
        std::printf("the serial device map is empty\n");
        return 0;
    }
    if (rc != ERROR_SUCCESS) {
        std::fprintf(stderr, "tarnel-host: cannot open the serial device map (error %ld)\n",
                     static_cast<long>(rc));
        return 1;
    }
    for (DWORD i = 0;; ++i) {
        WCHAR name[256];
        DWORD nameChars = 256, type = 0, size = 0;
        BYTE data[512];
        size = sizeof data;
        if (RegEnumValueW(key, i, name, &nameChars, nullptr, &type, data, &size) != ERROR_SUCCESS)
            break;
        std::u16string text(reinterpret_cast<const char16_t*>(data), size / 2);
        while (!text.empty() && text.back() == 0)
            text.pop_back();
        std::printf("%-20s %s\n", Narrow(std::u16string(name, nameChars)).c_str(),
                    Narrow(text).c_str());
    }
    RegCloseKey(key);
    return 0;
}

}  // namespace

int RunDevices(const std::string& command, int argc, char** argv) {
    if (command == "install-driver") {
        std::string image = argc > 0 ? argv[0] : TARNEL_HOST_DRIVER_DEFAULT;
        std::string error;
        if (!hk::InstallDriverService(u"TARNEL", image, "Tarnel.sys", error)) {
            std::fprintf(stderr, "tarnel-host: %s\n", error.c_str());
            return 1;
        }
        std::printf("installed %s as the TARNEL service\n", image.c_str());
        return 0;
    }
    if (command == "add-port") {
        if (argc != 1 || std::strncmp(argv[0], "COM", 3) != 0 || !argv[0][3]) {
            std::fprintf(stderr, "usage: tarnel-host add-port COMn\n");
            return 2;
        }
        std::u16string id =
            hk::CreateRootInstance(u"PORTS", u"morvik\\tarnel", u"TARNEL", Widen(argv[0]));
        if (id.empty()) {
            std::fprintf(stderr, "tarnel-host: cannot create the device instance\n");
            return 1;
        }
        NTSTATUS status = hk::StartDeviceInstance(id);
        std::printf("%s: %s %s\n", Narrow(id).c_str(), argv[0],
                    NT_SUCCESS(status) ? "started" : "created, but did not start");
        hk::ShutdownMachine();
        return NT_SUCCESS(status) ? 0 : 1;
    }
    Boot();
    int rc = 0;
    if (command == "devices")
        PrintDevices();
    else if (command == "dosnames")
        PrintDosNames();
    else if (command == "serialmap")
        rc = PrintSerialMap();
    hk::ShutdownMachine();
    return rc;
}

}  // namespace tarnel::hosttool
