// The command-line run over injectable steps; every failure is one error line to "CMDLine".
#include "tool/app/command_run.h"

#include "platform/ui/ui.h"
#include "tool/app/app.h"
#include "tool/app/message_dlg.h"
#include "tool/install/port_assignment.h"
#include "tool/install/port_change.h"
#include "tool/install/usb_lookup.h"
#include "tool/install/virtual_ports.h"
#include "tool/install/vp_install.h"
#include "tool/store/product.h"
#include "tool/support/trace.h"

namespace {

const WCHAR kLocation[] = TEXT("CTarnel_ConfigurationDlg::RunCommand");
const WCHAR kRestartText[] =
    TEXT("Restart the computer can take effect. \nPlease restart the computer.") TEXT(
        "\n\n[Yes] I want to restart my computer now.\n[No] I will restart my computer later.");

template <typename... Args>
CommandOutcome Fail(CommandOutcome outcome, int line, const WCHAR* format, const Args&... args) {
    TraceErrorTo(kLocation, line, TRACE_ID_CMDLINE, format, args...);
    outcome.result = CommandOutcome::kStepFailed;
    return outcome;
}

// The new port: the last one listed when there was none before, else the first one listed now
// that was not listed before. Empty when the install added none that can be seen yet.
XStringW ChooseNewPort(const XStringWList& before, const XStringWList& after) {
    if (before.GetCount() == 0)
        return after.GetCount() ? after.GetAt(after.GetCount() - 1) : XStringW();
    for (int i = 0; i < after.GetCount(); ++i)
        if (before.Find(after.GetAt(i)) < 0)
            return after.GetAt(i);
    return XStringW();
}

}  // namespace

XStringWList CSystemUsbPrinters::GetProductIds() {
    return GetUsbProductIdList();
}

XStringWList CSystemUsbPrinters::GetDevicePaths() {
    return GetUsbDevicePathList();
}

CommandOutcome RunInstallerCommand(const CVPCommandLine& cl, CommandRunServices& services) {
    CommandOutcome outcome;
    if (!cl.m_valid)
        return outcome;

    if (cl.m_uninstall) {
        services.uninstallAll();
        // A port that outlives the uninstall means a device could not be removed.
        const XStringWList left = services.virtualPorts();
        if (left.GetCount() != 0)
            return Fail(outcome, __LINE__, TEXT("Failed to remove the virtual ports : %d"),
                        left.GetCount());
    }

    const XStringWList before = services.virtualPorts();
    XStringW chosen;
    if (cl.m_install) {
        const int r = services.install();
        const WCHAR* text = r == VP_INSTALL_REBOOT
                                ? TEXT("Reboot Required! -> Reset and Again Add Port")
                            : r == VP_INSTALL_FAILED ? TEXT("Error : Fail to add port!")
                                                     : TEXT("Add port Success!");
        outcome.restartNeeded = r == VP_INSTALL_REBOOT;
        const bool show = cl.m_messageMode == 2 || (cl.m_messageMode == 1 && r == VP_INSTALL_OK);
        if (show) {
            if (services.showResult)
                services.showResult(text);
            else
                TraceTo(kLocation, __LINE__, TRACE_ID_CMDLINE, TEXT("%s"), text);
        }
        if (r == VP_INSTALL_FAILED)
            return Fail(outcome, __LINE__, TEXT("%s"), text);

        const XStringWList after = services.virtualPorts();
        if (after.GetCount() == 0)
            return Fail(outcome, __LINE__, TEXT("No available virtual port."));
        chosen = ChooseNewPort(before, after);
        // Nothing may be renamed or assigned under an empty name.
        if (chosen.IsEmpty())
            return Fail(outcome, __LINE__, TEXT("No new virtual port."));
        if (cl.m_portNumber > 0) {
            XStringW wanted;
            wanted.Format(TEXT("COM%d"), cl.m_portNumber);
            if (chosen != wanted) {
                if (!services.relinkPort(chosen, wanted))
                    return Fail(outcome, __LINE__, TEXT("Failed to change port(%s -> %s"), chosen,
                                wanted);
                chosen = wanted;
            }
        }
    } else {
        if (before.GetCount() != 1)
            return Fail(outcome, __LINE__, TEXT("Out of range installed port list : %d"),
                        before.GetCount());
        chosen = before.GetAt(0);
        if (chosen.IsEmpty())
            return Fail(outcome, __LINE__, TEXT("No new virtual port."));
    }

    const XStringW address = cl.GetPrinterAddress();
    if (!address.IsEmpty()) {
        XStringW ip;
        int port = 0;
        if (!SplitPrinterAddress(address, ip, port))
            return Fail(outcome, __LINE__, TEXT("Invalid address : %s"), address);
        services.assign(chosen, ip, port);
    }

    if (cl.m_restart) {
        bool restart = true;
        if (cl.m_askBeforeRestart) {
            if (services.askRestart) {
                restart = services.askRestart(kRestartText);
            } else {
                // Nobody to ask: the installer learns from the exit code that a restart is due.
                restart = false;
                TraceTo(kLocation, __LINE__, TRACE_ID_CMDLINE,
                        TEXT("No window to ask for a restart; restart left to the installer"));
                outcome.restartNeeded = true;
            }
        }
        if (restart) {
            outcome.rebootRequested = true;
            outcome.restartNeeded = true;
            if (services.requestReboot)
                services.requestReboot();
        }
    }
    outcome.result = CommandOutcome::kDone;
    return outcome;
}

