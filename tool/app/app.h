// CTarnel_ConfigurationApp: start-up (common controls, sockets, settings key), the main dialog
// run to its end, and the exit with the restart a command-line run may have asked for.
#pragma once

#include <functional>
#include <memory>

#include "platform/ui/ui.h"

class CTarnel_ConfigurationApp : public ui::App {
  public:
    // What start-up and exit call out to; each has the program's own default.
    struct Services {
        std::function<bool()> startSockets;  // Windows Sockets 2.2
        std::function<bool()> restartWindows;
        std::function<std::unique_ptr<ui::Dialog>()> createMainDialog;
    };

    explicit CTarnel_ConfigurationApp(Services services);
    ~CTarnel_ConfigurationApp() override;

    bool InitInstance() override;
    int ExitInstance() override;

    // Called by the command-line run (option "rs").
    void SetRebootRequested(bool requested) { rebootRequested_ = requested; }
    bool IsRebootRequested() const { return rebootRequested_; }
    // The process exit code of a command-line run (0, 3010, 1639 or 1); none for a windowed run.
    void SetExitCode(int code) { exitCode_ = code; }

    static CTarnel_ConfigurationApp* Current();

  private:
    Services services_;
    bool rebootRequested_ = false;
    int exitCode_ = -1;
};
