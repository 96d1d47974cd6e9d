// Bitmaps, the recording device context and the font model of the host backend.
#include "platform/ui/host/canvas.h"

#include <algorithm>
#include <cstdlib>

namespace ui::host {

int MulDiv(int a, int b, int c) {
    if (c == 0)
        return -1;
    long long p = static_cast<long long>(a) * b;
    long long half = (c < 0 ? -c : c) / 2;
    long long q = ((p < 0) != (c < 0)) ? (p - half) / c : (p + half) / c;
    return static_cast<int>(q);
}

int FontCellHeight(const FontSpec& spec) {
    int h = std::abs(spec.height);
    return h == 0 ? 16 : h;
}

TextMetrics FontMetrics(const FontSpec& spec) {
    TextMetrics m;
    m.height = FontCellHeight(spec);
    m.descent = m.height / 5;
    m.ascent = m.height - m.descent;
    m.averageWidth = (m.height + 1) / 2;
    return m;
}

String StripPrefix(const String& text) {
    String out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'&') {
            if (i + 1 < text.size() && text[i + 1] == u'&') {
                out += u'&';
                ++i;
            }
            continue;
        }
        out += text[i];
    }
    return out;
}

int TextWidth(const FontSpec& spec, const String& text) {
    return static_cast<int>(text.size()) * FontMetrics(spec).averageWidth;
}

HostFont* SystemFont() {
    static HostFont font{FontSpec{16, kFwBold, 0, 0, u"System"}};
    return &font;
}

BitmapDc::BitmapDc(std::shared_ptr<Bitmap> bitmap, int originX, int originY, Rect clip,
                   std::vector<TextPlacement>* record, int control, int recordX, int recordY)
    : bitmap_(std::move(bitmap)),
      originX_(originX),
      originY_(originY),
      clip_(clip),
      record_(record),
      control_(control),
      recordX_(recordX),
      recordY_(recordY) {
    clip_.left = std::max<LONG>(clip_.left, 0);
    clip_.top = std::max<LONG>(clip_.top, 0);
    clip_.right = std::min<LONG>(clip_.right, bitmap_->width);
    clip_.bottom = std::min<LONG>(clip_.bottom, bitmap_->height);
}

BitmapDc::BitmapDc(int width, int height)
    : BitmapDc(std::make_shared<Bitmap>(std::max(width, 0), std::max(height, 0)), 0, 0,
               Rect{0, 0, std::max(width, 0), std::max(height, 0)}, nullptr, 0, 0, 0) {}

void BitmapDc::SetPixel(int x, int y, Color c) {
    x += originX_;
    y += originY_;
    if (x < clip_.left || x >= clip_.right || y < clip_.top || y >= clip_.bottom)
        return;
    bitmap_->pixels[static_cast<size_t>(y) * bitmap_->width + x] = c;
}

void BitmapDc::FillSolid(const Rect& r, Color color) {
    LONG left = std::max<LONG>(r.left + originX_, clip_.left);
    LONG right = std::min<LONG>(r.right + originX_, clip_.right);
    LONG top = std::max<LONG>(r.top + originY_, clip_.top);
    LONG bottom = std::min<LONG>(r.bottom + originY_, clip_.bottom);
    for (LONG y = top; y < bottom; ++y) {
        Color* row = &bitmap_->pixels[static_cast<size_t>(y) * bitmap_->width];
        std::fill(row + left, row + std::max(left, right), color);
    }
}

void BitmapDc::Frame(const Rect& r, Color topLeft, Color bottomRight) {
    FillSolid(Rect{r.left, r.top, r.right, r.top + 1}, topLeft);
    FillSolid(Rect{r.left, r.top, r.left + 1, r.bottom}, topLeft);
    FillSolid(Rect{r.left, r.bottom - 1, r.right, r.bottom}, bottomRight);
    FillSolid(Rect{r.right - 1, r.top, r.right, r.bottom}, bottomRight);
}

void* BitmapDc::SelectFont(const Font& font) {
    HostFont* previous = font_;
    if (font.IsValid())
        font_ = static_cast<HostFont*>(font.Native());
    return previous;
}

void BitmapDc::RestoreFont(void* previous) {
    font_ = static_cast<HostFont*>(previous);
}

const FontSpec& BitmapDc::CurrentFont() const {
    return (font_ ? font_ : SystemFont())->spec;
}

TextMetrics BitmapDc::GetTextMetrics() {
    return FontMetrics(CurrentFont());
}

