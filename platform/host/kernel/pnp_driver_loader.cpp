// Plug and Play manager: driver images loaded from the services' ImagePath (an ELF module on
// the host, found without regard to case as Windows would), DriverEntry, and unload with the
// pool check.
#include <dlfcn.h>

#include <cstdio>
#include <filesystem>

#include "platform/host/kernel/io_internal.h"
#include "platform/host/kernel/pnp_internal.h"
#include "platform/host/kernel/verifier.h"
#include "platform/host/machine/machine.h"

namespace fs = std::filesystem;
using namespace tarnel::host;
using namespace tarnel::host::kernel;
using namespace tarnel::host::kernel::pnp;

namespace {

std::map<std::u16string, LoadedDriver*>& Drivers() {  // by upper-cased service name
    static auto* drivers = new std::map<std::u16string, LoadedDriver*>;
    return *drivers;
}

// "\SystemRoot\System32\drivers\X.sys", "System32\drivers\X.sys" or "C:\..." to a Linux file,
// matching each component without regard to case as Windows would.
fs::path ImageFile(const std::u16string& imagePath) {
    std::vector<std::u16string> parts = SplitKeyPath(imagePath);
    if (parts.empty())
        return {};
    fs::path dir = Machine::current().driveC();
    size_t first = 0;
    if (UpperCase(parts[0]) == u"SYSTEMROOT") {
        parts[0] = u"Windows";
    } else if (parts[0].size() == 2 && parts[0][1] == u':') {
        if (UpperCase(parts[0]) != u"C:")
            return {};
        first = 1;
    } else if (UpperCase(parts[0]) == u"??") {
        return ImageFile(imagePath.substr(4));
    } else {
        dir /= "Windows";
    }
    for (size_t i = first; i < parts.size(); ++i) {
        std::string want = Narrow(parts[i]);
        fs::path exact = dir / want;
        std::error_code ec;
        if (fs::exists(exact, ec)) {
            dir = exact;
            continue;
        }
        bool found = false;
        for (auto& entry : fs::directory_iterator(dir, ec)) {
            if (UpperCase(Widen(entry.path().filename().string())) == UpperCase(parts[i])) {
                dir = entry.path();
                found = true;
                break;
            }
        }
        if (!found)
            return {};
    }
    return dir;
}

}  // namespace

namespace tarnel::host::kernel::pnp {

LoadedDriver* LoadDriver(const std::u16string& service, NTSTATUS& status) {
    auto key = UpperCase(service);
    if (auto it = Drivers().find(key); it != Drivers().end())
        return it->second;
    std::u16string imagePath;
    if (!ReadText(kServicesRoot + u"\\" + service, u"ImagePath", imagePath)) {
        status = STATUS_OBJECT_NAME_NOT_FOUND;
        return nullptr;
    }
    fs::path file = ImageFile(imagePath);
    if (file.empty()) {
        status = STATUS_OBJECT_NAME_NOT_FOUND;
        return nullptr;
    }
    void* module = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        std::fprintf(stderr, "host kernel: cannot load %s: %s\n", file.c_str(), dlerror());
        status = STATUS_INVALID_IMAGE_FORMAT;
        return nullptr;
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(module, "DriverEntry"));
    if (!entry) {
        dlclose(module);
        status = STATUS_PROCEDURE_NOT_FOUND;
        return nullptr;
    }
    auto* driver = new LoadedDriver;
    driver->service = service;
    driver->module = module;
    driver->object = NewDriverObject(u"\\Driver\\" + service);
    driver->registryPathText = u"\\REGISTRY\\MACHINE\\" + kServicesRoot + u"\\" + service;
    driver->registryPath.Buffer = const_cast<PWSTR>(driver->registryPathText.c_str());
    driver->registryPath.Length =
        static_cast<USHORT>(driver->registryPathText.size() * sizeof(WCHAR));
    driver->registryPath.MaximumLength = driver->registryPath.Length;
    driver->object->DriverInit = entry;
    status = entry(driver->object, &driver->registryPath);
    if (!NT_SUCCESS(status)) {
        DeleteDriverObject(driver->object);
        dlclose(module);
        delete driver;
        return nullptr;
    }
    Drivers()[key] = driver;
    return driver;
}

void UnloadIfIdle(LoadedDriver* driver) {
    if (!driver || driver->object->DeviceObject)
        return;
    for (auto& [id, instance] : Instances())
        if (instance.driver == driver)
            return;
    if (!driver->object->DriverUnload)
        return;  // a driver without unload stays loaded
    driver->object->DriverUnload(driver->object);
    std::vector<std::string> left = PoolLeftByModule(driver->module);
    if (!left.empty()) {
        std::string tags;
        for (auto& t : left)
            tags += (tags.empty() ? "'" : ", '") + t + "'";
        BugCheck("DRIVER_LEFT_POOL", "driver %s unloaded with pool still allocated: %s",
                 Narrow(driver->service).c_str(), tags.c_str());
    }
    Drivers().erase(UpperCase(driver->service));
    DeleteDriverObject(driver->object);
    dlclose(driver->module);
    delete driver;
}

}  // namespace tarnel::host::kernel::pnp
