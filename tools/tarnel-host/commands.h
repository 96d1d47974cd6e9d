// Subcommands of tarnel-host, one file each.
#pragma once

#include <string>

namespace tarnel::hosttool {

// tarnel-host reg ...: list, read, write and delete registry keys and values.
int RunReg(int argc, char** argv);
// tarnel-host install-driver | add-port | devices | dosnames | serialmap.
int RunDevices(const std::string& command, int argc, char** argv);
// tarnel-host assign COMn ADDRESS PORT: the store entry, written by the tool's own code.
int RunAssign(int argc, char** argv);
// tarnel-host unassign COMn|--all: delete one assignment or all of them.
int RunUnassign(int argc, char** argv);
// tarnel-host install-package DIR | uninstall-package: the driver package, by the tool's code.
int RunInstallPackage(int argc, char** argv);
int RunUninstallPackage(int argc, char** argv);
// tarnel-host send COMn ...: open a virtual port, write, read the printer's answer.
int RunSend(int argc, char** argv);
// tarnel-host pty COMn [--link PATH]: relay a virtual port to a Linux pseudo-terminal.
int RunPty(int argc, char** argv);
// tarnel-host printers list | ports | add | add-port: the print queues and the spooler's ports.
int RunPrinters(int argc, char** argv);
// tarnel-host ui show DIALOG [PNG] | pictures FOLDER: the tool's dialogs on the host backend.
int RunUi(int argc, char** argv);

// tarnel-host tool [--dir DIR] "ARGS": the tool's command line, headless, with its exit code.
int RunTool(int argc, char** argv);

}  // namespace tarnel::hosttool
