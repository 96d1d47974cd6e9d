// The port management dialog acted on as a person would: the sorted list with its first entry
// selected, "Add Port" with each install result, "Delete All Port" with the restart question
// answered No (the dialog stays) and Yes (it ends with OK), and "Exit".
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/machine/machine.h"
#include "tests/ui/ui_fixture.h"
#include "tool/app/message_dlg.h"
#include "tool/app/res/resource.h"
#include "tool/install/port_manage_dlg.h"
#include "tool/install/vp_install.h"
#include "tool/support/program_path.h"

namespace fs = std::filesystem;

namespace {

using ui::host::WindowRef;

struct Shown {
    std::string text;
    int buttonSet, fontHeight, fontWeight;
    UINT format;
};

// Ports and install results as the buttons see them; messages go to the real message dialog.
struct Machine {
    std::vector<std::string> ports;
    int installResult = VP_INSTALL_OK;
    std::string newPort;
    int uninstalls = 0;
    std::vector<Shown> shown;

    CPortManageDlg::Services Services() {
        CPortManageDlg::Services s;
        s.install = [this] {
            if (installResult != VP_INSTALL_FAILED)
                ports.push_back(newPort);
            return installResult;
        };
        s.uninstallAll = [this] {
            ++uninstalls;
            ports.clear();
        };
        s.virtualPorts = [this] {
            XStringWList list;
            for (const std::string& p : ports)
                list.Add(XStringW(std::u16string(p.begin(), p.end()).c_str()));
            return list;
        };
        s.message = [this](const XStringW& text, int buttonSet, int height, int weight,
                           UINT format) {
            shown.push_back({std::string(text.GetString(), text.GetString() + text.GetLength()),
                             buttonSet, height, weight, format});
            CMessageDlg dlg;
            dlg.Setup(TEXT("Morvik Lumaport"), text, buttonSet, height, weight, format);
            dlg.DoModal();
            return dlg.GetResult();
        };
        return s;
    }
};

std::vector<std::string> Items(const WindowRef& w) {
    std::vector<std::string> out;
    if (auto c = ui::host::ReadControl(w, IDC_PORT_LIST))
        for (const ui::String& s : c->items)
            out.push_back(Narrow(s));
    return out;
}

int Selection(const WindowRef& w) {
    auto c = ui::host::ReadControl(w, IDC_PORT_LIST);
    return c ? c->selection : -2;
}

// Presses a button of the port dialog and closes the message it shows with `answer`.
void PressAndAnswer(const WindowRef& w, int button, int answer) {
    WindowRef before = ui::host::WaitForDialog(IDD_MESSAGE_DIALOG, 0);
    ModalThread press([&] { return INT_PTR(ui::host::Press(w, button)); });
    WindowRef message = before ? ui::host::WaitForNextDialog(IDD_MESSAGE_DIALOG, before)
                               : ui::host::WaitForDialog(IDD_MESSAGE_DIALOG);
    ASSERT_TRUE(message);
    ASSERT_TRUE(ui::host::Press(message, answer));
    EXPECT_TRUE(press.Join());
}

class PortManageDlgTest : public UiTest {};

TEST_F(PortManageDlgTest, ListSortedFirstSelected) {
    Machine m;
    m.ports = {"COM3", "COM10", ""};  // an instance without a name shows nothing
    CPortManageDlg dlg(m.Services());
    ModalThread run([&] { return dlg.DoModal(); });
    WindowRef w = ui::host::WaitForDialog(IDD_PORT_MANAGE_DIALOG);
    ASSERT_TRUE(w);
    EXPECT_EQ(Narrow(ui::host::Snapshot(w)->caption), "Port Management");
    EXPECT_EQ(Items(w), (std::vector<std::string>{"COM10", "COM3"}));
    EXPECT_EQ(Selection(w), 0);
    ASSERT_TRUE(ui::host::Press(w, ui::kIdCancel));  // "Exit"
    EXPECT_EQ(run.Join(), ui::kIdCancel);
}

TEST_F(PortManageDlgTest, AddPortResults) {
    struct Case {
        const char* label;
        int result;
        const char* text;
        std::vector<std::string> list;
    };
    const Case cases[] = {
        {"installed", VP_INSTALL_OK, "Add port Success!", {"COM3", "COM4"}},
        {"restart needed: the port is listed already",
         VP_INSTALL_REBOOT,
         "Reboot Required!\r\nReset and Again Add Port",
         {"COM3", "COM4"}},
        {"failed", VP_INSTALL_FAILED, "Error : Fail to add port!", {"COM3"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Machine m;
        m.ports = {"COM3"};
        m.installResult = c.result;
        m.newPort = "COM4";
        CPortManageDlg dlg(m.Services());
        ModalThread run([&] { return dlg.DoModal(); });
        WindowRef w = ui::host::WaitForDialog(IDD_PORT_MANAGE_DIALOG);
        ASSERT_TRUE(w);
        PressAndAnswer(w, IDC_BTN_ADD_PORT, ui::kIdOk);
        ASSERT_EQ(m.shown.size(), 1u);
        EXPECT_EQ(m.shown[0].text, c.text);
        EXPECT_EQ(m.shown[0].buttonSet, CMessageDlg::kButtonsOk);
        EXPECT_EQ(m.shown[0].fontHeight, 24);
        EXPECT_EQ(m.shown[0].fontWeight, 700);
        EXPECT_EQ(m.shown[0].format, 37u);
        EXPECT_EQ(Items(w), c.list);
        EXPECT_TRUE(ui::host::IsOpen(w));
        ASSERT_TRUE(ui::host::PressCloseBox(w));
        EXPECT_EQ(run.Join(), ui::kIdCancel);
    }
}

TEST_F(PortManageDlgTest, DeleteAllAndTheRestartQuestion) {
    Machine m;
    m.ports = {"COM3", "COM4"};
    CPortManageDlg dlg(m.Services());
    ModalThread run([&] { return dlg.DoModal(); });
    WindowRef w = ui::host::WaitForDialog(IDD_PORT_MANAGE_DIALOG);
    ASSERT_TRUE(w);

    // No: everything is gone, the dialog stays open, no restart.
    PressAndAnswer(w, IDC_BTN_DELETE_ALL, IDC_MSG_NO);
    EXPECT_EQ(m.uninstalls, 1);
    EXPECT_TRUE(Items(w).empty());
    EXPECT_EQ(Selection(w), -1);
    EXPECT_TRUE(ui::host::IsOpen(w));
    ASSERT_EQ(m.shown.size(), 1u);
    EXPECT_EQ(m.shown[0].text,
              "Restart the computer can take effect. \nPlease restart the computer.\n\n[Yes] I "
              "want to restart my computer now.\n[No] I will restart my computer later.");
    EXPECT_EQ(m.shown[0].buttonSet, CMessageDlg::kButtonsYesNo);
    EXPECT_EQ(m.shown[0].fontHeight, 20);
    EXPECT_EQ(m.shown[0].fontWeight, 400);
    EXPECT_EQ(m.shown[0].format, 36u);

    // Add a port again, then Delete All and Yes: the dialog ends with OK.
    m.newPort = "COM1";
    PressAndAnswer(w, IDC_BTN_ADD_PORT, ui::kIdOk);
    EXPECT_EQ(Items(w), std::vector<std::string>{"COM1"});
    PressAndAnswer(w, IDC_BTN_DELETE_ALL, IDC_MSG_YES);
    EXPECT_EQ(run.Join(), ui::kIdOk);
    EXPECT_EQ(m.uninstalls, 2);
}

// The tool's own calls on a machine whose package is missing: the install fails and the list
// stays as it was.
TEST_F(PortManageDlgTest, AddPortWithoutThePackage) {
    tarnel::host::TestMachine machine;
    const fs::path dir = machine.machine().driveC() / "Empty";
    fs::create_directories(dir);
    tarnel::host::SetProgramPath((dir / "Tarnel_Configuration.exe").string());
    CPortManageDlg dlg;
    ModalThread run([&] { return dlg.DoModal(); });
    WindowRef w = ui::host::WaitForDialog(IDD_PORT_MANAGE_DIALOG);
    ASSERT_TRUE(w);
    EXPECT_TRUE(Items(w).empty());
    PressAndAnswer(w, IDC_BTN_ADD_PORT, ui::kIdOk);
    EXPECT_TRUE(Items(w).empty());
    ASSERT_TRUE(ui::host::Press(w, ui::kIdCancel));
    EXPECT_EQ(run.Join(), ui::kIdCancel);
    tarnel::host::SetProgramPath("");
}

}  // namespace
