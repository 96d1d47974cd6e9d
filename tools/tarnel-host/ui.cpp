// tarnel-host ui: the tool's dialogs on the host backend, as a person would see them: pictures
// (PNG) and the state of every control.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "platform/ui/host/host_ui.h"
#include "tools/tarnel-host/commands.h"
#include "tool/app/main_banner_dlg.h"
#include "tool/app/message_dlg.h"
#include "tool/app/res/resource.h"
#include "tool/app/resources_text.h"
#include "tool/discovery/search_dlg.h"

namespace tarnel::hosttool {
namespace {

const char* const kNames[] = {"msg0", "msg1", "msg4", "search", "banner"};

std::unique_ptr<ui::Dialog> Make(const std::string& name, int& templateId) {
    if (name == "msg0" || name == "msg1" || name == "msg4") {
        auto dlg = std::make_unique<CMessageDlg>();
        int set = name == "msg0" ? 0 : name == "msg1" ? 1 : 4;
        dlg->Setup(XStringW(TEXT("Morvik Lumaport")),
                   XStringW(TEXT("Restart the computer can take effect. \nPlease restart the "
                                 "computer.\n\n[Yes] I want to restart my computer now.")),
                   set, set == 4 ? 20 : 24, set == 4 ? 400 : 700, set == 4 ? 36 : 37);
        templateId = IDD_MESSAGE_DIALOG;
        return dlg;
    }
    if (name == "search") {
        auto dlg = std::make_unique<CSearchDlg>();
        dlg->remaining = 1000000;
        dlg->statusText = TEXT("Now Searching.");
        templateId = IDD_SEARCH_DIALOG;
        return dlg;
    }
    if (name == "banner") {
        templateId = IDD_TARNEL_CONFIGURATION_DIALOG;
        return std::make_unique<CMainBannerDlg>();
    }
    return nullptr;
}

std::string Narrow(const ui::String& s) {
    std::string out;
    for (WCHAR c : s)
        out += c == u'\n' ? '|' : (c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

const char* KindName(ui::host::ControlKind k) {
    switch (k) {
        case ui::host::ControlKind::Static:
            return "static";
        case ui::host::ControlKind::Button:
            return "button";
        case ui::host::ControlKind::Edit:
            return "edit";
        case ui::host::ControlKind::ListBox:
            return "listbox";
        case ui::host::ControlKind::ComboBox:
            return "combobox";
        case ui::host::ControlKind::ListView:
            return "listview";
        case ui::host::ControlKind::Progress:
            return "progress";
        case ui::host::ControlKind::IpAddress:
            return "ipaddress";
    }
    return "?";
}

// Opens the dialog, saves its picture to png (when given) and prints its controls and texts.
int Show(const std::string& name, const std::string& png) {
    int templateId = 0;
    std::unique_ptr<ui::Dialog> dlg = Make(name, templateId);
    if (!dlg) {
        std::fprintf(stderr, "tarnel-host ui: unknown dialog '%s'\n", name.c_str());
        return 2;
    }
    std::thread run([&] { dlg->DoModal(); });
    int rc = 0;
    ui::host::WindowRef w = ui::host::WaitForDialog(templateId);
    if (!w) {
        std::fprintf(stderr, "tarnel-host ui: dialog %d did not open\n", templateId);
        run.join();
        return 1;
    }
    ui::host::Settle(w);
    auto picture = ui::host::Snapshot(w);
    if (picture) {
        std::printf("%s: dialog %d \"%s\", %dx%d pixels\n", name.c_str(), templateId,
                    Narrow(picture->caption).c_str(), picture->bitmap->width,
                    picture->bitmap->height);
        for (const auto& c : ui::host::ReadControls(w)) {
            std::printf("  %-9s %5d  %4ld,%4ld %4ldx%-4ld %s%s \"%s\"\n", KindName(c.kind), c.id,
                        static_cast<long>(c.rect.left), static_cast<long>(c.rect.top),
                        static_cast<long>(c.rect.Width()), static_cast<long>(c.rect.Height()),
                        c.visible ? "shown" : "hidden", c.enabled ? "" : " disabled",
                        Narrow(c.text).c_str());
        }
        for (const auto& t : picture->texts) {
            std::printf("  text by %d at %ld,%ld (%s %d/%d): \"%s\"\n", t.control,
                        static_cast<long>(t.box.left), static_cast<long>(t.box.top),
                        Narrow(t.face).c_str(), t.height, t.weight, Narrow(t.text).c_str());
        }
        if (!png.empty()) {
            if (ui::host::SavePng(*picture->bitmap, png)) {
                std::printf("  picture: %s\n", png.c_str());
            } else {
                std::fprintf(stderr, "tarnel-host ui: cannot write %s\n", png.c_str());
                rc = 1;
            }
        }
    } else {
        rc = 1;
    }
    ui::host::PressEscape(w);
    run.join();
    return rc;
}

}  // namespace

int RunUi(int argc, char** argv) {
    ui::UseResourceScript(kTarnelResourceScript, kTarnelResourceHeader);
    if (argc >= 1 && !std::strcmp(argv[0], "show") && argc >= 2) {
        return Show(argv[1], argc >= 3 ? argv[2] : "");
    }
    if (argc >= 2 && !std::strcmp(argv[0], "pictures")) {
        int rc = 0;
        for (const char* name : kNames) {
            rc |= Show(name, std::string(argv[1]) + "/host_" + name + ".png");
        }
        return rc;
    }
    std::fprintf(stderr,
                 "usage: tarnel-host ui show DIALOG [PNG]   open a dialog, list its controls and "
                 "texts, save its picture\n"
                 "       tarnel-host ui pictures FOLDER     pictures of every dialog\n"
                 "DIALOG: msg0, msg1, msg4 (message dialog button sets), search, banner\n");
    return 2;
}

}  // namespace tarnel::hosttool