int BitmapDc::DrawText(const WCHAR* text, int length, const Rect& r, UINT format) {
    String raw = length < 0 ? String(text) : String(text, static_cast<size_t>(length));
    String shown = (format & kDtNoPrefix) ? raw : StripPrefix(raw);
    const FontSpec& font = CurrentFont();
    TextMetrics m = FontMetrics(font);

    std::vector<String> lines;
    if (format & kDtSingleLine) {
        String one;
        for (WCHAR c : shown)
            one += (c == u'\r' || c == u'\n') ? u' ' : c;
        lines.push_back(one);
    } else {
        String cur;
        for (size_t i = 0; i < shown.size(); ++i) {
            if (shown[i] == u'\r')
                continue;
            if (shown[i] == u'\n') {
                lines.push_back(cur);
                cur.clear();
                continue;
            }
            cur += shown[i];
        }
        lines.push_back(cur);
    }
    int blockHeight = static_cast<int>(lines.size()) * m.height;
    int top = r.top;
    if (format & kDtSingleLine) {
        if (format & kDtVCenter) {
            top = r.top + (r.Height() - m.height) / 2;
        } else if (format & kDtBottom) {
            top = r.bottom - m.height;
        }
    }
    // Only what falls inside the rectangle is drawn, as DrawText clips.
    Rect clipSave = clip_;
    clip_.left = std::max<LONG>(clip_.left, r.left + originX_);
    clip_.top = std::max<LONG>(clip_.top, r.top + originY_);
    clip_.right = std::min<LONG>(clip_.right, r.right + originX_);
    clip_.bottom = std::min<LONG>(clip_.bottom, r.bottom + originY_);
    for (size_t i = 0; i < lines.size(); ++i) {
        const String& line = lines[i];
        int width = TextWidth(font, line);
        int left = r.left;
        if (format & kDtCenter) {
            left = r.left + (r.Width() - width) / 2;
        } else if (format & kDtRight) {
            left = r.right - width;
        }
        int y = top + static_cast<int>(i) * m.height;
        Rect box{left, y, left + width, y + m.height};
        if (!transparent_)
            FillSolid(box, Rgb(255, 255, 255));
        // A glyph is a block from the cap line to the base line, one pixel inside its cell.
        int capTop = y + std::max(1, m.height / 4);
        int base = y + m.ascent;
        for (size_t k = 0; k < line.size(); ++k) {
            if (line[k] == u' ')
                continue;
            int x0 = left + static_cast<int>(k) * m.averageWidth;
            FillSolid(Rect{x0 + 1, capTop, x0 + std::max(2, m.averageWidth - 1), base}, textColor_);
        }
        if (record_) {
            TextPlacement p;
            p.text = line;
            p.rect =
                Rect{r.left + recordX_, r.top + recordY_, r.right + recordX_, r.bottom + recordY_};
            p.box = Rect{box.left + recordX_, box.top + recordY_, box.right + recordX_,
                         box.bottom + recordY_};
            p.format = format;
            p.face = font.face;
            p.height = m.height;
            p.weight = font.weight;
            p.color = textColor_;
            p.control = control_;
            record_->push_back(std::move(p));
        }
    }
    clip_ = clipSave;
    if (format & kDtSingleLine && (format & (kDtVCenter | kDtBottom))) {
        return top - r.top + m.height;
    }
    return blockHeight;
}

// Text drawn into the new context is recorded as if the bitmap were later copied to this
// context's origin, which is how owner drawing uses it.
std::unique_ptr<MemoryDc> BitmapDc::CreateCompatible(int width, int height) {
    auto dc = std::make_unique<BitmapDc>(width, height);
    dc->record_ = record_;
    dc->control_ = control_;
    dc->recordX_ = recordX_;
    dc->recordY_ = recordY_;
    return dc;
}

void BitmapDc::Copy(int x, int y, int width, int height, Dc& source, int sx, int sy) {
    auto* src = dynamic_cast<BitmapDc*>(&source);
    if (!src)
        return;
    for (int row = 0; row < height; ++row) {
        int syy = sy + row + src->originY_;
        if (syy < 0 || syy >= src->bitmap_->height)
            continue;
        for (int col = 0; col < width; ++col) {
            int sxx = sx + col + src->originX_;
            if (sxx < 0 || sxx >= src->bitmap_->width)
                continue;
            SetPixel(x + col, y + row, src->bitmap_->At(sxx, syy));
        }
    }
}

}  // namespace ui::host

// Fonts of the host backend are descriptions; the model measures them.
namespace ui {

Font::Font(const FontSpec& spec) : native_(new host::HostFont{spec}), owned_(true) {}

Font Font::Borrow(void* native) {
    Font f;
    f.native_ = native;
    f.owned_ = false;
    return f;
}

Font::Font(Font&& other) noexcept : native_(other.native_), owned_(other.owned_) {
    other.native_ = nullptr;
    other.owned_ = false;
}

Font& Font::operator=(Font&& other) noexcept {
    if (this != &other) {
        if (owned_)
            delete static_cast<host::HostFont*>(native_);
        native_ = other.native_;
        owned_ = other.owned_;
        other.native_ = nullptr;
        other.owned_ = false;
    }
    return *this;
}

Font::~Font() {
    if (owned_)
        delete static_cast<host::HostFont*>(native_);
}

}  // namespace ui
