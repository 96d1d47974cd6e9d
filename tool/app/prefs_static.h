// CPrefsStatic: the banner across the top of the main dialog, an owner-drawn static with a
// horizontal gradient, the title at the left and a subtitle at the right.
#pragma once

#include <memory>

#include "platform/ui/ui.h"
#include "tool/support/xstring.h"

class CPrefsStatic : public ui::DrawnControl {
  public:
    CPrefsStatic();

    // Set by the owner before the first paint; the fonts are made from them once.
    XStringW fontName;  // empty: the parent's font for the title
    int fontHeight = 12;
    int fontWeight = ui::kFwNormal;
    ui::Color textColor;
    ui::Color gradientColor;  // the system button face when constructed
    XStringW subtitle;

    // The colour of a stripe at distance d from the right edge of a banner `width` wide: each
    // component c becomes c - c * d^2 / width^2, kept to 8 bits. 64-bit: 255 * d^2 overflows 32
    // bits from about 2900 pixels on.
    static ui::Color Shade(ui::Color color, long long d, long long width);

    bool OnEraseBackground(ui::Dc& dc) override;
    void OnPaint(ui::Dc& dc) override;
    bool PassHitTestToParent() const override { return true; }

  private:
    ui::Font titleFont_;
    ui::Font subtitleFont_;
    std::unique_ptr<ui::MemoryDc> background_;
};
