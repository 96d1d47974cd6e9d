// CVPInstall: installs the driver package with a new port instance and removes everything the
// package and the tool put on the computer.
#pragma once

#include "tool/support/xstring.h"

// Install result codes.
constexpr int VP_INSTALL_OK = 0;
constexpr int VP_INSTALL_REBOOT = 1;
constexpr int VP_INSTALL_FAILED = 2;

class CVPInstall {
  public:
    // The INF beside the tool ("Tarnel.INF" or "secure\OstraTarnel.INF") installed on a new
    // port instance: VP_INSTALL_OK, VP_INSTALL_REBOOT or VP_INSTALL_FAILED.
    static int Install(const XStringW& infName, const XStringW& hardwareId);
    // The INF the tool installs from on this machine.
    static XStringW ChooseInf();
    // A new root-enumerated instance of the INF's class with the hardware id, and the INF's
    // driver on it; the instance is removed again when the driver install fails.
    static bool InstallRootEnumeratedDriver(const XStringW& hardwareId, const XStringW& infPath,
                                            BOOL& reboot);
    // Removes every present device carrying the hardware id (any letter case, any position in
    // its hardware-id list).
    static void DeleteDeviceInfo(const XStringW& hardwareId);
    // DeleteDeviceInfo in this process, without messages: the number of removals that failed.
    static int DeleteDeviceInfoCountingFailures(const XStringW& hardwareId);
    // A failed removal: the "Remove Error" box, unless the run has no window.
    static void ReportRemoveFailure();
    // Devices, the product's oem INFs, the driver files, the services and the store, in that
    // order; every step runs whatever the earlier ones did.
    static void UninstallAll(const XStringW& files, const XStringW& services,
                             const XStringW& hardwareId, const XStringW& infKey,
                             const XStringW& productKey, const XStringW& manufacturer);
    static void DeleteService(const XStringW& name);
    // After a stop control the service is looked at once after `stepMs`, then awaited at most
    // `steps` more times `stepMs` (30 x 1000 ms unless changed; tests shorten it).
    static void SetStopWait(int steps, int stepMs);
    // A run without a window (the command line) shows no message boxes; failures are traced.
    static void SetWindowless(bool windowless);
    // Looks up SetupUninstallOEMInfW in the loaded setupapi module; the program does this at
    // start (the first INF removal does it otherwise).
    static void LoadSetupCalls();
    // Removes every oemN.inf of the INF folder whose Strings entry `infKey` begins with
    // `manufacturer` (without regard to case).
    static void DeleteINFFile(const XStringW& infKey, const XStringW& manufacturer);
    // Empties the port assignment store; the product key itself stays.
    static void DeleteRegistryAllAssignedInfo(const XStringW& productKey);
};
