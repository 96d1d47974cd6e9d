// UpdateDriverForPlugAndPlayDevicesW on the host machine: the INF's model for the hardware id,
// the package copied into the INF folder (oemN.inf and .PNF), its files and service, the Ports
// class installer's COM name, and the device started by the Plug and Play manager.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/host/machine/machine.h"
#include "platform/host/win32/device_registry.h"
#include "platform/host/win32/inf_parser.h"
#include "platform/host/win32/paths.h"
#include "platform/host/win32/pnp_manager.h"
#include "platform/host/win32/process.h"
#include "platform/host/win32/setupapi.h"

namespace fs = std::filesystem;
namespace dr = tarnel::host::devreg;
using tarnel::host::InfEqualNoCase;
using tarnel::host::InfFile;
using tarnel::host::InfLine;

namespace {

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string linuxOf(const std::u16string& windowsPath) {
    std::string out;
    DWORD error = 0;
    return tarnel::host::ToLinuxPath(windowsPath.c_str(), out, error) ? out : std::string();
}

// The package's driver for the hardware id: description, install section (decorated).
struct Model {
    std::u16string description;
    std::u16string section;
};

bool findModel(const InfFile& inf, const std::u16string& hardwareId, bool amd64, Model& model) {
    const std::u16string decoration = amd64 ? u"NTamd64" : u"NTx86";
    const tarnel::host::InfSection* manufacturers = inf.Find(u"Manufacturer");
    if (!manufacturers)
        return false;
    for (const InfLine& m : manufacturers->lines) {
        if (m.fields.empty())
            continue;
        std::u16string models = m.fields[0];
        bool decorated = false;
        for (size_t i = 1; i < m.fields.size(); ++i)
            decorated |= InfEqualNoCase(m.fields[i], decoration);
        if (decorated)
            models += u"." + decoration;
        else if (amd64)
            continue;  // x64 Windows installs only from decorated models sections
        const tarnel::host::InfSection* list = inf.Find(models);
        if (!list)
            continue;
        for (const InfLine& line : list->lines) {
            for (size_t i = 1; i < line.fields.size(); ++i) {
                if (!InfEqualNoCase(line.fields[i], hardwareId))
                    continue;
                model.description = line.key;
                const std::u16string base = line.fields[0];
                model.section = base;
                for (const std::u16string& suffix : {u"." + decoration, std::u16string(u".NT")}) {
                    if (inf.Find(base + suffix)) {
                        model.section = base + suffix;
                        break;
                    }
                }
                return inf.Find(model.section) != nullptr;
            }
        }
    }
    return false;
}

std::u16string dirOf(const std::u16string& id) {
    if (id == u"10")
        return u"C:\\Windows";
    if (id == u"11")
        return u"C:\\Windows\\System32";
    if (id == u"12")
        return u"C:\\Windows\\System32\\drivers";
    if (id == u"17")
        return u"C:\\Windows\\INF";
    return {};
}

struct FileCopy {
    std::string from, to;
};

// The files of every CopyFiles section of the install section; false when the package lacks
// one of them or a destination is unknown.
bool planCopies(const InfFile& inf, const std::u16string& section, const std::string& packageDir,
                std::vector<FileCopy>& copies) {
    const tarnel::host::InfSection* install = inf.Find(section);
    for (const InfLine& line : install->lines) {
        if (!InfEqualNoCase(line.key, u"CopyFiles"))
            continue;
        for (const std::u16string& name : line.fields) {
            const tarnel::host::InfSection* files = inf.Find(name);
            if (!files)
                return false;
            std::u16string dir = inf.Value(u"DestinationDirs", name);
            if (dir.empty())
                dir = inf.Value(u"DestinationDirs", u"DefaultDestDir");
            const std::u16string target = dirOf(dir);
            if (target.empty())
                return false;
            for (const InfLine& f : files->lines) {
                const std::u16string dest = f.fields.empty() ? f.key : f.fields[0];
                const std::u16string source =
                    f.fields.size() > 1 && !f.fields[1].empty() ? f.fields[1] : dest;
                const std::string from =
                    packageDir + "/" + std::string(source.begin(), source.end());
                if (!fs::is_regular_file(from))
                    return false;
                const std::string to = linuxOf(target + u"\\" + dest);
                if (to.empty())
                    return false;
                copies.push_back({from, to});
            }
        }
    }
    return true;
}

// Services\<name> from an AddService line of the install section's .Services section.
bool addServices(const InfFile& inf, const std::u16string& section, std::u16string& service) {
    const tarnel::host::InfSection* services = inf.Find(section + u".Services");
    if (!services)
        return true;
    for (const InfLine& line : services->lines) {
        if (!InfEqualNoCase(line.key, u"AddService") || line.fields.size() < 3)
            continue;
        const std::u16string name = line.fields[0];
        const std::u16string install = line.fields[2];
        const std::u16string key = u"SYSTEM\\CurrentControlSet\\Services\\" + name;
        auto number = [&](const char16_t* value) {
            const std::u16string text = inf.Value(install, value);
            return static_cast<DWORD>(
                std::stoul(std::string(text.begin(), text.end()), nullptr, 0));
        };
        std::u16string binary = inf.Value(install, u"ServiceBinary");
        if (binary.rfind(u"C:\\Windows\\", 0) == 0)
            binary = u"\\SystemRoot\\" + binary.substr(11);
        try {
            dr::SetDword(key, u"Type", number(u"ServiceType"));
            dr::SetDword(key, u"Start", number(u"StartType"));
            dr::SetDword(key, u"ErrorControl", number(u"ErrorControl"));
        } catch (...) {
            return false;
        }
        DWORD type = REG_EXPAND_SZ;
        std::vector<BYTE> bytes((binary.size() + 1) * 2);
        std::memcpy(bytes.data(), binary.c_str(), bytes.size());
        dr::SetRaw(key, u"ImagePath", type, bytes);
        dr::SetText(key, u"DisplayName", inf.Value(install, u"DisplayName"));
        // The function driver: flag 2 (SPSVCINST_ASSOCSERVICE).
        const std::u16string flags = line.fields[1];
        if (std::stoul(std::string(flags.begin(), flags.end()), nullptr, 0) & 2)
            service = name;
    }
    return true;
}

// The INF's copy in the INF folder: the oemN.inf that already holds these bytes, else the
// lowest free N.
std::u16string publishInf(const std::string& bytes) {
    const std::string folder = linuxOf(u"C:\\Windows\\INF");
    fs::create_directories(folder);
    for (int n = 0; n < 10000; ++n) {
        const std::string name = "oem" + std::to_string(n) + ".inf";
        const std::string linux =
            linuxOf(u"C:\\Windows\\INF\\" + std::u16string(name.begin(), name.end()));
        if (fs::exists(linux)) {
            if (readAll(linux) == bytes)
                return std::u16string(name.begin(), name.end());
            continue;
        }
        std::ofstream(linux, std::ios::binary) << bytes;
        std::ofstream(folder + "/oem" + std::to_string(n) + ".PNF", std::ios::binary)
            << "PNF of " << name;
        return std::u16string(name.begin(), name.end());
    }
    return {};
}

}  // namespace

