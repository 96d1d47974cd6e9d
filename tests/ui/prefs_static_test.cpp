// CPrefsStatic: gradient pixels at chosen columns for both branches (exact integer arithmetic,
// the black area, the 64-bit products of a wide banner), stripe widths, the two texts, and a
// new window text redrawing the whole banner.
#include <atomic>

#include "tests/ui/ui_fixture.h"
#include "tool/app/prefs_static.h"

namespace {

using ui::host::WindowRef;

constexpr int kBannerDialog = 500;
constexpr int kBanner = 1000;

// A dialog whose banner is `widthDlu` dialog units wide: 6/4 pixels each in the font model.
std::string BannerScript(int widthDlu) {
    return "#include \"resource.h\"\n" + std::to_string(kBannerDialog) + " DIALOGEX 0, 0, " +
           std::to_string(widthDlu) +
           ", 40\nSTYLE DS_SETFONT | WS_POPUP\nFONT 9, \"MS Shell Dlg\", 400, 0, 0x1\nBEGIN\n"
           "    LTEXT \"\", 1000, 0, 0, " +
           std::to_string(widthDlu) + ", 20\nEND\n";
}

class CountingBanner : public CPrefsStatic {
  public:
    std::atomic<int> erases{0};
    bool OnEraseBackground(ui::Dc& dc) override {
        ++erases;
        return CPrefsStatic::OnEraseBackground(dc);
    }
};

class BannerDlg : public ui::Dialog {
  public:
    BannerDlg() : ui::Dialog(kBannerDialog) {
        banner.fontName = TEXT("Verdana");
        banner.fontHeight = 14;
        banner.fontWeight = 700;
        banner.subtitle = TEXT("V1.0.0");
        BindDrawn(kBanner, banner);
    }
    CountingBanner banner;

