// The host dialog backend: the resource script read into templates (and its errors), controls
// placed by the font model, timers and posted work on the dialog's thread, message boxes with
// their answers and Esc rules, the owner disabled under a modal child, sorted list boxes and
// the PNG writer.
#include <chrono>
#include <thread>
#include <vector>

#include "platform/ui/host/rc_script.h"
#include "tests/ui/ui_fixture.h"
#include "tool/app/res/resource.h"

namespace {

using ui::host::WindowRef;

class FrameworkTest : public UiTest {};

TEST_F(FrameworkTest, ScriptHoldsEveryTemplateStringIconVersionAndManifest) {
    ui::host::ResourceScript rs;
    std::string error;
    ASSERT_TRUE(
        ui::host::ParseResourceScript(kTarnelResourceScript, kTarnelResourceHeader, rs, error))
        << error;
    for (int id : {102, 129, 130, 133, 134})
        EXPECT_TRUE(rs.dialogs.count(id)) << id;
    EXPECT_EQ(Narrow(rs.strings[103]), "Windows sockets initialization failed.");
    EXPECT_EQ(rs.icons, std::vector<int>{128});
    EXPECT_TRUE(rs.hasManifest);
    EXPECT_TRUE(rs.hasVersion);

    const auto& msg = rs.dialogs[130];
    EXPECT_EQ(Narrow(msg.caption), "Lumaport Driver - Installer");
    EXPECT_EQ(msg.cx, 255);
    EXPECT_EQ(msg.cy, 111);
    EXPECT_EQ(msg.pointSize, 9);
    EXPECT_EQ(Narrow(msg.face), "MS Shell Dlg");
    EXPECT_FALSE(msg.style & ui::host::kWsSysMenu);
    struct Expected {
        int id, x, y, cx, cy;
        bool visible;
        ui::host::ControlKind kind;
    };
    const Expected controls[] = {
        {1, 91, 85, 72, 22, false, ui::host::ControlKind::Button},
        {1005, 42, 85, 72, 22, false, ui::host::ControlKind::Button},
        {1006, 141, 85, 72, 22, false, ui::host::ControlKind::Button},
        {1007, 42, 85, 72, 22, false, ui::host::ControlKind::Button},
        {1008, 141, 85, 72, 22, false, ui::host::ControlKind::Button},
        {1009, 7, 6, 241, 75, true, ui::host::ControlKind::Static},
    };
    ASSERT_EQ(msg.controls.size(), std::size(controls));
    for (size_t i = 0; i < std::size(controls); ++i) {
        const auto& c = msg.controls[i];
        const Expected& e = controls[i];
        SCOPED_TRACE(e.id);
        EXPECT_EQ(c.id, e.id);
        EXPECT_EQ(c.x, e.x);
        EXPECT_EQ(c.y, e.y);
        EXPECT_EQ(c.cx, e.cx);
        EXPECT_EQ(c.cy, e.cy);
        EXPECT_EQ((c.style & ui::host::kWsVisible) != 0, e.visible);
        EXPECT_EQ(c.kind, e.kind);
    }
    EXPECT_EQ(msg.controls[0].style & ui::host::kBsTypeMask, ui::host::kBsDefPushButton);
    EXPECT_EQ(msg.controls[5].style & ui::host::kSsTypeMask, ui::host::kSsEtchedFrame);

    const auto& ports = rs.dialogs[133];
    EXPECT_EQ(Narrow(ports.caption), "Port Management");
    EXPECT_TRUE(ports.controls[0].style & ui::host::kLbsSort);
    EXPECT_EQ(Narrow(rs.dialogs[134].caption), "Searching...");
    EXPECT_FALSE(rs.dialogs[102].style & ui::host::kWsCaption);
    EXPECT_EQ(Narrow(rs.dialogs[102].controls[3].text), " STEP &2\n[Configuration && Assign]");
}

TEST_F(FrameworkTest, ScriptErrorsAreReported) {
    const char* bad[] = {
        "1 DIALOGEX 0, 0, 10, 10\nBEGIN\n SLIDER 1, 0, 0, 1, 1\nEND\n",
        "STRINGTABLE\nBEGIN\n 1 \"open\nEND\n",
        "1 DIALOGEX 0, 0, 10, 10\nSTYLE WS_NOSUCHSTYLE\nBEGIN\nEND\n",
        "1 DIALOGEX 0, 0, 10\nBEGIN\nEND\n",
        "1 DIALOGEX 0, 0, 10, 10\nBEGIN\n CONTROL \"\", 1, \"NoClass\", 0, 0, 0, 1, 1\nEND\n",
    };
    for (const char* script : bad) {
        ui::host::ResourceScript rs;
        std::string error;
        EXPECT_FALSE(ui::host::ParseResourceScript(script, "", rs, error)) << script;
        EXPECT_FALSE(error.empty());
    }
}

// 9 points: 12-pixel cells 6 wide, so 6/4 pixels per horizontal unit and 12/8 per vertical one,
// rounded as MulDiv rounds.
TEST_F(FrameworkTest, ControlsArePlacedByTheFontModel) {
    ui::Dialog dlg(IDD_MESSAGE_DIALOG);
    ModalThread run([&] { return dlg.DoModal(); });
    WindowRef w = ui::host::WaitForDialog(IDD_MESSAGE_DIALOG);
    ASSERT_TRUE(w);
    auto ok = ui::host::ReadControl(w, 1);
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->rect, (ui::Rect{137, 128, 137 + 108, 128 + 33}));
    auto area = ui::host::ReadControl(w, IDC_MSG_TEXT_AREA);
    ASSERT_TRUE(area);
    EXPECT_EQ(area->rect, (ui::Rect{11, 9, 11 + 362, 9 + 113}));
    auto p = ui::host::Snapshot(w);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->bitmap->width, 383);
    EXPECT_EQ(p->bitmap->height, 167);
    ASSERT_TRUE(ui::host::PressEscape(w));
    EXPECT_EQ(run.Join(), ui::kIdCancel);
}

