// The dialog framework the tool's windows are built on: application, modal dialogs from resource
// templates, controls by id, timers, message boxes and owner drawing. One interface, two backends:
// real Win32 dialogs and GDI on Windows, a headless scriptable machine on the host.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/win32.h"

namespace ui {

using String = std::basic_string<WCHAR>;

struct Rect {
    LONG left = 0;
    LONG top = 0;
    LONG right = 0;
    LONG bottom = 0;
    LONG Width() const { return right - left; }
    LONG Height() const { return bottom - top; }
    bool operator==(const Rect&) const = default;
};

// 0x00BBGGRR, as COLORREF.
using Color = std::uint32_t;
constexpr Color Rgb(unsigned r, unsigned g, unsigned b) {
    return (r & 0xFF) | ((g & 0xFF) << 8) | ((b & 0xFF) << 16);
}
constexpr unsigned RedOf(Color c) {
    return c & 0xFF;
}
constexpr unsigned GreenOf(Color c) {
    return (c >> 8) & 0xFF;
}
constexpr unsigned BlueOf(Color c) {
    return (c >> 16) & 0xFF;
}

// System colour indexes (GetSysColor's).
constexpr int kColorWindow = 5;
constexpr int kColorWindowText = 8;
constexpr int kColorHighlight = 13;
constexpr int kColorBtnFace = 15;
constexpr int kColorBtnShadow = 16;
constexpr int kColorBtnText = 18;
constexpr int kColorBtnHighlight = 20;
Color SysColor(int index);

// Text-drawing format flags (DrawText's).
constexpr UINT kDtLeft = 0x0;
constexpr UINT kDtCenter = 0x1;
constexpr UINT kDtRight = 0x2;
constexpr UINT kDtVCenter = 0x4;
constexpr UINT kDtBottom = 0x8;
constexpr UINT kDtSingleLine = 0x20;

// Dialog results and button ids (the system's IDOK... values).
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;

// Message box types and icons (the system's MB_ values).
constexpr UINT kMbOk = 0x0;
constexpr UINT kMbOkCancel = 0x1;
constexpr UINT kMbYesNo = 0x4;
constexpr UINT kMbIconError = 0x10;
constexpr UINT kMbIconQuestion = 0x20;
constexpr UINT kMbIconWarning = 0x30;
constexpr UINT kMbIconInformation = 0x40;

constexpr int kFwNormal = 400;
constexpr int kFwBold = 700;

struct FontSpec {
    int height = 0;  // logical height, as CreateFont's
    int weight = kFwNormal;
    BYTE charset = 0;
    BYTE pitchAndFamily = 0;
    String face;
};

// A font object: owned (created here) or borrowed (a window's font).
class Font {
  public:
    Font() = default;
    explicit Font(const FontSpec& spec);
    static Font Borrow(void* native);
    Font(Font&& other) noexcept;
    Font& operator=(Font&& other) noexcept;
    Font(const Font&) = delete;
    Font& operator=(const Font&) = delete;
    ~Font();

    bool IsValid() const { return native_ != nullptr; }
    void* Native() const { return native_; }

