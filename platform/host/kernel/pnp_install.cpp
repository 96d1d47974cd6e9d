// Registry side of devices for the host machine's own tools: driver services and root instances.
// (The configuration tool creates instances through SetupAPI; this is the host's shortcut.)
#include <filesystem>

#include "platform/host/kernel/internal.h"
#include "platform/host/kernel/pnp.h"
#include "platform/host/machine/machine.h"
#include "platform/host/machine/registry_store.h"

namespace fs = std::filesystem;
using namespace tarnel::host;

namespace {

RegKey Create(const std::u16string& path) {
    RegistryStore& store = Machine::current().registry();
    RegKey key;
    store.createKey(store.root(HiveRoot::LocalMachine), tarnel::host::kernel::SplitKeyPath(path),
                    true, key, nullptr);
    return key;
}

void SetText(const RegKey& key, const char16_t* name, const std::u16string& text,
             DWORD type = REG_SZ) {
    Machine::current().registry().setValue(key, name, type, text.c_str(),
                                           (text.size() + 1) * sizeof(char16_t));
}

void SetDword(const RegKey& key, const char16_t* name, DWORD value) {
    Machine::current().registry().setValue(key, name, REG_DWORD, &value, sizeof value);
}

}  // namespace

namespace tarnel::host::kernel {

bool InstallDriverService(const std::u16string& service, const std::string& image,
                          const std::string& fileName, std::string& error) {
    fs::path target = Machine::current().driveC() / "Windows" / "System32" / "drivers" / fileName;
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    fs::copy_file(image, target, fs::copy_options::overwrite_existing, ec);
    if (ec) {
        error = "cannot copy " + image + " to " + target.string() + ": " + ec.message();
        return false;
    }
    RegKey key = Create(u"SYSTEM\\CurrentControlSet\\Services\\" + service);
    if (!key) {
        error = "cannot create the service key: " + Machine::current().registry().lastError();
        return false;
    }
    SetDword(key, u"Type", 1);   // kernel driver
    SetDword(key, u"Start", 3);  // demand start
    SetDword(key, u"ErrorControl", 1);
    SetText(key, u"ImagePath",
            u"\\SystemRoot\\System32\\drivers\\" + std::u16string(fileName.begin(), fileName.end()),
            REG_EXPAND_SZ);
    return true;
}

std::u16string CreateRootInstance(const std::u16string& className, const std::u16string& hardwareId,
                                  const std::u16string& service, const std::u16string& portName) {
    RegistryStore& store = Machine::current().registry();
    const std::u16string root = u"SYSTEM\\CurrentControlSet\\Enum\\ROOT\\" + className;
    RegKey classKey = Create(root);
    if (!classKey)
        return {};
    // Instance names are the next free four-digit number, as Windows generates them.
    for (int n = 0; n < 10000; ++n) {
        char name[8];
        std::snprintf(name, sizeof name, "%04d", n);
        std::u16string id(name, name + 4);
        RegKey key;
        bool created = false;
        if (store.createKey(classKey, {id}, false, key, &created) != RegStatus::Ok)
            return {};
        if (!created)
            continue;
        std::u16string multi = hardwareId + u'\0';
        SetText(key, u"HardwareID", multi, REG_MULTI_SZ);
        SetText(key, u"Class", u"Ports");
        SetText(key, u"ClassGUID", u"{4D36E978-E325-11CE-BFC1-08002BE10318}");
        if (!service.empty())
            SetText(key, u"Service", service);
        RegKey parameters;
        store.createKey(key, {u"Device Parameters"}, false, parameters, nullptr);
        if (!portName.empty() && parameters) {
            SetText(parameters, u"PortName", portName);
            SetText(key, u"FriendlyName", u"Tarnel Virtual Serial Port (" + portName + u")");
        }
        return u"ROOT\\" + className + u"\\" + id;
    }
    return {};
}

}  // namespace tarnel::host::kernel
