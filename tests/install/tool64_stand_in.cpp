// Stands in for the tool's 64-bit build on the host machine: a program whose start runs the
// internal commands of the WOW64 relay, as the tool's start-up does. Placed as
// "x64\Tarnel_Configuration.exe" beside the tool, CreateProcessW starts it as a 64-bit program.
#include "platform/host/kernel/pnp.h"
#include "platform/win32.h"
#include "tool/install/wow64_relay.h"

int main(int argc, char** argv) {
    tarnel::host::AdoptProcessStart(argc, argv);
    int exitCode = 0;
    const bool ran = RunInternalCommand(XStringW(GetCommandLineW()), exitCode);
    // The devices this process started stop with it, as the machine's other processes expect.
    tarnel::host::kernel::ShutdownMachine();
    // ERROR_INVALID_PARAMETER: the program has no other use here.
    ExitProcess(ran ? static_cast<UINT>(exitCode) : 87u);
}
