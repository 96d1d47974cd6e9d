// The installer's command line carried out: uninstall, install with a new port, its COM number,
// the printer it serves and the restart, each step traced to "CMDLine"; and the exit code that
// tells the installer how it went.
#pragma once

#include <functional>

#include "tool/app/command_line.h"
#include "tool/support/xstring.h"
#include "tool/support/xstring_list.h"

// The attached USB printers as SetupAPI reports them (the "pid" and "sn" conditions).
class CSystemUsbPrinters : public CUsbPrinterSource {
  public:
    XStringWList GetProductIds() override;
    XStringWList GetDevicePaths() override;
};

// What the run calls out to. A run without a window leaves showResult and askRestart empty:
// nothing is shown, the result text is traced and a restart that should be asked for is not
// requested.
struct CommandRunServices {
    std::function<void()> uninstallAll;
    std::function<XStringWList()> virtualPorts;
    std::function<int()> install;  // VP_INSTALL_OK, VP_INSTALL_REBOOT or VP_INSTALL_FAILED
    std::function<bool(const XStringW& current, const XStringW& wanted)> relinkPort;
    std::function<void(const XStringW& portName, const XStringW& ip, int port)> assign;
    std::function<void(const XStringW& text)> showResult;
    std::function<bool(const XStringW& text)> askRestart;  // true: restart now
    std::function<void()> requestReboot;
};

// The tool's own calls; with `windowed` false no message box or dialog is ever shown.
CommandRunServices DefaultCommandRunServices(bool windowed);

struct CommandOutcome {
    enum Result { kNotRun = 0, kStepFailed = 2, kDone = 3 };
    int result = kNotRun;
    bool restartNeeded = false;    // the install asked for one, or the run requested one
    bool rebootRequested = false;  // the run asked the application to restart Windows
};

// The steps of the command line, in order; the first failed step ends the run.
CommandOutcome RunInstallerCommand(const CVPCommandLine& cl, CommandRunServices& services);

// Exit codes of a run with a command line: 0 done, 3010 done and a restart is needed,
// 1639 an invalid command line, 1 a failed step or an unmet USB condition.
constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitInvalidCommandLine = 1639;
constexpr int kExitRestartRequired = 3010;
int CommandLineExitCode(int parseResult, const CommandOutcome& outcome);
