// Win32 backend internals: the GDI device context and the dialog's window state.
#pragma once

#include <map>
#include <mutex>

#include "platform/ui/ui.h"

#include <commctrl.h>

namespace ui {

struct DialogHooks {
    static bool Init(Dialog& d) { return d.OnInitDialog(); }
    static void Command(Dialog& d, int id, int code) { d.OnCommand(id, code); }
    static void Timer(Dialog& d, UINT_PTR id) { d.OnTimer(id); }
    static void Notify(Dialog& d, int id, const Notification& n) { d.OnNotify(id, n); }
    static bool HasPaint(Dialog& d) { return d.HasPaint(); }
    static void Paint(Dialog& d, Dc& dc) { d.OnPaint(dc); }
    static void Destroy(Dialog& d) { d.OnDestroy(); }
};

struct Dialog::Impl {
    std::mutex lock;  // guards hwnd for Post
    HWND hwnd = nullptr;
    std::map<int, DrawnControl*> drawn;
};

namespace win32 {

class GdiDc : public MemoryDc {
  public:
    explicit GdiDc(HDC dc);
    GdiDc(HDC compatibleWith, int width, int height);
    ~GdiDc() override;
    void FillSolid(const Rect& r, Color color) override;
    void* SelectFont(const Font& font) override;
    void RestoreFont(void* previous) override;
    void SetTextColor(Color color) override;
    void SetTransparent() override;
    int DrawText(const WCHAR* text, int length, const Rect& r, UINT format) override;
    TextMetrics GetTextMetrics() override;
    std::unique_ptr<MemoryDc> CreateCompatible(int width, int height) override;
    void Copy(int x, int y, int width, int height, Dc& source, int sx, int sy) override;
    int Width() const override { return width_; }
    int Height() const override { return height_; }

  private:
    HDC dc_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ oldBitmap_ = nullptr;
    bool owned_ = false;
    int width_ = 0, height_ = 0;
};

HWND WindowOf(const Dialog& d);

}  // namespace win32
}  // namespace ui
