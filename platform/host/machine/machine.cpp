// Host machine directory: creation with defaults, the settings file, the process's current machine.
#include "platform/host/machine/machine.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/host/machine/registry_store.h"

namespace tarnel::host {
namespace fs = std::filesystem;

namespace {

std::mutex g_currentMutex;
std::unique_ptr<Machine> g_current;

bool parseBool(const std::string& v, bool& out) {
    if (v == "yes" || v == "true" || v == "1") {
        out = true;
        return true;
    }
    if (v == "no" || v == "false" || v == "0") {
        out = false;
        return true;
    }
    return false;
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return {};
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

const char* productName(ProductType p) {
    switch (p) {
        case ProductType::Workstation:
            return "workstation";
        case ProductType::Server:
            return "server";
        case ProductType::DomainController:
            return "domain-controller";
    }
    return "workstation";
}

fs::path defaultMachineDir() {
    if (const char* env = std::getenv("TARNEL_MACHINE"); env && *env)
        return fs::path(env);
    const char* home = std::getenv("HOME");
    return fs::path(home && *home ? home : "/tmp") / ".tarnel" / "machine";
}

}  // namespace

bool MachineConfig::parse(const std::string& text, const std::string& fileName, MachineConfig& out,
                          std::string& error) {
    MachineConfig c;
    std::istringstream in(text);
    std::string line;
    int lineNo = 0;
    auto fail = [&](const std::string& why) {
        error = fileName + ":" + std::to_string(lineNo) + ": " + why;
        return false;
    };
    while (std::getline(in, line)) {
        ++lineNo;
        line = trim(line);
        if (line.empty() || line[0] == '#')
            continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            return fail("expected 'name = value'");
        std::string key = trim(line.substr(0, eq));
        std::string value = trim(line.substr(eq + 1));
        if (key == "windows") {
            unsigned a = 0, b = 0, n = 0;
            char tail = 0;
            if (std::sscanf(value.c_str(), "%u.%u.%u%c", &a, &b, &n, &tail) != 3)
                return fail("windows must be MAJOR.MINOR.BUILD, got '" + value + "'");
            c.windowsMajor = a;
            c.windowsMinor = b;
            c.windowsBuild = n;
        } else if (key == "product") {
            if (value == "workstation")
                c.product = ProductType::Workstation;
            else if (value == "server")
                c.product = ProductType::Server;
            else if (value == "domain-controller")
                c.product = ProductType::DomainController;
            else
                return fail("product must be workstation, server or domain-controller");
        } else if (key == "os64" || key == "wow64" || key == "secure_boot" ||
                   key == "install_needs_restart" || key == "version_numbers" ||
                   key == "driver_stop_pending") {
            bool v = false;
            if (!parseBool(value, v))
                return fail(key + " must be yes or no, got '" + value + "'");
            if (key == "os64")
                c.os64 = v;
            else if (key == "wow64")
                c.toolWow64 = v;
            else if (key == "secure_boot")
                c.secureBoot = v;
            else if (key == "version_numbers")
                c.versionNumbers = v;
            else if (key == "driver_stop_pending")
                c.driverStopPending = v;
            else
                c.installNeedsRestart = v;
        } else if (key == "interfaces") {
            c.interfaces.clear();
            std::istringstream items(value);
            std::string item;
            while (std::getline(items, item, ',')) {
                item = trim(item);
                if (!item.empty())
                    c.interfaces.push_back(item);
            }
        } else if (key == "usb_printer") {
            std::istringstream items(value);
            UsbInterface usb;
            std::string flag, extra;
            items >> usb.interfaceClass >> usb.path >> flag >> extra;
            if ((usb.interfaceClass != "hid" && usb.interfaceClass != "usb") || usb.path.empty() ||
                (!flag.empty() && flag != "busy") || !extra.empty())
                return fail("usb_printer must be 'hid|usb PATH [busy]', got '" + value + "'");
            usb.busy = flag == "busy";
            c.usbPrinters.push_back(usb);
        } else {
            return fail("unknown setting '" + key + "'");
        }
    }
    if (!c.os64 && c.toolWow64) {
        lineNo = 0;
        return fail("wow64 = yes needs os64 = yes");
    }
    out = c;
    return true;
}

std::string MachineConfig::format() const {
    std::ostringstream o;
    o << "# Tarnel host machine settings\n";
    o << "windows = " << windowsMajor << '.' << windowsMinor << '.' << windowsBuild << '\n';
    o << "product = " << productName(product) << '\n';
    o << "os64 = " << (os64 ? "yes" : "no") << '\n';
    o << "wow64 = " << (toolWow64 ? "yes" : "no") << '\n';
    o << "secure_boot = " << (secureBoot ? "yes" : "no") << '\n';
    o << "interfaces =";
    for (size_t i = 0; i < interfaces.size(); ++i)
        o << (i ? ", " : " ") << interfaces[i];
    o << '\n';
    o << "install_needs_restart = " << (installNeedsRestart ? "yes" : "no") << '\n';
    o << "version_numbers = " << (versionNumbers ? "yes" : "no") << '\n';
    o << "driver_stop_pending = " << (driverStopPending ? "yes" : "no") << '\n';
    for (const UsbInterface& usb : usbPrinters)
        o << "usb_printer = " << usb.interfaceClass << ' ' << usb.path << (usb.busy ? " busy" : "")
          << '\n';
    return o.str();
}

Machine::Machine(fs::path root) : root_(fs::absolute(std::move(root))) {
    create();
    loadConfig();
}

Machine::~Machine() = default;

void Machine::create() {
    std::error_code ec;
    for (const char* sub : {"Windows/System32/drivers", "Windows/inf", "Windows/Temp"}) {
        fs::create_directories(driveC() / sub, ec);
        if (ec) {
            std::fprintf(stderr, "tarnel: cannot create machine folder %s: %s\n",
                         (driveC() / sub).c_str(), ec.message().c_str());
            std::exit(70);
        }
    }
    if (!fs::exists(settingsPath())) {
        std::ofstream out(settingsPath());
        out << MachineConfig{}.format();
    }
}

void Machine::loadConfig() {
    std::ifstream in(settingsPath());
    std::stringstream text;
    text << in.rdbuf();
    std::string error;
    if (!in || !MachineConfig::parse(text.str(), settingsPath().string(), config_, error)) {
        if (error.empty())
            error = settingsPath().string() + ": cannot be read";
        std::fprintf(stderr, "tarnel: machine settings refused: %s\n", error.c_str());
        std::exit(70);
    }
}

void Machine::createSystemFolders(const MachineConfig& config) {
    // 64-bit Windows keeps the 32-bit programs' system folder beside System32.
    if (config.os64) {
        std::error_code ec;
        fs::create_directories(driveC() / "Windows/SysWOW64/drivers", ec);
    }
}

namespace {

std::u16string Ascii(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

std::u16string ProductName(const MachineConfig& c) {
    const bool server = c.product != ProductType::Workstation;
    const unsigned version = c.windowsMajor * 10 + c.windowsMinor;
    if (c.windowsMajor >= 10) {
        if (!server)
            return u"Windows 10 Pro";
        return c.windowsBuild >= 20348   ? u"Windows Server 2022 Standard"
               : c.windowsBuild >= 17763 ? u"Windows Server 2019 Standard"
                                         : u"Windows Server 2016 Standard";
    }
    switch (version) {
        case 63:
            return server ? u"Windows Server 2012 R2 Standard" : u"Windows 8.1 Pro";
        case 62:
            return server ? u"Windows Server 2012 Standard" : u"Windows 8 Pro";
        case 61:
            return server ? u"Windows Server 2008 R2 Standard" : u"Windows 7 Professional";
        case 60:
            return server ? u"Windows Server 2008 Standard" : u"Windows Vista (TM) Business";
        case 52:
            return server ? u"Microsoft Windows Server 2003" : u"Microsoft Windows XP";
        case 51:
            return u"Microsoft Windows XP";
        default:
            return u"Microsoft Windows 2000";
    }
}

std::vector<std::u16string> SplitKey(const std::u16string& path) {
    std::vector<std::u16string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string::npos)
            end = path.size();
        parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

void SetIfChanged(RegistryStore& store, const RegKey& key, const std::u16string& name,
                  std::uint32_t type, const std::vector<std::uint8_t>& data) {
    HiveValue current;
    if (store.queryValue(key, name, current) == RegStatus::Ok && current.type == type &&
        current.data == data)
        return;
    store.setValue(key, name, type, data.data(), data.size());
}

std::vector<std::uint8_t> Dword(std::uint32_t v) {
    return {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)};
}

std::vector<std::uint8_t> Text(const std::u16string& text) {
    std::vector<std::uint8_t> bytes;
    for (char16_t c : text) {
        bytes.push_back(std::uint8_t(c));
        bytes.push_back(std::uint8_t(c >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegDword = 4;

}  // namespace

void Machine::seedRegistry(const MachineConfig& c) {
    RegistryStore& store = registry();
    const RegKey machine = store.root(HiveRoot::LocalMachine);
    std::vector<std::u16string> versionKeys = {u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"};
    if (c.os64)
        versionKeys.push_back(u"SOFTWARE\\WOW6432Node\\Microsoft\\Windows NT\\CurrentVersion");
    // Windows 10 left CurrentVersion at 6.3 for the programs that read it.
    const std::u16string version =
        c.windowsMajor >= 10
            ? u"6.3"
            : Ascii(std::to_string(c.windowsMajor) + "." + std::to_string(c.windowsMinor));
    const std::u16string build = Ascii(std::to_string(c.windowsBuild));
    for (const std::u16string& path : versionKeys) {
        RegKey key;
        if (store.createKey(machine, SplitKey(path), true, key, nullptr) != RegStatus::Ok)
            continue;
        SetIfChanged(store, key, u"CurrentVersion", kRegSz, Text(version));
        SetIfChanged(store, key, u"CurrentBuild", kRegSz, Text(build));
        SetIfChanged(store, key, u"CurrentBuildNumber", kRegSz, Text(build));
        SetIfChanged(store, key, u"ProductName", kRegSz, Text(ProductName(c)));
        if (c.windowsMajor >= 10 && c.versionNumbers) {
            SetIfChanged(store, key, u"CurrentMajorVersionNumber", kRegDword,
                         Dword(c.windowsMajor));
            SetIfChanged(store, key, u"CurrentMinorVersionNumber", kRegDword,
                         Dword(c.windowsMinor));
        } else {
            HiveValue unused;
            for (const char16_t* name :
                 {u"CurrentMajorVersionNumber", u"CurrentMinorVersionNumber"})
                if (store.queryValue(key, name, unused) == RegStatus::Ok)
                    store.deleteValue(key, name);
        }
    }
    // Secure boot came with Windows 8; older systems have no such key.
    RegKey state;
    if (c.windowsMajor * 10 + c.windowsMinor >= 62 &&
        store.createKey(machine, SplitKey(u"SYSTEM\\CurrentControlSet\\Control\\SecureBoot\\State"),
                        true, state, nullptr) == RegStatus::Ok)
        SetIfChanged(store, state, u"UEFISecureBootEnabled", kRegDword,
                     Dword(c.secureBoot ? 1 : 0));
}

MachineConfig Machine::config() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return config_;
}

void Machine::setConfig(const MachineConfig& config) {
    std::unique_lock<std::mutex> lock(mutex_);
    fs::path tmp = settingsPath();
    tmp += ".new";
    {
        std::ofstream out(tmp);
        out << config.format();
    }
    fs::rename(tmp, settingsPath());
    config_ = config;
    createSystemFolders(config_);
    lock.unlock();
    seedRegistry(config);
}

RegistryStore& Machine::registry() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!registry_)
        registry_ = std::make_unique<RegistryStore>(hivePath());
    return *registry_;
}

Machine& Machine::current() {
    std::lock_guard<std::mutex> lock(g_currentMutex);
    if (!g_current)
        g_current = std::make_unique<Machine>(defaultMachineDir());
    return *g_current;
}

void Machine::use(const fs::path& dir) {
    std::lock_guard<std::mutex> lock(g_currentMutex);
    g_current.reset();
    if (!dir.empty())
        g_current = std::make_unique<Machine>(dir);
}

TestMachine::TestMachine() : TestMachine(MachineConfig{}) {}

TestMachine::TestMachine(const MachineConfig& config) {
    {
        std::lock_guard<std::mutex> lock(g_currentMutex);
        if (g_current)
            previous_ = g_current->root();
    }
    char pattern[] = "/tmp/tarnel-machine-XXXXXX";
    if (!mkdtemp(pattern)) {
        std::perror("tarnel: mkdtemp");
        std::exit(70);
    }
    root_ = pattern;
    Machine::use(root_);
    Machine::current().setConfig(config);
}

TestMachine::~TestMachine() {
    Machine::use(previous_);
    std::error_code ec;
    fs::remove_all(root_, ec);
}

}  // namespace tarnel::host
