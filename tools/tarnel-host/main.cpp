// tarnel-host: subcommands that look inside and drive a host machine ($TARNEL_MACHINE).
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/host/machine/machine.h"
#include "tools/tarnel-host/commands.h"

namespace {

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: tarnel-host COMMAND [ARGS]\n"
                 "  machine            show the machine's folder and settings\n"
                 "  reg ...            look at and change the registry (tarnel-host reg help)\n"
                 "  install-driver [IMAGE]  install the host Tarnel.sys as the TARNEL service\n"
                 "  add-port COMn      add a virtual port instance named COMn and start it\n"
                 "  devices            boot the machine and list its device instances\n"
                 "  dosnames           boot the machine and list DOS device names and interfaces\n"
                 "  serialmap          boot the machine and show the serial device map\n"
                 "  assign COMn ADDRESS PORT  assign a virtual port to a printer in the store\n"
                 "  unassign COMn|--all       delete one assignment, or every one\n"
                 "  install-package DIR  install the driver package in DIR as the tool does\n"
                 "                     (one more port each time)\n"
                 "  uninstall-package  remove every port, the package, the service and the store\n"
                 "  send COMn [--text T] [--hex HEX] [--file PATH] [--read-ms N]\n"
                 "                     write to a printer through the port and show its answer\n"
                 "  pty COMn [--link PATH]  relay the port to a pseudo-terminal, linked at PATH\n"
                 "                     until interrupted, for Linux serial programs\n"
                 "  printers ...       print queues and spooler ports (tarnel-host printers help)\n"
                 "  tool [--dir DIR] \"ARGS\"  run the tool's command line headless\n"
                 "  ui show DIALOG [PNG] | ui pictures DIR  the tool's dialogs, headless\n"
                 "The machine is $TARNEL_MACHINE (default ~/.tarnel/machine); it is created "
                 "when missing.\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || !std::strcmp(argv[1], "help") || !std::strcmp(argv[1], "--help")) {
        usage(argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    std::string command = argv[1];
    if (command == "machine") {
        auto& machine = tarnel::host::Machine::current();
        std::printf("machine: %s\n%s", machine.root().c_str(), machine.config().format().c_str());
        return 0;
    }
    if (command == "reg")
        return tarnel::hosttool::RunReg(argc - 2, argv + 2);
    if (command == "install-driver" || command == "add-port" || command == "devices" ||
        command == "dosnames" || command == "serialmap")
        return tarnel::hosttool::RunDevices(command, argc - 2, argv + 2);
    if (command == "assign")
        return tarnel::hosttool::RunAssign(argc - 2, argv + 2);
    if (command == "install-package")
        return tarnel::hosttool::RunInstallPackage(argc - 2, argv + 2);
    if (command == "uninstall-package")
        return tarnel::hosttool::RunUninstallPackage(argc - 2, argv + 2);
    if (command == "unassign")
        return tarnel::hosttool::RunUnassign(argc - 2, argv + 2);
    if (command == "send")
        return tarnel::hosttool::RunSend(argc - 2, argv + 2);
    if (command == "pty")
        return tarnel::hosttool::RunPty(argc - 2, argv + 2);
    if (command == "printers")
        return tarnel::hosttool::RunPrinters(argc - 2, argv + 2);
    if (command == "tool")
        return tarnel::hosttool::RunTool(argc - 2, argv + 2);
    if (command == "ui")
        return tarnel::hosttool::RunUi(argc - 2, argv + 2);
    std::fprintf(stderr, "tarnel-host: unknown command '%s'\n", command.c_str());
    usage(stderr);
    return 2;
}
