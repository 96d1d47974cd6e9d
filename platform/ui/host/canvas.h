// The host's drawing surface: 32-bit bitmaps, a device context over them that records every text
// placement, and the fixed font model that makes layouts the same on every machine.
//
// Font model: a font of logical height h (its magnitude; 0 means 16) has a character cell h pixels
// high; ascent h - h/5, descent h/5; every character advances (h + 1) / 2 pixels, bold included.
// A dialog font of p points is h = MulDiv(p, 96, 72). Glyphs are drawn as solid blocks inside their
// cells; the text itself is kept in the placement record.
#pragma once

#include <memory>
#include <vector>

#include "platform/ui/ui.h"

namespace ui::host {

constexpr UINT kDtNoPrefix = 0x800;

struct HostFont {
    FontSpec spec;
};

int FontCellHeight(const FontSpec& spec);
TextMetrics FontMetrics(const FontSpec& spec);
// Pixel width of text in font (prefix characters removed when prefix is true).
int TextWidth(const FontSpec& spec, const String& text);
// Text with '&' prefixes resolved ("&&" gives "&", a lone "&" disappears).
String StripPrefix(const String& text);
int MulDiv(int a, int b, int c);

// Pixels are COLORREF values (0x00BBGGRR), rows top-down.
struct Bitmap {
    int width = 0;
    int height = 0;
    std::vector<Color> pixels;
    Bitmap(int w, int h, Color fill = 0)
        : width(w), height(h), pixels(static_cast<size_t>(w) * h, fill) {}
    Color At(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

struct TextPlacement {
    String text;  // as drawn, prefixes resolved
    Rect rect;    // the rectangle given to DrawText, in window client coordinates
    Rect box;     // where the text landed
    UINT format = 0;
    String face;
    int height = 0;
    int weight = 0;
    Color color = 0;
    int control = 0;  // the control drawing it; 0 for the dialog itself
};

class BitmapDc : public MemoryDc {
  public:
    // Draws into bitmap with (originX, originY) as its 0, 0 and clip in bitmap coordinates;
    // text placements go to record (may be null) in coordinates offset by recordOffset.
    BitmapDc(std::shared_ptr<Bitmap> bitmap, int originX, int originY, Rect clip,
             std::vector<TextPlacement>* record, int control, int recordX, int recordY);
    // A memory context over a new bitmap.
    BitmapDc(int width, int height);

    void FillSolid(const Rect& r, Color color) override;
    void* SelectFont(const Font& font) override;
    void RestoreFont(void* previous) override;
    void SetTextColor(Color color) override { textColor_ = color; }
    void SetTransparent() override { transparent_ = true; }
    int DrawText(const WCHAR* text, int length, const Rect& r, UINT format) override;
    TextMetrics GetTextMetrics() override;
    std::unique_ptr<MemoryDc> CreateCompatible(int width, int height) override;
    void Copy(int x, int y, int width, int height, Dc& source, int sx, int sy) override;
    int Width() const override { return bitmap_->width; }
    int Height() const override { return bitmap_->height; }

    const FontSpec& CurrentFont() const;
    void SetPixel(int x, int y, Color c);
    void Frame(const Rect& r, Color topLeft, Color bottomRight);
    const Bitmap& Pixels() const { return *bitmap_; }

  private:
    std::shared_ptr<Bitmap> bitmap_;
    int originX_ = 0, originY_ = 0;
    Rect clip_;
    std::vector<TextPlacement>* record_ = nullptr;
    int control_ = 0;
    int recordX_ = 0, recordY_ = 0;
    HostFont* font_ = nullptr;
    Color textColor_ = 0;
    bool transparent_ = false;
};

// The system font every context starts with.
HostFont* SystemFont();

}  // namespace ui::host
