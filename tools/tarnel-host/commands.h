// Subcommands of tarnel-host, one file each.
#pragma once

namespace tarnel::hosttool {

// tarnel-host reg ...: list, read, write and delete registry keys and values.
int RunReg(int argc, char** argv);

}  // namespace tarnel::hosttool