  private:
    void* native_ = nullptr;
    bool owned_ = false;
};

struct TextMetrics {
    int height = 0;
    int ascent = 0;
    int descent = 0;
    int averageWidth = 0;
};

class MemoryDc;

// A device context: what owner drawing may do.
class Dc {
  public:
    virtual ~Dc() = default;
    // A solid brush pattern copy of the rectangle.
    virtual void FillSolid(const Rect& r, Color color) = 0;
    // Selects the font and returns the previously selected one (for RestoreFont).
    virtual void* SelectFont(const Font& font) = 0;
    virtual void RestoreFont(void* previous) = 0;
    virtual void SetTextColor(Color color) = 0;
    virtual void SetTransparent() = 0;
    // Draws text with DrawText's format flags; returns the text height.
    virtual int DrawText(const WCHAR* text, int length, const Rect& r, UINT format) = 0;
    virtual TextMetrics GetTextMetrics() = 0;
    // A memory context holding a bitmap of the given size compatible with this one.
    virtual std::unique_ptr<MemoryDc> CreateCompatible(int width, int height) = 0;
    // Copies width × height pixels from source (at sx, sy) to x, y.
    virtual void Copy(int x, int y, int width, int height, Dc& source, int sx, int sy) = 0;
};

class MemoryDc : public Dc {
  public:
    virtual int Width() const = 0;
    virtual int Height() const = 0;
};

// Notification codes passed to Dialog::OnNotify (list views' and common controls').
constexpr int kNmClick = -2;
constexpr int kNmDblClk = -3;
constexpr int kLvnItemChanged = -101;

struct Notification {
    int code = 0;
    int row = -1;  // list view row, -1 when none
};

class Dialog;

// A control drawn by its owner's code (an owner-drawn static): bound to a control of a dialog.
class DrawnControl {
  public:
    virtual ~DrawnControl();
    // Draws the background into dc; returns true when the background was erased.
    virtual bool OnEraseBackground(Dc& dc) { return (void)dc, false; }
    virtual void OnPaint(Dc& dc) { (void)dc; }
    // After the control's text changed (the default processing already done).
    virtual void OnTextChanged() { Invalidate(true); }
    // Whether a hit test on the control passes through to its parent.
    virtual bool PassHitTestToParent() const { return false; }

    Rect ClientRect() const;
    String GetText() const;
    void SetText(const WCHAR* text);
    void Invalidate(bool erase);
    // The font of the parent window.
    Font ParentFont() const;
    bool IsBound() const { return dialog_ != nullptr; }

  private:
    friend class Dialog;
    Dialog* dialog_ = nullptr;
    int id_ = 0;
};

// A modal dialog built from a dialog template.
class Dialog {
  public:
    explicit Dialog(UINT templateId);
    virtual ~Dialog();
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;

    // Runs the dialog on the calling thread until EndDialog; returns its result, -1 when the
    // dialog cannot be created.
    INT_PTR DoModal(Dialog* owner = nullptr);
    void EndDialog(INT_PTR result);
    UINT TemplateId() const { return templateId_; }

    // Queues work to the dialog's thread; thread-safe, never waits. Dropped when the dialog is
    // not running (or closes before it runs).
    void Post(std::function<void()> work);

    // ---- the window and its controls (dialog thread only) ----
    void SetWindowText(const WCHAR* text);
    String GetWindowText() const;
    Rect ClientRect() const;
    // A control's window rectangle in the dialog's client coordinates, normalised.
    Rect ControlRect(int id) const;
    void Invalidate();

    void SetItemText(int id, const WCHAR* text);
    String GetItemText(int id) const;
    void EnableItem(int id, bool enable);
    bool IsItemEnabled(int id) const;
    void ShowItem(int id, bool show);
    bool IsItemVisible(int id) const;
    void CheckItem(int id, bool checked);
    bool IsItemChecked(int id) const;
    void SetItemFont(int id, const Font& font);
    void SetFocus(int id);

    void ProgressSetRange(int id, int low, int high);
    void ProgressSetPos(int id, int pos);

    void ListViewSetExtendedStyle(int id, DWORD style);
    void ListViewInsertColumn(int id, int column, const WCHAR* title, int width, int format);
    int ListViewInsertItem(int id, int row, const WCHAR* text);
    void ListViewSetItemText(int id, int row, int column, const WCHAR* text);
    String ListViewGetItemText(int id, int row, int column) const;
    void ListViewSetItemData(int id, int row, LONG_PTR data);
    LONG_PTR ListViewGetItemData(int id, int row) const;
    int ListViewGetItemCount(int id) const;
    void ListViewDeleteAllItems(int id);
    int ListViewGetSelection(int id) const;  // -1 when none

