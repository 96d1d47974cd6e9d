// tarnel-host tool "ARGS": the configuration tool's command line run headless, as an installer
// runs it, with the tool's exit code. The package is the one beside the tool (--dir DIR).
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/host/kernel/pnp.h"
#include "platform/host/win32/program_bitness.h"
#include "platform/host/win32/windows.h"
#include "tool/app/command_line.h"
#include "tool/app/command_run.h"
#include "tools/tarnel-host/commands.h"

namespace fs = std::filesystem;

namespace tarnel::hosttool {

int RunTool(int argc, char** argv) {
    std::string dir;
    if (argc == 3 && !std::strcmp(argv[0], "--dir")) {
        dir = argv[1];
        argv += 2;
        argc -= 2;
    }
    if (argc != 1) {
        std::fprintf(stderr, "usage: tarnel-host tool [--dir DIR] \"/u /i9 /n 127.0.0.1:9100\"\n");
        return 2;
    }
    // Devices are installed by the tool's 64-bit build, which this command stands for.
    host::SetProgramIs64Bit(true);
    if (!dir.empty())
        host::SetProgramPath((fs::absolute(dir) / "Tarnel_Configuration.exe").string());
    const std::string& text = argv[0];
    XStringW line;
    for (char c : text)
        line.Append(std::u16string(1, char16_t(static_cast<unsigned char>(c))).c_str());

    CSystemUsbPrinters usb;
    int exitCode = 0;
    {
        CVPCommandLine cl(usb);
        const int parsed = cl.ParseCommand(line);
        CommandOutcome outcome;
        if (parsed == CVPCommandLine::kAccepted) {
            CommandRunServices services = DefaultCommandRunServices(false);
            outcome = RunInstallerCommand(cl, services);
        }
        exitCode = CommandLineExitCode(parsed, outcome);
        TraceRemove(TRACE_ID_CMDLINE);
    }
    host::kernel::ShutdownMachine();
    std::printf("exit code %d\n", exitCode);
    return exitCode;
}

}  // namespace tarnel::hosttool