int CommandLineExitCode(int parseResult, const CommandOutcome& outcome) {
    switch (parseResult) {
        case CVPCommandLine::kNoCommand:
            return kExitDone;
        case CVPCommandLine::kMalformed:
            return kExitInvalidCommandLine;
        case CVPCommandLine::kUsbConditionNotMet:
            return kExitFailed;
        default:
            break;
    }
    if (outcome.result != CommandOutcome::kDone)
        return kExitFailed;
    return outcome.restartNeeded ? kExitRestartRequired : kExitDone;
}

CommandRunServices DefaultCommandRunServices(bool windowed) {
    CommandRunServices s;
    s.uninstallAll = [windowed] {
        ui::WaitCursor wait;
        CVPInstall::SetWindowless(!windowed);
        CVPInstall::UninstallAll(TEXT("Tarnel.sys"), kServiceName, kHardwareId,
                                 TEXT("Pellor.Manufacturer"), kProductKey, TEXT("Morvik"));
    };
    s.virtualPorts = [] { return GetVirtualPortList(kHardwareId, kServiceName); };
    s.install = [] { return CVPInstall::Install(CVPInstall::ChooseInf(), kHardwareId); };
    s.relinkPort = [](const XStringW& current, const XStringW& wanted) {
        return CPortChange::RelinkPort(current, wanted);
    };
    s.assign = [](const XStringW& portName, const XStringW& ip, int port) {
        PORT_ASSIGNMENT a;
        a.portName = portName;
        a.previousAddress = a.address = ip;
        a.previousPort = a.port = port;
        a.releaseChosenPort = true;
        AssignPrinterPort(kProductKey, a);
    };
    s.requestReboot = [] {
        if (CTarnel_ConfigurationApp* app = CTarnel_ConfigurationApp::Current())
            app->SetRebootRequested(true);
    };
    if (windowed) {
        s.showResult = [](const XStringW& text) {
            CMessageDlg dlg;
            dlg.Setup(TEXT("TARNEL Driver - Installer"), text, CMessageDlg::kButtonsOk, 24, 700,
                      CMessageDlg::kFormatCentred);
            dlg.DoModal();
        };
        s.askRestart = [](const XStringW& text) {
            return ui::MessageBox(nullptr, text.GetString(), TEXT("Tarnel_Configuration"),
                                  ui::kMbYesNo | ui::kMbIconQuestion) == ui::kIdYes;
        };
    }
    return s;
}
