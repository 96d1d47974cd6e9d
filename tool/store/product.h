// Names the configuration tool shares with the driver package and the driver.
#pragma once

#include "platform/win32.h"

// The store: one subkey per assigned port below HKEY_LOCAL_MACHINE.
inline constexpr const WCHAR* kProductKey = TEXT("SOFTWARE\\Morvik\\TARNEL");
// Shown for a printer without a port; never written as a key.
inline constexpr const WCHAR* kNotAssigned = TEXT("Not Assigned");
inline constexpr const WCHAR* kHardwareId = TEXT("morvik\\tarnel");
inline constexpr const WCHAR* kServiceName = TEXT("TARNEL");
