// A host machine: a directory holding the registry hive, the `machine` settings file and drive_c/.
// Every process that uses a machine opens it in-process; a missing machine is created with
// defaults.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tarnel::host {

class RegistryStore;

enum class ProductType { Workstation, Server, DomainController };

struct MachineConfig {
    unsigned windowsMajor = 10;
    unsigned windowsMinor = 0;
    unsigned windowsBuild = 19045;
    ProductType product = ProductType::Workstation;
    bool os64 = true;       // 64-bit Windows
    bool toolWow64 = true;  // the tool runs as a 32-bit program under WOW64
    bool secureBoot = false;
    std::vector<std::string> interfaces;  // Linux interface names the machine may see
    bool installNeedsRestart = false;     // driver installs ask for a restart
    // Windows 10 and later keep CurrentMajorVersionNumber and CurrentMinorVersionNumber; off,
    // the registry holds only the older CurrentVersion text, as some updated systems do.
    bool versionNumbers = true;
    // A running driver accepts the stop control and stays SERVICE_STOP_PENDING while its
    // devices run (a driver that cannot unload), instead of refusing the control.
    bool driverStopPending = false;
    // An attached USB printer, one line each:
    //   usb_printer = CLASS PATH [busy]
    // CLASS is "hid" or "usb" (the device interface class it is listed under), PATH its device
    // interface path, which carries the vendor and product ids and the serial number
    // (\\?\usb#vid_0dd4&pid_12ab#sn4711#{a5dcbf10-6530-11d2-901f-00c04fb951ed}); "busy" means
    // another program holds it open exclusively. A device with both interfaces has two lines.
    struct UsbInterface {
        std::string interfaceClass;
        std::string path;
        bool busy = false;
    };
    std::vector<UsbInterface> usbPrinters;

    // Parses the settings file text; on a bad line returns false with "FILE:LINE: reason".
    static bool parse(const std::string& text, const std::string& fileName, MachineConfig& out,
                      std::string& error);
    std::string format() const;
};

class Machine {
  public:
    // The process's machine: $TARNEL_MACHINE, or ~/.tarnel/machine when that is unset.
    // A settings file that cannot be read ends the process with a message naming file and line.
    static Machine& current();
    // Switches the process to the machine in `dir` (created when missing). Handles of the
    // previous machine become invalid; tests use this through TestMachine.
    static void use(const std::filesystem::path& dir);

    explicit Machine(std::filesystem::path root);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path hivePath() const { return root_ / "registry.hive"; }
    std::filesystem::path settingsPath() const { return root_ / "machine"; }
    std::filesystem::path driveC() const { return root_ / "drive_c"; }

    MachineConfig config() const;
    // Writes the settings file and takes the new settings at once.
    void setConfig(const MachineConfig& config);

    RegistryStore& registry();

  private:
    void create();
    void loadConfig();
    void createSystemFolders(const MachineConfig& config);
    // The settings Windows also keeps in the registry: the version values under
    // SOFTWARE\Microsoft\Windows NT\CurrentVersion (both views on 64-bit Windows) and the
    // secure-boot state under SYSTEM\CurrentControlSet\Control\SecureBoot\State. Values already
    // right are not written again.
    void seedRegistry(const MachineConfig& config);

    std::filesystem::path root_;
    mutable std::mutex mutex_;
    MachineConfig config_;
    std::unique_ptr<RegistryStore> registry_;
};

// A fresh machine in a temporary folder for the life of the object; the folder is removed and the
// previous machine restored afterwards.
class TestMachine {
  public:
    TestMachine();
    explicit TestMachine(const MachineConfig& config);
    ~TestMachine();
    TestMachine(const TestMachine&) = delete;
    TestMachine& operator=(const TestMachine&) = delete;

    Machine& machine() { return Machine::current(); }
    const std::filesystem::path& root() const { return root_; }

  private:
    std::filesystem::path root_;
    std::filesystem::path previous_;
};

}  // namespace tarnel::host
