// CPrefsStatic: the gradient background (rebuilt at every erase, in two variants depending on
// whether the system colours changed since construction), the subtitle and the title.
#include "tool/app/prefs_static.h"

CPrefsStatic::CPrefsStatic()
    : textColor(ui::SysColor(ui::kColorBtnFace)), gradientColor(ui::SysColor(ui::kColorBtnFace)) {}

ui::Color CPrefsStatic::Shade(ui::Color color, long long d, long long width) {
    if (width <= 0)
        return color;
    const long long w2 = width * width;
    auto part = [&](unsigned c) -> unsigned {
        long long v = static_cast<long long>(c) - static_cast<long long>(c) * d * d / w2;
        return static_cast<unsigned>(v) & 0xFF;
    };
    return ui::Rgb(part(ui::RedOf(color)), part(ui::GreenOf(color)), part(ui::BlueOf(color)));
}

bool CPrefsStatic::OnEraseBackground(ui::Dc& dc) {
    background_.reset();
    const ui::Rect client = ClientRect();
    const int width = client.right;
    const int height = client.Height();
    background_ = dc.CreateCompatible(width, height);
    ui::Dc& bg = *background_;
    int stripe = width / 128;
    if (stripe < 1)
        stripe = 1;
    if (gradientColor == ui::SysColor(ui::kColorBtnFace)) {
        int x = width;
        while (x > stripe) {
            x -= stripe;
            bg.FillSolid(ui::Rect{x, 0, x + stripe, height},
                         Shade(gradientColor, width - x, width));
        }
        bg.FillSolid(ui::Rect{0, 0, x, height}, ui::Rgb(0, 0, 0));
    } else {
        // The system colours changed after construction: stripes from the left, no black area.
        for (int k = 1; static_cast<long long>(k) * stripe <= width; ++k) {
            bg.FillSolid(ui::Rect{(k - 1) * stripe, 0, k * stripe, height},
                         Shade(gradientColor, width - k * stripe, width));
        }
    }
    if (!subtitleFont_.IsValid()) {
        ui::FontSpec spec;
        spec.height = 14;
        spec.weight = ui::kFwBold;
        spec.charset = 0;
        spec.pitchAndFamily = 48;
        spec.face = fontName.GetString();
        subtitleFont_ = ui::Font(spec);
    }
    ui::Rect r = client;
    r.right -= 5;
    r.left += 1;
    r.right += 1;
    r.top += 1;
    r.bottom += 1;
    void* previous = bg.SelectFont(subtitleFont_);
    bg.SetTransparent();
    bg.SetTextColor(ui::SysColor(ui::kColorBtnHighlight));
    bg.DrawText(subtitle.GetString(), subtitle.GetLength(), r,
                ui::kDtRight | ui::kDtVCenter | ui::kDtSingleLine);
    bg.RestoreFont(previous);
    dc.Copy(0, 0, width, height, bg, 0, 0);
    return true;
}

void CPrefsStatic::OnPaint(ui::Dc& dc) {
    void* previous = nullptr;
    ui::Font parent;
    if (fontName.IsEmpty()) {
        parent = ParentFont();
        previous = dc.SelectFont(parent);
    } else {
        if (!titleFont_.IsValid()) {
            ui::FontSpec spec;
            spec.height = fontHeight;
            spec.weight = fontWeight;
            spec.charset = 0;
            spec.pitchAndFamily = 48;
            spec.face = fontName.GetString();
            titleFont_ = ui::Font(spec);
        }
        previous = dc.SelectFont(titleFont_);
    }
    dc.SetTextColor(textColor);
    dc.SetTransparent();
    ui::Rect r = ClientRect();
    r.left += 5;
    ui::String title = GetText();
    dc.DrawText(title.c_str(), static_cast<int>(title.size()), r,
                ui::kDtLeft | ui::kDtVCenter | ui::kDtSingleLine);
    dc.RestoreFont(previous);
}
