// CMessageDlg: which buttons each button set shows, the result and modal result of every button
// and of Esc, the caption, and the text layout: one slot per line feed, blank lines taking a
// slot but no row, lines that no longer fit measured but not drawn.
#include <set>

#include "tests/ui/ui_fixture.h"
#include "tool/app/message_dlg.h"
#include "tool/app/res/resource.h"

namespace {

using ui::host::WindowRef;

const int kButtons[] = {ui::kIdOk, IDC_MSG_YES, IDC_MSG_NO, IDC_MSG_OK, IDC_MSG_CANCEL};

std::set<int> VisibleButtons(const WindowRef& w) {
    std::set<int> shown;
    for (int id : kButtons) {
        auto c = ui::host::ReadControl(w, id);
        if (c && c->visible)
            shown.insert(id);
    }
    return shown;
}

struct ButtonCase {
    const char* label;
    int buttonSet;
    std::set<int> visible;
    int press;  // 0: Esc
    int result;
    INT_PTR modal;
};

class MessageDlgTest : public UiTest {};

TEST_F(MessageDlgTest, ButtonSetsAndResults) {
    const ButtonCase cases[] = {
        {"OK alone", 0, {ui::kIdOk}, ui::kIdOk, 1, ui::kIdOk},
        {"OK-Cancel, OK", 1, {IDC_MSG_OK, IDC_MSG_CANCEL}, IDC_MSG_OK, 1, ui::kIdOk},
        {"OK-Cancel, Cancel", 1, {IDC_MSG_OK, IDC_MSG_CANCEL}, IDC_MSG_CANCEL, 2, ui::kIdCancel},
        {"Yes-No, Yes", 4, {IDC_MSG_YES, IDC_MSG_NO}, IDC_MSG_YES, 6, ui::kIdOk},
        {"Yes-No, No", 4, {IDC_MSG_YES, IDC_MSG_NO}, IDC_MSG_NO, 7, ui::kIdCancel},
        {"Yes-No, Esc", 4, {IDC_MSG_YES, IDC_MSG_NO}, 0, 1, ui::kIdCancel},
        {"OK alone, Esc", 0, {ui::kIdOk}, 0, 1, ui::kIdCancel},
        {"unknown set shows OK", 3, {ui::kIdOk}, ui::kIdOk, 1, ui::kIdOk},
    };
    for (const ButtonCase& c : cases) {
        SCOPED_TRACE(c.label);
        CMessageDlg dlg;
        dlg.Setup(TEXT("Morvik Lumaport"), TEXT("Done"), c.buttonSet, 24, 700, 37);
        ModalThread run([&] { return dlg.DoModal(); });
        WindowRef w = ui::host::WaitForDialog(IDD_MESSAGE_DIALOG);
        ASSERT_TRUE(w);
        EXPECT_EQ(VisibleButtons(w), c.visible);
        // A hidden button cannot be pressed.
        for (int id : kButtons) {
            if (!c.visible.count(id)) {
                EXPECT_FALSE(ui::host::Press(w, id)) << id;
            }
        }
        EXPECT_TRUE(ui::host::IsOpen(w));
        ASSERT_TRUE(c.press ? ui::host::Press(w, c.press) : ui::host::PressEscape(w));
        EXPECT_EQ(run.Join(), c.modal);
        EXPECT_EQ(dlg.GetResult(), c.result);
    }
}

TEST_F(MessageDlgTest, CaptionReplacesTheTemplatesEvenWhenEmpty) {
    for (const WCHAR* caption : {TEXT("Morvik Lumaport"), TEXT("")}) {
        CMessageDlg dlg;
        dlg.Setup(caption, TEXT("x"), 0, 20, 400, 36);
        ModalThread run([&] { return dlg.DoModal(); });
        WindowRef w = ui::host::WaitForDialog(IDD_MESSAGE_DIALOG);
        ASSERT_TRUE(w);
        auto p = ui::host::Snapshot(w);
        ASSERT_TRUE(p);
        EXPECT_EQ(p->caption, ui::String(caption));
        ASSERT_TRUE(ui::host::Press(w, ui::kIdOk));
        run.Join();
    }
}

struct Line {
    std::string text;
    LONG top, bottom;  // offsets from the text area's top
};

struct LayoutCase {
    const char* label;
    const WCHAR* text;
    int fontHeight;
    std::vector<Line> lines;  // drawn, in order
};

// The text area is control 1009: 241 x 75 dialog units, 113 pixels high in the font model.
TEST_F(MessageDlgTest, LinesAndSlots) {
    const LayoutCase cases[] = {
        {"one line, one slot", TEXT("Only"), 20, {{"Only", 0, 113}}},
        {"empty text: one slot, nothing drawn", TEXT(""), 20, {}},
        {"two lines", TEXT("First\nSecond"), 20, {{"First", 0, 56}, {"Second", 20, 112}}},
        {"blank line takes a slot, not a row",
         TEXT("First\n\nSecond"),
         20,
         {{"First", 0, 37}, {"Second", 20, 74}}},
        {"carriage returns split without a slot",
         TEXT("First\r\nSecond"),
         24,
         {{"First", 0, 56}, {"Second", 24, 112}}},
        {"only line feeds", TEXT("\n\n"), 20, {}},
        // slot 22: the second line still has 4 pixels, the third would end above its top.
        {"tall font: later lines measured, not drawn",
         TEXT("a\nb\nc\nd\ne"),
         40,
         {{"a", 0, 22}, {"b", 40, 44}}},
    };
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(c.label);
        for (UINT format : {37u, 36u}) {
            CMessageDlg dlg;
            dlg.Setup(TEXT("t"), c.text, 0, c.fontHeight, 700, format);
            ModalThread run([&] { return dlg.DoModal(); });
            WindowRef w = ui::host::WaitForDialog(IDD_MESSAGE_DIALOG);
            ASSERT_TRUE(w);
            auto area = ui::host::ReadControl(w, IDC_MSG_TEXT_AREA);
            ASSERT_TRUE(area);
            ASSERT_EQ(area->rect.Height(), 113);
            auto p = ui::host::Snapshot(w);
            ASSERT_TRUE(p);
            auto drawn = TextsOf(*p, 0);
            ASSERT_EQ(drawn.size(), c.lines.size());
            for (size_t i = 0; i < drawn.size(); ++i) {
                const auto& t = drawn[i];
                EXPECT_EQ(Narrow(t.text), c.lines[i].text);
                EXPECT_EQ(t.rect.left, area->rect.left + 10);
                EXPECT_EQ(t.rect.right, area->rect.right);
                EXPECT_EQ(t.rect.top, area->rect.top + c.lines[i].top) << i;
                EXPECT_EQ(t.rect.bottom, area->rect.top + c.lines[i].bottom) << i;
                EXPECT_EQ(Narrow(t.face), "Verdana");
                EXPECT_EQ(t.height, c.fontHeight);
                EXPECT_EQ(t.weight, 700);
                EXPECT_EQ(t.color, ui::Rgb(0, 0, 0));
                EXPECT_EQ(t.format, format);
                if (format == 37) {
                    EXPECT_NEAR(t.box.left + t.box.right, t.rect.left + t.rect.right, 1);
                } else {
                    EXPECT_EQ(t.box.left, t.rect.left);
                }
            }
            ASSERT_TRUE(ui::host::Press(w, ui::kIdOk));
            run.Join();
        }
    }
}

}  // namespace