TEST_F(FrameworkTest, MissingTemplateFailsTheModalRun) {
    ui::Dialog dlg(4242);
    EXPECT_EQ(dlg.DoModal(), -1);
}

class TickDlg : public ui::Dialog {
  public:
    TickDlg() : ui::Dialog(IDD_SEARCH_DIALOG) {}
    std::thread::id thread;
    std::atomic<int> ticks{0};
    std::atomic<int> posted{0};
    std::atomic<bool> foreignThread{false};

  protected:
    bool OnInitDialog() override {
        thread = std::this_thread::get_id();
        SetTimer(7, 20);
        return true;
    }
    void OnTimer(UINT_PTR id) override {
        if (id != 7 || std::this_thread::get_id() != thread)
            foreignThread = true;
        if (++ticks == 5) {
            KillTimer(7);
            EndDialog(99);
        }
    }
};

TEST_F(FrameworkTest, TimersAndPostedWorkRunOnTheDialogThread) {
    TickDlg dlg;
    ModalThread run([&] { return dlg.DoModal(); });
    WindowRef w = ui::host::WaitForDialog(IDD_SEARCH_DIALOG);
    ASSERT_TRUE(w);
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t) {
        posters.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                dlg.Post([&] {
                    if (std::this_thread::get_id() != dlg.thread)
                        dlg.foreignThread = true;
                    ++dlg.posted;
                });
            }
        });
    }
    for (auto& t : posters)
        t.join();
    EXPECT_EQ(run.Join(), 99);
    EXPECT_EQ(dlg.ticks, 5);
    EXPECT_FALSE(dlg.foreignThread);
    // Work posted before the close ran; work posted after it is dropped.
    const int ran = dlg.posted;
    EXPECT_LE(ran, 200);
    dlg.Post([&] { ++dlg.posted; });
    EXPECT_EQ(dlg.posted, ran);
}

class BoxDlg : public ui::Dialog {
  public:
    explicit BoxDlg(UINT type) : ui::Dialog(IDD_PORT_MANAGE_DIALOG), type_(type) {}
    std::atomic<int> answer{-100};

  protected:
    void OnCommand(int id, int code) override {
        if (id == IDC_BTN_ADD_PORT) {
            answer =
                ui::MessageBox(this, TEXT("Line one\nLine two"), TEXT("Morvik Lumaport"), type_);
            return;
        }
        ui::Dialog::OnCommand(id, code);
    }

  private:
    UINT type_;
};

TEST_F(FrameworkTest, MessageBoxesAnswersAndEsc) {
    struct Case {
        const char* label;
        UINT type;
        int press;  // 0: Esc
        bool escCloses;
        int answer;
    };
    const Case cases[] = {
        {"OK", ui::kMbOk, ui::kIdOk, true, ui::kIdOk},
        {"OK box, Esc", ui::kMbOk, 0, true, ui::kIdOk},
        {"OK-Cancel, Esc", ui::kMbOkCancel, 0, true, ui::kIdCancel},
        {"Yes-No, No", ui::kMbYesNo | ui::kMbIconQuestion, ui::kIdNo, true, ui::kIdNo},
        {"Yes-No ignores Esc", ui::kMbYesNo, 0, false, ui::kIdYes},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        BoxDlg dlg(c.type);
        ModalThread run([&] { return dlg.DoModal(); });
        WindowRef owner = ui::host::WaitForDialog(IDD_PORT_MANAGE_DIALOG);
        ASSERT_TRUE(owner);
        ASSERT_TRUE(ui::host::Press(owner, IDC_BTN_ADD_PORT));
        WindowRef box = ui::host::WaitForDialog(ui::host::kMessageBoxTemplate);
        ASSERT_TRUE(box);
        auto p = ui::host::Snapshot(box);
        ASSERT_TRUE(p);
        EXPECT_EQ(Narrow(p->caption), "Morvik Lumaport");
        EXPECT_EQ(Narrow(p->messageText), "Line one\nLine two");
        EXPECT_EQ(p->messageType, c.type);
        // The owner takes no input while the box is up.
        EXPECT_FALSE(ui::host::Press(owner, IDC_BTN_DELETE_ALL));
        if (c.press) {
            ASSERT_TRUE(ui::host::Answer(box, c.press));
        } else {
            ASSERT_TRUE(ui::host::PressEscape(box));
            if (!c.escCloses) {
                ASSERT_TRUE(ui::host::Settle(box));
                EXPECT_TRUE(ui::host::IsOpen(box));
                ASSERT_TRUE(ui::host::Answer(box, ui::kIdYes));
            }
        }
        ASSERT_TRUE(ui::host::WaitClosed(box));
        ASSERT_TRUE(ui::host::Settle(owner));
        EXPECT_EQ(dlg.answer, c.answer);
        ASSERT_TRUE(ui::host::Press(owner, ui::kIdCancel));
        EXPECT_EQ(run.Join(), ui::kIdCancel);
    }
}

