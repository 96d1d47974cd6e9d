// Subcommands of tarnel-host, one file each.
#pragma once

#include <string>

namespace tarnel::hosttool {

// tarnel-host reg ...: list, read, write and delete registry keys and values.
int RunReg(int argc, char** argv);
// tarnel-host install-driver | add-port | devices | dosnames | serialmap.
int RunDevices(const std::string& command, int argc, char** argv);

}  // namespace tarnel::hosttool
