// The installer's command line carried out over a recorded system: the steps each command line
// takes in order, the "CMDLine" error line of a failed step, and the process exit code.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/machine/machine.h"
#include "tests/app/cmdline_fixture.h"
#include "tests/support/text_util.h"
#include "tool/app/command_line.h"
#include "tool/app/command_run.h"
#include "tool/install/vp_install.h"
#include "tool/support/program_path.h"
#include "tool/support/trace.h"

namespace fs = std::filesystem;

namespace {

std::string Narrow(const XStringW& text) {
    return std::string(text.GetString(), text.GetString() + text.GetLength());
}

class NoUsbPrinters : public CUsbPrinterSource {
  public:
    XStringWList GetProductIds() override { return {}; }
    XStringWList GetDevicePaths() override { return {}; }
};

// The computer as the run sees it, with every call it makes written down.
struct RecordedSystem {
    std::vector<std::string> ports;
    int installResult = VP_INSTALL_OK;
    std::string newPort = "COM1";  // what an install adds; empty: nothing visible yet
    bool relinkOk = true;
    bool removalFails = false;
    bool windowed = true;
    bool answerYes = true;
    std::vector<std::string> steps;

    CommandRunServices Services() {
        CommandRunServices s;
        s.uninstallAll = [this] {
            steps.push_back("uninstall");
            if (!removalFails)
                ports.clear();
        };
        s.virtualPorts = [this] {
            XStringWList list;
            for (const std::string& p : ports)
                list.Add(XStringW(std::u16string(p.begin(), p.end()).c_str()));
            return list;
        };
        s.install = [this] {
            steps.push_back("install");
            if (installResult != VP_INSTALL_FAILED && !newPort.empty())
                ports.push_back(newPort);
            return installResult;
        };
        s.relinkPort = [this](const XStringW& from, const XStringW& to) {
            steps.push_back("relink " + Narrow(from) + "->" + Narrow(to));
            if (relinkOk)
                std::replace(ports.begin(), ports.end(), Narrow(from), Narrow(to));
            return relinkOk;
        };
        s.assign = [this](const XStringW& port, const XStringW& ip, int tcp) {
            steps.push_back("assign " + Narrow(port) + " " + Narrow(ip) + ":" +
                            std::to_string(tcp));
        };
        s.requestReboot = [this] { steps.push_back("reboot"); };
        if (windowed) {
            s.showResult = [this](const XStringW& text) {
                steps.push_back("show " + Narrow(text));
            };
            s.askRestart = [this](const XStringW& text) {
                EXPECT_NE(Narrow(text).find("[Yes] I want to restart my computer now."),
                          std::string::npos);
                steps.push_back("ask");
                return answerYes;
            };
        }
        return s;
    }
};

class CommandRunTest : public CommandLineTraceTest {};

struct RunCase {
    const char* label;
    const WCHAR* line;
    RecordedSystem system;
    std::vector<std::string> steps;
    const char* errorLine;  // the run's "<ERROR>" message, "" when none
    int exitCode;
};

RecordedSystem With(std::vector<std::string> ports, std::string newPort = "COM1") {
    RecordedSystem s;
    s.ports = std::move(ports);
    s.newPort = std::move(newPort);
    return s;
}

RecordedSystem Installing(int result, bool windowed = true, std::string newPort = "COM1") {
    RecordedSystem s;
    s.installResult = result;
    s.windowed = windowed;
    s.newPort = std::move(newPort);
    return s;
}

RecordedSystem Asking(bool windowed, bool yes) {
    RecordedSystem s = With({"COM3"});
    s.windowed = windowed;
    s.answerYes = yes;
    return s;
}

TEST_F(CommandRunTest, StepsErrorLinesAndExitCodes) {
    RecordedSystem relinkFails = With({"COM3", "COM4"}, "COM7");
    relinkFails.relinkOk = false;
    RecordedSystem removalFails = With({"COM3"});
    removalFails.removalFails = true;
    const std::string fail = "Error : Fail to add port!";
    const RunCase cases[] = {
        // Nothing runs for an empty or rejected command line.
        {"empty command line", TEXT(""), With({"COM3"}), {}, "", 0},
        {"capital I", TEXT("/I5"), With({}), {}, "", 1639},
        {"out of range port", TEXT("/u /i256"), With({"COM3"}), {}, "", 1639},
        {"address rejected before anything runs",
         TEXT("/u /i /n 10.0.0.5:abc"),
         With({"COM3"}),
         {},
         "",
         1639},
        {"USB printer missing, even with /i first", TEXT("/i /pid12AB"), With({}), {}, "", 1},
        // Install alone.
        {"first port", TEXT("/i"), With({}), {"install"}, "", 0},
        {"a port that is already called COM5",
         TEXT("/i5"),
         With({"COM3", "COM4"}, "COM5"),
         {"install"},
         "",
         0},
        {"new port renamed",
         TEXT("/i5"),
         With({"COM3", "COM4"}, "COM7"),
         {"install", "relink COM7->COM5"},
         "",
         0},
        {"rename refused",
         TEXT("/i5"),
         relinkFails,
         {"install", "relink COM7->COM5"},
         "Failed to change port(COM7 -> COM5",
         1},
        {"install fails silently",
         TEXT("/i"),
         Installing(VP_INSTALL_FAILED),
         {"install"},
         fail.c_str(),
         1},
        {"install fails, shown in mode 2",
         TEXT("/i/m2"),
         Installing(VP_INSTALL_FAILED),
         {"install", "show " + fail},
         fail.c_str(),
         1},
        {"install fails, not shown in mode 1",
         TEXT("/i/m1"),
         Installing(VP_INSTALL_FAILED),
         {"install"},
         fail.c_str(),
         1},
        {"success shown in mode 1",
         TEXT("/i /m1"),
         Installing(VP_INSTALL_OK),
         {"install", "show Add port Success!"},
         "",
         0},
        {"restart needed, not shown in mode 1",
         TEXT("/i /m1"),
         Installing(VP_INSTALL_REBOOT),
         {"install"},
         "",
         3010},
        {"restart needed, shown in mode 2",
         TEXT("/i /m2"),
         Installing(VP_INSTALL_REBOOT),
         {"install", "show Reboot Required! -> Reset and Again Add Port"},
         "",
         3010},
        {"no window: nothing shown",
         TEXT("/i /m2"),
         Installing(VP_INSTALL_FAILED, false),
         {"install"},
         fail.c_str(),
         1},
        {"install added no port that can be seen",
         TEXT("/i9 /n 127.0.0.1"),
         With({"COM3"}, ""),
         {"install"},
         "No new virtual port.",
         1},
        {"install left no port at all",
         TEXT("/i"),
         Installing(VP_INSTALL_REBOOT, true, ""),
         {"install"},
         "No available virtual port.",
         1},
        // Address without install.
        {"address, one port",
         TEXT("/n 127.0.0.1"),
         With({"COM3"}),
         {"assign COM3 127.0.0.1:9100"},
         "",
         0},
        {"address, two ports",
         TEXT("/n 10.0.0.5:9101"),
         With({"COM3", "COM4"}),
         {},
         "Out of range installed port list : 2",
         1},
        {"address, no port",
         TEXT("/n 10.0.0.5"),
         With({}),
         {},
         "Out of range installed port list : 0",
         1},
        // Uninstall.
        {"uninstall alone",
         TEXT("/u"),
         With({"COM3"}),
         {"uninstall"},
         "Out of range installed port list : 0",
         1},
        {"uninstall and restart: no restart",
         TEXT("/u /rs"),
         With({"COM3"}),
         {"uninstall"},
         "Out of range installed port list : 0",
         1},
        {"a device that cannot be removed",
         TEXT("/u /i"),
         removalFails,
         {"uninstall"},
         "Failed to remove the virtual ports : 1",
         1},
        // Restart.
        {"restart without asking", TEXT("/rs"), With({"COM3"}), {"reboot"}, "", 3010},
        {"rs0 does not ask", TEXT("/rs0"), With({"COM3"}), {"reboot"}, "", 3010},
        {"rs2 does not ask", TEXT("/rs2"), With({"COM3"}), {"reboot"}, "", 3010},
        {"asked, Yes", TEXT("/rs1"), Asking(true, true), {"ask", "reboot"}, "", 3010},
        {"asked, No", TEXT("/rs1"), Asking(true, false), {"ask"}, "", 0},
        {"nobody to ask: left to the installer", TEXT("/rs1"), Asking(false, true), {}, "", 3010},
        // What installers write.
        {"installer: fresh machine",
         TEXT("/u /i9 /n 127.0.0.1:9100 /rs"),
         With({}),
         {"uninstall", "install", "relink COM1->COM9", "assign COM9 127.0.0.1:9100", "reboot"},
         "",
         3010},
        {"installer: over an install",
         TEXT("/u /i9 /m2 /n 192.168.1.200"),
         With({"COM9"}),
         {"uninstall", "install", "show Add port Success!", "relink COM1->COM9",
          "assign COM9 192.168.1.200:9100"},
         "",
         0},
        {"installer: add one more port",
         TEXT("/i12 /n 10.0.0.7:9101"),
         With({"COM3"}, "COM4"),
         {"install", "relink COM4->COM12", "assign COM12 10.0.0.7:9101"},
         "",
         0},
    };
    NoUsbPrinters usb;
    for (const RunCase& c : cases) {
        SCOPED_TRACE(c.label);
        RecordedSystem system = c.system;
        CommandOutcome outcome;
        int parsed = 0;
        {
            CVPCommandLine cl(usb);
            parsed = cl.ParseCommand(XStringW(c.line));
            CommandRunServices services = system.Services();
            outcome = RunInstallerCommand(cl, services);
            EXPECT_EQ(outcome.result,
                      parsed == CVPCommandLine::kAccepted
                          ? (*c.errorLine ? CommandOutcome::kStepFailed : CommandOutcome::kDone)
                          : CommandOutcome::kNotRun);
        }
        EXPECT_EQ(system.steps, c.steps);
        EXPECT_EQ(CommandLineExitCode(parsed, outcome), c.exitCode);
        const std::string trace = TakeTrace();
        if (parsed == CVPCommandLine::kAccepted) {
            const std::string where = ") CTarnel_ConfigurationDlg::RunCommand(";
            if (*c.errorLine) {
                EXPECT_NE(trace.find(where), std::string::npos) << trace;
                EXPECT_NE(trace.find(std::string("<ERROR> ") + c.errorLine + "\\u000D\\u000A"),
                          std::string::npos)
                    << trace;
                EXPECT_EQ(trace.find("<ERROR>"), trace.rfind("<ERROR>")) << "one error line";
            } else {
                EXPECT_EQ(trace.find("<ERROR>"), std::string::npos) << trace;
            }
        }
    }
}

TEST(CommandLineExitCode, EveryOutcome) {
    CommandOutcome done;
    done.result = CommandOutcome::kDone;
    CommandOutcome restart = done;
    restart.restartNeeded = true;
    CommandOutcome failed;
    failed.result = CommandOutcome::kStepFailed;
    failed.restartNeeded = true;  // an install that wanted a restart, then a failed step
    EXPECT_EQ(CommandLineExitCode(CVPCommandLine::kNoCommand, {}), 0);
    EXPECT_EQ(CommandLineExitCode(CVPCommandLine::kMalformed, {}), 1639);
    EXPECT_EQ(CommandLineExitCode(CVPCommandLine::kUsbConditionNotMet, {}), 1);
    EXPECT_EQ(CommandLineExitCode(CVPCommandLine::kAccepted, done), 0);
    EXPECT_EQ(CommandLineExitCode(CVPCommandLine::kAccepted, restart), 3010);
    EXPECT_EQ(CommandLineExitCode(CVPCommandLine::kAccepted, failed), 1);
    EXPECT_EQ(CommandLineExitCode(CVPCommandLine::kAccepted, CommandOutcome{}), 1);
}

}  // namespace