BOOL UpdateDriverForPlugAndPlayDevicesW(HWND hwndParent, PCWSTR HardwareId, PCWSTR FullInfPath,
                                        DWORD InstallFlags, PBOOL bRebootRequired) {
    UNREFERENCED_PARAMETER(hwndParent);
    if (!HardwareId || !*HardwareId || !FullInfPath || (InstallFlags & ~DWORD(INSTALLFLAG_FORCE)))
        return fail(ERROR_INVALID_PARAMETER);
    BOOL wow64 = FALSE;
    if (IsWow64Process(GetCurrentProcess(), &wow64) && wow64)
        return fail(ERROR_IN_WOW64);

    const std::string infLinux = linuxOf(FullInfPath);
    InfFile inf;
    DWORD error = 0;
    UINT line = 0;
    if (infLinux.empty() || !tarnel::host::ParseInfFile(infLinux, inf, error, line))
        return fail(infLinux.empty() ? ERROR_FILE_NOT_FOUND : error);
    const tarnel::host::MachineConfig config = tarnel::host::Machine::current().config();
    Model model;
    if (!findModel(inf, HardwareId, config.os64, model))
        return fail(ERROR_NO_DRIVER_SELECTED);

    std::vector<std::u16string> devices;
    for (const std::u16string& id : dr::RootInstances())
        for (const std::u16string& hw : dr::GetMultiText(dr::kEnum + id, u"HardwareID"))
            if (InfEqualNoCase(hw, HardwareId)) {
                devices.push_back(id);
                break;
            }
    if (devices.empty())
        return fail(ERROR_NO_SUCH_DEVINST);

    std::vector<FileCopy> copies;
    if (!planCopies(inf, model.section, fs::path(infLinux).parent_path().string(), copies))
        return fail(ERROR_FILE_NOT_FOUND);
    const std::u16string oem = publishInf(readAll(infLinux));
    if (oem.empty())
        return fail(ERROR_DISK_FULL);
    bool replacedInUse = false;
    for (const FileCopy& c : copies) {
        const std::string bytes = readAll(c.from);
        if (fs::exists(c.to) && readAll(c.to) == bytes)
            continue;  // the same file is in place (and may be loaded)
        // A new file replaces the old one by rename: a loaded driver keeps its image, and,
        // as on Windows, the new one takes effect at the next restart.
        replacedInUse |= fs::exists(c.to);
        std::error_code ec;
        fs::create_directories(fs::path(c.to).parent_path(), ec);
        const std::string temporary = c.to + ".new";
        std::ofstream(temporary, std::ios::binary) << bytes;
        fs::rename(temporary, c.to, ec);
        if (ec)
            return fail(ERROR_ACCESS_DENIED);
    }
    std::u16string service;
    if (!addServices(inf, model.section, service) || service.empty())
        return fail(ERROR_INVALID_DATA);

    const std::u16string classGuid = inf.Value(u"Version", u"ClassGuid");
    const bool ports = InfEqualNoCase(classGuid, dr::kPortsGuid);
    const bool restart =
        config.installNeedsRestart || (replacedInUse && tarnel::host::PnpServiceRunning(service));
    for (const std::u16string& id : devices) {
        const std::u16string key = dr::kEnum + id;
        std::u16string driver = dr::GetText(key, u"Driver");
        if (driver.empty()) {
            for (int n = 0; n < 10000 && driver.empty(); ++n) {
                char num[16];
                std::snprintf(num, sizeof num, "%04d", n);
                const std::u16string candidate = classGuid + u"\\" + std::u16string(num, num + 4);
                if (!dr::KeyExists(dr::kClass + candidate))
                    driver = candidate;
            }
        }
        const std::u16string driverKey = dr::kClass + driver;
        dr::SetText(driverKey, u"InfPath", oem);
        dr::SetText(driverKey, u"InfSection", model.section);
        dr::SetText(driverKey, u"DriverDesc", model.description);
        dr::SetText(driverKey, u"MatchingDeviceId", HardwareId);
        dr::SetText(driverKey, u"ProviderName", inf.Value(u"Version", u"Provider"));
        dr::SetText(key, u"Driver", driver);
        dr::SetText(key, u"DeviceDesc", model.description);
        dr::SetText(key, u"Mfg", inf.Value(u"Version", u"Provider"));
        dr::SetText(key, u"ClassGUID", classGuid);
        dr::SetText(key, u"Class", inf.Value(u"Version", u"Class"));
        if (ports) {
            // The Ports class installer: a COM name from the database for a port without one.
            std::u16string portName = dr::GetText(key + u"\\Device Parameters", u"PortName");
            if (dr::ComNumberOf(portName) == 0) {
                const int number = dr::ClaimComNumber();
                if (number == 0)
                    return fail(ERROR_NO_MORE_ITEMS);
                portName = u"COM" + [&] {
                    const std::string n = std::to_string(number);
                    return std::u16string(n.begin(), n.end());
                }();
                dr::SetText(key + u"\\Device Parameters", u"PortName", portName);
            }
            dr::SetText(key, u"FriendlyName", model.description + u" (" + portName + u")");
        }
        dr::SetText(key, u"Service", service);
        if (!restart) {
            if (DWORD e = tarnel::host::PnpStartDevice(id); e != ERROR_SUCCESS)
                return fail(e);
        }
    }
    if (bRebootRequired)
        *bRebootRequired = restart ? TRUE : FALSE;
    return TRUE;
}