  protected:
    bool OnInitDialog() override {
        SetItemText(kBanner, TEXT("Tarnel Configuration"));
        return true;
    }
};

class BannerTest : public UiTest {
  protected:
    void UseWidth(int widthDlu) {
        ui::UseResourceScript(BannerScript(widthDlu).c_str(), kTarnelResourceHeader);
    }
    void TearDown() override {
        ui::UseResourceScript(kTarnelResourceScript, kTarnelResourceHeader);
        UiTest::TearDown();
    }
};

struct Pixel {
    int column;
    ui::Color color;
};

struct GradientCase {
    const char* label;
    int widthDlu;
    int widthPx;
    ui::Color face;             // system button face when the banner is built
    ui::Color gradient;         // 0: leave the constructed value
    ui::Color faceAfter;        // 0: unchanged; otherwise the face changes after construction
    std::vector<Pixel> pixels;  // row 1, away from both texts
};

TEST_F(BannerTest, GradientColumns) {
    const ui::Color grey = ui::Rgb(240, 240, 240);
    const GradientCase cases[] = {
        {"339 pixels: stripes of 2, one black column",
         226,
         339,
         grey,
         0,
         0,
         {{0, ui::Rgb(0, 0, 0)},
          {1, ui::Rgb(2, 2, 2)},
          {2, ui::Rgb(2, 2, 2)},
          {169, ui::Rgb(180, 180, 180)},
          {337, grey},
          {338, grey}}},
        {"200 pixels: stripes of 1",
         133,
         200,
         grey,
         0,
         0,
         {{0, ui::Rgb(0, 0, 0)},
          {1, ui::Rgb(3, 3, 3)},
          {2, ui::Rgb(5, 5, 5)},
          {100, ui::Rgb(180, 180, 180)},
          {199, grey}}},
        {"3999 pixels: c * d^2 beyond 32 bits, black up to 31",
         2666,
         3999,
         ui::Rgb(255, 255, 255),
         0,
         0,
         {{0, ui::Rgb(0, 0, 0)},
          {30, ui::Rgb(0, 0, 0)},
          {31, ui::Rgb(4, 4, 4)},
          {40, ui::Rgb(4, 4, 4)},
          {100, ui::Rgb(12, 12, 12)},
          {2000, ui::Rgb(191, 191, 191)},
          {3998, ui::Rgb(255, 255, 255)}}},
        {"colour set by the owner: stripes from the left, no black area",
         226,
         339,
         grey,
         ui::Rgb(255, 128, 10),
         0,
         {{0, ui::Rgb(3, 2, 1)},
          {1, ui::Rgb(3, 2, 1)},
          {2, ui::Rgb(6, 4, 1)},
          {169, ui::Rgb(192, 97, 8)},
          {337, ui::Rgb(255, 128, 10)},
          // The column past the last whole stripe keeps the new bitmap's black.
          {338, ui::Rgb(0, 0, 0)}}},
        {"system colours changed after construction",
         226,
         339,
         grey,
         0,
         ui::Rgb(200, 200, 200),
         {{0, ui::Rgb(3, 3, 3)},
          {169, ui::Rgb(181, 181, 181)},
          {337, grey},
          {338, ui::Rgb(0, 0, 0)}}},
    };
    for (const GradientCase& c : cases) {
        SCOPED_TRACE(c.label);
        UseWidth(c.widthDlu);
        ui::host::SetSysColor(ui::kColorBtnFace, c.face);
        BannerDlg dlg;
        if (c.gradient)
            dlg.banner.gradientColor = c.gradient;
        if (c.faceAfter)
            ui::host::SetSysColor(ui::kColorBtnFace, c.faceAfter);
        ModalThread run([&] { return dlg.DoModal(); });
        WindowRef w = ui::host::WaitForDialog(kBannerDialog);
        ASSERT_TRUE(w);
        auto p = ui::host::Snapshot(w);
        ASSERT_TRUE(p);
        auto banner = ui::host::ReadControl(w, kBanner);
        ASSERT_TRUE(banner);
        ASSERT_EQ(banner->rect.Width(), c.widthPx);
        for (const Pixel& px : c.pixels) {
            EXPECT_EQ(p->bitmap->At(banner->rect.left + px.column, banner->rect.top + 1), px.color)
                << "column " << px.column;
        }
        ASSERT_TRUE(ui::host::PressEscape(w));
        run.Join();
        ui::host::ResetSysColors();
    }
}

TEST_F(BannerTest, StripeColourArithmetic) {
    // c - c * d^2 / width^2 per component, in 64 bits.
    EXPECT_EQ(CPrefsStatic::Shade(ui::Rgb(255, 255, 255), 60000, 60000), ui::Rgb(0, 0, 0));
    EXPECT_EQ(CPrefsStatic::Shade(ui::Rgb(255, 255, 255), 0, 60000), ui::Rgb(255, 255, 255));
    EXPECT_EQ(CPrefsStatic::Shade(ui::Rgb(255, 0, 100), 30000, 60000), ui::Rgb(192, 0, 75));
    EXPECT_EQ(CPrefsStatic::Shade(ui::Rgb(10, 20, 30), 5, 0), ui::Rgb(10, 20, 30));
}

TEST_F(BannerTest, TitleAndSubtitle) {
    UseWidth(226);
    BannerDlg dlg;
    ModalThread run([&] { return dlg.DoModal(); });
    WindowRef w = ui::host::WaitForDialog(kBannerDialog);
    ASSERT_TRUE(w);
    auto p = ui::host::Snapshot(w);
    ASSERT_TRUE(p);
    auto banner = ui::host::ReadControl(w, kBanner);
    ASSERT_TRUE(banner);
    auto texts = TextsOf(*p, kBanner);
    ASSERT_EQ(texts.size(), 2u);
    // The subtitle comes with the background, the title with the paint.
    const auto& sub = texts[0];
    EXPECT_EQ(Narrow(sub.text), "V1.0.0");
    EXPECT_EQ(sub.format, 38u);
    EXPECT_EQ(sub.box.right, banner->rect.right - 5 + 1);
    EXPECT_EQ(sub.rect.top, banner->rect.top + 1);
    EXPECT_EQ(sub.height, 14);
    EXPECT_EQ(sub.weight, 700);
    EXPECT_EQ(Narrow(sub.face), "Verdana");
    EXPECT_EQ(sub.color, ui::SysColor(ui::kColorBtnHighlight));
    const auto& title = texts[1];
    EXPECT_EQ(Narrow(title.text), "Tarnel Configuration");
    EXPECT_EQ(title.format, 36u);
    EXPECT_EQ(title.box.left, banner->rect.left + 5);
    EXPECT_EQ(title.color, ui::SysColor(ui::kColorBtnFace));
    EXPECT_TRUE(dlg.banner.PassHitTestToParent());
    ASSERT_TRUE(ui::host::PressEscape(w));
    run.Join();
}

TEST_F(BannerTest, NewWindowTextRedrawsEverything) {
    UseWidth(226);
    BannerDlg dlg;
    ModalThread run([&] { return dlg.DoModal(); });
    WindowRef w = ui::host::WaitForDialog(kBannerDialog);
    ASSERT_TRUE(w);
    ASSERT_TRUE(ui::host::Settle(w));
    const int before = dlg.banner.erases;
    EXPECT_GE(before, 1);
    dlg.Post([&] { dlg.banner.SetText(TEXT("Renamed")); });
    ASSERT_TRUE(ui::host::Settle(w));
    ASSERT_TRUE(ui::host::Settle(w));
    EXPECT_EQ(dlg.banner.erases, before + 1);
    auto p = ui::host::Snapshot(w);
    ASSERT_TRUE(p);
    auto texts = TextsOf(*p, kBanner);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(Narrow(texts[1].text), "Renamed");
    ASSERT_TRUE(ui::host::PressEscape(w));
    run.Join();
}

}  // namespace
