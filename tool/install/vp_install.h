// CVPInstall: installs the driver package with a new port instance and removes everything the
// package and the tool put on the computer.
#pragma once

#include "tool/support/xstring.h"

class CVPInstall {
  public:
    // Looks up SetupUninstallOEMInfW in the loaded setupapi module; the program does this at
    // start (the first INF removal does it otherwise).
    static void LoadSetupCalls();
    // Removes every oemN.inf of the INF folder whose Strings entry `infKey` begins with
    // `manufacturer` (without regard to case).
    static void DeleteINFFile(const XStringW& infKey, const XStringW& manufacturer);
    // Empties the port assignment store; the product key itself stays.
    static void DeleteRegistryAllAssignedInfo(const XStringW& productKey);
};