class ListDlg : public ui::Dialog {
  public:
    ListDlg() : ui::Dialog(IDD_PORT_MANAGE_DIALOG) {}

  protected:
    bool OnInitDialog() override {
        for (const WCHAR* port : {TEXT("COM3"), TEXT("COM10"), TEXT("com2"), TEXT("COM21")}) {
            ListBoxAddString(IDC_PORT_LIST, port);
        }
        return true;
    }
};

TEST_F(FrameworkTest, SortedListBoxOrdersAsText) {
    ListDlg dlg;
    ModalThread run([&] { return dlg.DoModal(); });
    WindowRef w = ui::host::WaitForDialog(IDD_PORT_MANAGE_DIALOG);
    ASSERT_TRUE(w);
    auto list = ui::host::ReadControl(w, IDC_PORT_LIST);
    ASSERT_TRUE(list);
    std::vector<std::string> items;
    for (auto& s : list->items)
        items.push_back(Narrow(s));
    EXPECT_EQ(items, (std::vector<std::string>{"COM10", "com2", "COM21", "COM3"}));
    EXPECT_TRUE(ui::host::PickRow(w, IDC_PORT_LIST, 2));
    EXPECT_FALSE(ui::host::PickRow(w, IDC_PORT_LIST, 4));
    EXPECT_EQ(ui::host::ReadControl(w, IDC_PORT_LIST)->selection, 2);
    // "Exit" is the cancel button of this template.
    ASSERT_TRUE(ui::host::Press(w, ui::kIdCancel));
    EXPECT_EQ(run.Join(), ui::kIdCancel);
}

// Reads back a PNG written with stored blocks: signature, chunk CRCs, and the pixels.
TEST_F(FrameworkTest, PngHoldsThePixels) {
    ui::host::Bitmap bmp(70000 / 3 / 10, 12, ui::Rgb(1, 2, 3));  // rows beyond one stored block
    bmp.pixels[5] = ui::Rgb(250, 128, 7);
    std::vector<unsigned char> png = ui::host::EncodePng(bmp);
    ASSERT_GT(png.size(), 8u);
    EXPECT_EQ(std::string(png.begin() + 1, png.begin() + 4), "PNG");
    size_t pos = 8;
    std::vector<unsigned char> idat;
    auto be32 = [&](size_t at) {
        return (uint32_t(png[at]) << 24) | (uint32_t(png[at + 1]) << 16) |
               (uint32_t(png[at + 2]) << 8) | png[at + 3];
    };
    std::vector<std::string> chunks;
    while (pos + 12 <= png.size()) {
        uint32_t len = be32(pos);
        std::string type(png.begin() + pos + 4, png.begin() + pos + 8);
        chunks.push_back(type);
        uint32_t crc = 0xFFFFFFFF;
        for (size_t i = pos + 4; i < pos + 8 + len; ++i) {
            crc ^= png[i];
            for (int k = 0; k < 8; ++k)
                crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
        }
        EXPECT_EQ(~crc, be32(pos + 8 + len)) << type;
        if (type == "IDAT")
            idat.insert(idat.end(), png.begin() + pos + 8, png.begin() + pos + 8 + len);
        pos += 12 + len;
    }
    EXPECT_EQ(chunks, (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));
    std::vector<unsigned char> raw;
    size_t z = 2;
    for (bool last = false; !last;) {
        last = idat[z] & 1;
        size_t n = idat[z + 1] | (idat[z + 2] << 8);
        raw.insert(raw.end(), idat.begin() + z + 5, idat.begin() + z + 5 + n);
        z += 5 + n;
    }
    ASSERT_EQ(raw.size(), size_t(bmp.height) * (1 + 3 * bmp.width));
    EXPECT_EQ(raw[0], 0);
    EXPECT_EQ(raw[1], 1);
    EXPECT_EQ(raw[3], 3);
    EXPECT_EQ(raw[1 + 3 * 5], 250);
    EXPECT_EQ(raw[1 + 3 * 5 + 2], 7);
}

}  // namespace
