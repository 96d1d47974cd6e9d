// CTarnel_ConfigurationApp: the application object.
#include "tool/app/app.h"

#include "tool/app/res/resource.h"
#include "tool/app/resources_text.h"
#include "tool/support/trace.h"

namespace {
CTarnel_ConfigurationApp* g_app = nullptr;
}

CTarnel_ConfigurationApp::CTarnel_ConfigurationApp(Services services)
    : services_(std::move(services)) {
    g_app = this;
    ui::UseResourceScript(kTarnelResourceScript, kTarnelResourceHeader);
}

CTarnel_ConfigurationApp::~CTarnel_ConfigurationApp() {
    if (g_app == this)
        g_app = nullptr;
}

CTarnel_ConfigurationApp* CTarnel_ConfigurationApp::Current() {
    return g_app;
}

bool CTarnel_ConfigurationApp::InitInstance() {
    ui::InitCommonControls(0xFF);
    if (!services_.startSockets || !services_.startSockets()) {
        ui::String text = ui::LoadString(IDS_SOCKETS_INIT_FAILED);
        ui::MessageBox(nullptr, text.c_str(), TEXT("Tarnel_Configuration"), ui::kMbOk);
        return false;
    }
    SetRegistryKey(TEXT("Morvik"));
    SetProfileName(TEXT("Tarnel_Configuration"));
    rebootRequested_ = false;
    if (services_.createMainDialog) {
        std::unique_ptr<ui::Dialog> dialog = services_.createMainDialog();
        mainWindow = dialog.get();
        dialog->DoModal();
        mainWindow = nullptr;
    }
    return false;
}

int CTarnel_ConfigurationApp::ExitInstance() {
    int result = ui::App::ExitInstance();
    if (rebootRequested_) {
        Trace(TEXT("CTarnel_ConfigurationApp::ExitInstance"), __LINE__, TEXT("Reboot"));
        TraceExit();
        if (services_.restartWindows)
            services_.restartWindows();
        result = 1;
    }
    if (exitCode_ >= 0)
        result = exitCode_;
    // After a restart request the main target is gone and this line goes nowhere.
    Trace(TEXT("CTarnel_ConfigurationApp::ExitInstance"), __LINE__, TEXT("ExitInstance : %d"),
          result);
    TraceExit();
    return result;
}
