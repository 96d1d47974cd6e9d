// Win32 backend: fonts and device contexts over GDI.
#include <memory>

#include "platform/ui/win32/win32_ui.h"

namespace ui {

Font::Font(const FontSpec& spec)
    : native_(::CreateFontW(spec.height, 0, 0, 0, spec.weight, FALSE, FALSE, FALSE, spec.charset, 0,
                            0, 0, spec.pitchAndFamily, spec.face.c_str())),
      owned_(true) {}

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
        if (owned_ && native_)
            ::DeleteObject(static_cast<HFONT>(native_));
        native_ = other.native_;
        owned_ = other.owned_;
        other.native_ = nullptr;
        other.owned_ = false;
    }
    return *this;
}

Font::~Font() {
    if (owned_ && native_)
        ::DeleteObject(static_cast<HFONT>(native_));
}

namespace win32 {

GdiDc::GdiDc(HDC dc) : dc_(dc) {}

GdiDc::GdiDc(HDC compatibleWith, int width, int height) : width_(width), height_(height) {
    dc_ = ::CreateCompatibleDC(compatibleWith);
    bitmap_ = ::CreateCompatibleBitmap(compatibleWith, width, height);
    if (dc_ && bitmap_)
        oldBitmap_ = ::SelectObject(dc_, bitmap_);
    owned_ = true;
}

GdiDc::~GdiDc() {
    if (!owned_)
        return;
    if (oldBitmap_)
        ::SelectObject(dc_, oldBitmap_);
    if (bitmap_)
        ::DeleteObject(bitmap_);
    if (dc_)
        ::DeleteDC(dc_);
}

void GdiDc::FillSolid(const Rect& r, Color color) {
    HBRUSH brush = ::CreateSolidBrush(color);
    HGDIOBJ old = ::SelectObject(dc_, brush);
    ::PatBlt(dc_, r.left, r.top, r.right - r.left, r.bottom - r.top, PATCOPY);
    ::SelectObject(dc_, old);
    ::DeleteObject(brush);
}

void* GdiDc::SelectFont(const Font& font) {
    HGDIOBJ current = ::GetCurrentObject(dc_, OBJ_FONT);
    if (!font.IsValid())
        return current;
    return ::SelectObject(dc_, static_cast<HFONT>(font.Native()));
}

void GdiDc::RestoreFont(void* previous) {
    if (previous)
        ::SelectObject(dc_, static_cast<HGDIOBJ>(previous));
}

void GdiDc::SetTextColor(Color color) {
    ::SetTextColor(dc_, color);
}
void GdiDc::SetTransparent() {
    ::SetBkMode(dc_, TRANSPARENT);
}

int GdiDc::DrawText(const WCHAR* text, int length, const Rect& r, UINT format) {
    RECT rc{r.left, r.top, r.right, r.bottom};
    return ::DrawTextW(dc_, text, length, &rc, format);
}

TextMetrics GdiDc::GetTextMetrics() {
    TEXTMETRICW tm{};
    ::GetTextMetricsW(dc_, &tm);
    return TextMetrics{tm.tmHeight, tm.tmAscent, tm.tmDescent, tm.tmAveCharWidth};
}

std::unique_ptr<MemoryDc> GdiDc::CreateCompatible(int width, int height) {
    return std::make_unique<GdiDc>(dc_, width, height);
}

void GdiDc::Copy(int x, int y, int width, int height, Dc& source, int sx, int sy) {
    auto* src = dynamic_cast<GdiDc*>(&source);
    if (src)
        ::BitBlt(dc_, x, y, width, height, src->dc_, sx, sy, SRCCOPY);
}

}  // namespace win32
}  // namespace ui