    int ComboAddString(int id, const WCHAR* text);
    void ComboResetContent(int id);
    void ComboSetCurSel(int id, int index);
    int ComboGetCurSel(int id) const;
    int ComboGetCount(int id) const;
    String ComboGetText(int id, int index) const;

    int ListBoxAddString(int id, const WCHAR* text);
    void ListBoxResetContent(int id);
    int ListBoxGetCount(int id) const;
    String ListBoxGetText(int id, int index) const;
    int ListBoxGetCurSel(int id) const;
    void ListBoxSetCurSel(int id, int index);

    // IPv4 address controls: the address in host order (first field in the top byte).
    void IpSetAddress(int id, DWORD address);
    // Returns the number of non-blank fields.
    int IpGetAddress(int id, DWORD& address) const;
    void IpClear(int id);

    void SetTimer(UINT_PTR id, UINT milliseconds);
    void KillTimer(UINT_PTR id);

    // Binds a drawn control to control id (before or during OnInitDialog).
    void BindDrawn(int id, DrawnControl& control);

    struct Impl;
    Impl* GetImpl() const { return impl_.get(); }

  protected:
    virtual bool OnInitDialog() { return true; }
    // Commands by control id; the default ends the dialog for OK and Cancel.
    virtual void OnCommand(int id, int code);
    virtual void OnOK() { EndDialog(kIdOk); }
    virtual void OnCancel() { EndDialog(kIdCancel); }
    virtual void OnTimer(UINT_PTR id) { (void)id; }
    virtual void OnNotify(int id, const Notification& n) { (void)id, (void)n; }
    // Paints the client area over the controls' face; the default draws nothing.
    virtual void OnPaint(Dc& dc) { (void)dc; }
    virtual bool HasPaint() const { return false; }
    virtual void OnDestroy() {}

  private:
    friend struct Impl;
    friend struct DialogHooks;  // the backend's way in to the handlers
    friend class DrawnControl;
    UINT templateId_;
    std::unique_ptr<Impl> impl_;
};

// The system message box, owned by dialog (may be null); returns the button id.
int MessageBox(Dialog* owner, const WCHAR* text, const WCHAR* caption, UINT type);

// The hourglass while it lives.
class WaitCursor {
  public:
    WaitCursor();
    ~WaitCursor();
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

// Resources: the program's resource script, given before any dialog runs; the host backend reads
// its templates, strings and version from it, the Windows backend uses the linked resources.
void UseResourceScript(const char* script, const char* header);
String LoadString(UINT id);
// The product version of a file's version resource (an empty path: the running program).
bool GetProductVersion(const WCHAR* path, DWORD& mostSignificant, DWORD& leastSignificant);

// Common-control classes (InitCommonControlsEx with the class mask).
bool InitCommonControls(DWORD classMask);

// The application object: InitInstance runs the program; ExitInstance gives the exit code.
class App {
  public:
    App();
    virtual ~App();
    virtual bool InitInstance() = 0;
    virtual int ExitInstance() { return 0; }
    // InitInstance, then ExitInstance; the exit code of the process.
    int Run();

    void SetRegistryKey(const WCHAR* company) { registryKey_ = company ? company : String(); }
    const String& RegistryKey() const { return registryKey_; }
    // The program's name below the company key; the profile lives in
    // HKEY_CURRENT_USER\Software\<company>\<profile name>\<section>.
    void SetProfileName(const WCHAR* name) { profileName_ = name ? name : String(); }
    const String& ProfileName() const { return profileName_; }
    // A DWORD value of the per-user profile; `fallback` when there is no such value or no
    // registry key has been set.
    UINT GetProfileInt(const WCHAR* section, const WCHAR* entry, int fallback) const;
    bool WriteProfileInt(const WCHAR* section, const WCHAR* entry, int value) const;
    Dialog* mainWindow = nullptr;

  private:
    String SectionKey(const WCHAR* section) const;
    String registryKey_;
    String profileName_;
};

}  // namespace ui
