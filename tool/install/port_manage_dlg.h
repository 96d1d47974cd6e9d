// CPortManageDlg: the "Port Management" dialog (template 133). Lists the virtual ports, adds one
// more (installing the package when needed) and removes everything, then asks for a restart.
#pragma once

#include <functional>

#include "platform/ui/ui.h"
#include "tool/support/xstring.h"
#include "tool/support/xstring_list.h"

class CPortManageDlg : public ui::Dialog {
  public:
    // What the buttons call; an empty one is the tool's own.
    struct Services {
        std::function<int()> install;  // the INF chosen for this machine, on a new instance
        std::function<void()> uninstallAll;
        std::function<XStringWList()> virtualPorts;
        // The message dialog: the button that closed it (1 OK, 6 Yes, 7 No).
        std::function<int(const XStringW& text, int buttonSet, int fontHeight, int fontWeight,
                          UINT textFormat)>
            message;
    };

    CPortManageDlg();
    explicit CPortManageDlg(Services services);

  protected:
    bool OnInitDialog() override;
    void OnCommand(int id, int code) override;

  private:
    void RefreshList();
    void OnAddPort();
    void OnDeleteAllPort();

    Services services_;
};
