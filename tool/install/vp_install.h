// CVPInstall: installs the driver package with a new port instance and removes everything the
// package and the tool put on the computer.
#pragma once

#include "tool/support/xstring.h"

class CVPInstall {
  public:
    // Empties the port assignment store; the product key itself stays.
    static void DeleteRegistryAllAssignedInfo(const XStringW& productKey);
};
