// The application object: the sockets failure box from string 103 and no main dialog, the main
// dialog run to its end, the exit code with and without a requested restart; the version text
// from the version resource.
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/host/machine/machine.h"
#include "tests/ui/ui_fixture.h"
#include "tool/support/trace.h"
#include "tool/app/app.h"
#include "tool/app/res/resource.h"
#include "tool/install/win_helper.h"

namespace {

using ui::host::WindowRef;

class AppTest : public UiTest {};

TEST_F(AppTest, SocketsFailureShowsTheBoxAndEndsStartUp) {
    int mainDialogs = 0;
    CTarnel_ConfigurationApp app({[] { return false; }, [] { return true; },
                                  [&] {
                                      ++mainDialogs;
                                      return std::make_unique<ui::Dialog>(IDD_MESSAGE_DIALOG);
                                  }});
    ModalThread run([&] { return static_cast<INT_PTR>(app.InitInstance()); });
    WindowRef box = ui::host::WaitForDialog(ui::host::kMessageBoxTemplate);
    ASSERT_TRUE(box);
    auto p = ui::host::Snapshot(box);
    ASSERT_TRUE(p);
    EXPECT_EQ(Narrow(p->messageText), "Windows sockets initialization failed.");
    EXPECT_EQ(p->messageType & 0xF, ui::kMbOk);
    EXPECT_FALSE(ui::host::Press(box, ui::kIdCancel));
    ASSERT_TRUE(ui::host::Answer(box, ui::kIdOk));
    EXPECT_EQ(run.Join(), 0);
    EXPECT_EQ(mainDialogs, 0);
    EXPECT_TRUE(app.RegistryKey().empty());
}

TEST_F(AppTest, MainDialogRunsToItsEndAndStartUpReturnsFalse) {
    int mainDialogs = 0;
    CTarnel_ConfigurationApp app({[] { return true; }, [] { return true; },
                                  [&] {
                                      ++mainDialogs;
                                      return std::make_unique<ui::Dialog>(IDD_PORT_MANAGE_DIALOG);
                                  }});
    app.SetRebootRequested(true);
    ModalThread run([&] { return static_cast<INT_PTR>(app.InitInstance()); });
    WindowRef main = ui::host::WaitForDialog(IDD_PORT_MANAGE_DIALOG);
    ASSERT_TRUE(main);
    EXPECT_EQ(app.mainWindow != nullptr, true);
    ASSERT_TRUE(ui::host::Press(main, ui::kIdCancel));
    EXPECT_EQ(run.Join(), 0);
    EXPECT_EQ(mainDialogs, 1);
    EXPECT_EQ(Narrow(app.RegistryKey()), "Morvik");
    EXPECT_FALSE(app.IsRebootRequested());  // cleared at start-up
    EXPECT_EQ(app.mainWindow, nullptr);
}

TEST_F(AppTest, ExitCodeAndRestart) {
    for (bool reboot : {false, true}) {
        SCOPED_TRACE(reboot ? "restart requested" : "no restart");
        int restarts = 0;
        CTarnel_ConfigurationApp app({[] { return true; },
                                      [&] {
                                          ++restarts;
                                          return true;
                                      },
                                      nullptr});
        app.SetRebootRequested(reboot);
        EXPECT_EQ(app.ExitInstance(), reboot ? 1 : 0);
        EXPECT_EQ(restarts, reboot ? 1 : 0);
    }
}

// The exit lines in the main trace target: "ExitInstance : 0" without a restart; "Reboot" and
// nothing after it with one, because the target is gone by then.
TEST_F(AppTest, ExitTraceLines) {
    namespace fs = std::filesystem;
    for (bool reboot : {false, true}) {
        SCOPED_TRACE(reboot ? "restart requested" : "no restart");
        tarnel::host::TestMachine machine;
        fs::path logs = machine.machine().driveC() / "Logs";
        TraceRegister(TRACE_ID_MAIN, 1, TEXT("Tarnel_Configuration"), TEXT("C:\\Logs\\"));
        CTarnel_ConfigurationApp app({[] { return true; }, [] { return true; }, nullptr});
        app.SetRebootRequested(reboot);
        app.ExitInstance();
        TraceRemove(-1);
        std::string text;
        for (const auto& entry : fs::directory_iterator(logs)) {
            std::ifstream in(entry.path(), std::ios::binary);
            std::string bytes((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
            for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
                if (bytes[i + 1] == 0)
                    text += bytes[i];
            }
        }
        EXPECT_EQ(text.find("ExitInstance : 0") != std::string::npos, !reboot) << text;
        EXPECT_EQ(text.find("ExitInstance : 1"), std::string::npos) << text;
        EXPECT_EQ(text.find("CTarnel_ConfigurationApp::ExitInstance") != std::string::npos, true);
        EXPECT_EQ(text.find(" Reboot") != std::string::npos, reboot) << text;
    }
}

TEST_F(AppTest, VersionTextFromTheProductVersion) {
    struct Case {
        const char* version;
        const char* text;
    };
    const Case cases[] = {
        {"1,2,3,0", "1.2.3"},        {"1,2,3,4", "1.2.3.P04"},     {"1,2,3,7", "1.2.3.P07"},
        {"1,2,3,123", "1.2.3.P123"}, {"65535,0,9,0", "65535.0.9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        std::string script = std::string("1 VERSIONINFO\n FILEVERSION 9,9,9,9\n PRODUCTVERSION ") +
                             c.version + "\nBEGIN\n BLOCK \"StringFileInfo\"\n BEGIN\n END\nEND\n";
        ui::UseResourceScript(script.c_str(), "");
        EXPECT_EQ(Narrow(ui::String(CWinHelper::GetVersionText(XStringW()).GetString())), c.text);
    }
    // Without a version resource the text is empty; another file has none on the host.
    ui::UseResourceScript("STRINGTABLE\nBEGIN\n 1 \"x\"\nEND\n", "");
    EXPECT_EQ(CWinHelper::GetVersionText(XStringW()).GetLength(), 0);
    ui::UseResourceScript(kTarnelResourceScript, kTarnelResourceHeader);
    EXPECT_EQ(Narrow(ui::String(CWinHelper::GetVersionText(XStringW()).GetString())), "1.0.0");
    EXPECT_EQ(CWinHelper::GetVersionText(XStringW(TEXT("C:\\Windows\\notepad.exe"))).GetLength(),
              0);
}

}  // namespace
