// Win32 backend: modal dialogs from the linked templates, control access by message, posted
// work through a private message, and drawn controls by window subclassing.
#include <vector>

#include "platform/ui/win32/win32_ui.h"

namespace ui {
namespace {

constexpr UINT kPostedWork = WM_APP + 0x10;

HWND Item(const Dialog& d, int id) {
    return ::GetDlgItem(win32::WindowOf(d), id);
}

LRESULT Send(const Dialog& d, int id, UINT msg, WPARAM wp = 0, LPARAM lp = 0) {
    return ::SendDlgItemMessageW(win32::WindowOf(d), id, msg, wp, lp);
}

String TextOf(HWND hwnd) {
    if (!hwnd)
        return String();
    int length = ::GetWindowTextLengthW(hwnd);
    std::vector<WCHAR> buffer(static_cast<size_t>(length) + 1);
    int got = ::GetWindowTextW(hwnd, buffer.data(), length + 1);
    return String(buffer.data(), static_cast<size_t>(got > 0 ? got : 0));
}

LRESULT CALLBACK DrawnProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR id, DWORD_PTR data) {
    auto* control = reinterpret_cast<DrawnControl*>(data);
    switch (msg) {
        case WM_ERASEBKGND: {
            win32::GdiDc dc(reinterpret_cast<HDC>(wp));
            if (control->OnEraseBackground(dc))
                return 1;
            break;
        }
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC hdc = ::BeginPaint(hwnd, &ps);
            {
                win32::GdiDc dc(hdc);
                control->OnPaint(dc);
            }
            ::EndPaint(hwnd, &ps);
            return 0;
        }
        case WM_SETTEXT: {
            LRESULT r = ::DefSubclassProc(hwnd, msg, wp, lp);
            control->OnTextChanged();
            return r;
        }
        case WM_NCHITTEST: {
            LRESULT r = ::DefSubclassProc(hwnd, msg, wp, lp);
            return control->PassHitTestToParent() ? HTTRANSPARENT : r;
        }
        case WM_NCDESTROY:
            ::RemoveWindowSubclass(hwnd, DrawnProc, id);
            break;
    }
    return ::DefSubclassProc(hwnd, msg, wp, lp);
}

void Subclass(HWND dialog, int id, DrawnControl* control) {
    if (HWND item = ::GetDlgItem(dialog, id)) {
        ::SetWindowSubclass(item, DrawnProc, static_cast<UINT_PTR>(id),
                            reinterpret_cast<DWORD_PTR>(control));
    }
}

}  // namespace

HWND win32::WindowOf(const Dialog& d) {
    return d.GetImpl()->hwnd;
}

struct DialogProcs {
    static INT_PTR CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
        Dialog* d = reinterpret_cast<Dialog*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
        if (msg == WM_INITDIALOG) {
            d = reinterpret_cast<Dialog*>(lp);
            ::SetWindowLongPtrW(hwnd, DWLP_USER, lp);
            {
                std::lock_guard<std::mutex> lock(d->GetImpl()->lock);
                d->GetImpl()->hwnd = hwnd;
            }
            for (auto& [id, control] : d->GetImpl()->drawn)
                Subclass(hwnd, id, control);
            return DialogHooks::Init(*d) ? TRUE : FALSE;
        }
        if (!d)
            return FALSE;
        switch (msg) {
            case WM_COMMAND:
                DialogHooks::Command(*d, LOWORD(wp), HIWORD(wp));
                return TRUE;
            case WM_TIMER:
                DialogHooks::Timer(*d, wp);
                return TRUE;
            case WM_NCHITTEST: {
                // A drawn control that passes its hit tests on (a banner in the caption's
                // place) moves the window when dragged.
                if (::DefWindowProcW(hwnd, msg, wp, lp) != HTCLIENT)
                    return FALSE;
                POINT pt{static_cast<short>(LOWORD(lp)), static_cast<short>(HIWORD(lp))};
                for (auto& [id, control] : d->GetImpl()->drawn) {
                    RECT r{};
                    HWND item = ::GetDlgItem(hwnd, id);
                    if (item && control->PassHitTestToParent() && ::GetWindowRect(item, &r) &&
                        ::PtInRect(&r, pt)) {
                        ::SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, HTCAPTION);
                        return TRUE;
                    }
                }
                return FALSE;
            }
            case WM_NOTIFY: {
                auto* hdr = reinterpret_cast<NMHDR*>(lp);
                Notification n;
                n.code = static_cast<int>(hdr->code);
                if (hdr->code == LVN_ITEMCHANGED) {
                    n.row = reinterpret_cast<NMLISTVIEW*>(lp)->iItem;
                } else if (hdr->code == NM_DBLCLK || hdr->code == NM_CLICK) {
                    n.row = reinterpret_cast<NMITEMACTIVATE*>(lp)->iItem;
                }
                DialogHooks::Notify(*d, static_cast<int>(hdr->idFrom), n);
                return FALSE;
            }
            case WM_PAINT:
                if (DialogHooks::HasPaint(*d)) {
                    PAINTSTRUCT ps;
                    HDC hdc = ::BeginPaint(hwnd, &ps);
                    {
                        win32::GdiDc dc(hdc);
                        DialogHooks::Paint(*d, dc);
                    }
                    ::EndPaint(hwnd, &ps);
                    return TRUE;
                }
                return FALSE;
            case kPostedWork: {
                auto* work = reinterpret_cast<std::function<void()>*>(lp);
                (*work)();
                delete work;
                return TRUE;
            }
            case WM_DESTROY: {
                DialogHooks::Destroy(*d);
                {
                    std::lock_guard<std::mutex> lock(d->GetImpl()->lock);
                    d->GetImpl()->hwnd = nullptr;
                }
                // Work posted before the window went: dropped, as the host backend drops it.
                MSG m;
                while (::PeekMessageW(&m, hwnd, kPostedWork, kPostedWork, PM_REMOVE)) {
                    delete reinterpret_cast<std::function<void()>*>(m.lParam);
                }
                return FALSE;
            }
        }
        return FALSE;
    }
};

Dialog::Dialog(UINT templateId) : templateId_(templateId), impl_(std::make_unique<Impl>()) {}

Dialog::~Dialog() {
    for (auto& [id, control] : impl_->drawn)
        control->dialog_ = nullptr;
}

INT_PTR Dialog::DoModal(Dialog* owner) {
    HWND parent = owner ? owner->impl_->hwnd : nullptr;
    return ::DialogBoxParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(templateId_), parent,
                             &DialogProcs::Proc, reinterpret_cast<LPARAM>(this));
}

void Dialog::EndDialog(INT_PTR result) {
    if (impl_->hwnd)
        ::EndDialog(impl_->hwnd, result);
}

void Dialog::Post(std::function<void()> work) {
    std::lock_guard<std::mutex> lock(impl_->lock);
    if (!impl_->hwnd)
        return;
    auto* item = new std::function<void()>(std::move(work));
    if (!::PostMessageW(impl_->hwnd, kPostedWork, 0, reinterpret_cast<LPARAM>(item)))
        delete item;
}

void Dialog::OnCommand(int id, int code) {
    (void)code;
    if (id == kIdOk) {
        OnOK();
    } else if (id == kIdCancel) {
        OnCancel();
    }
}

void Dialog::SetWindowText(const WCHAR* text) {
    ::SetWindowTextW(impl_->hwnd, text);
}
String Dialog::GetWindowText() const {
    return TextOf(impl_->hwnd);
}
Rect Dialog::ClientRect() const {
    RECT rc{};
    ::GetClientRect(impl_->hwnd, &rc);
    return Rect{rc.left, rc.top, rc.right, rc.bottom};
}
Rect Dialog::ControlRect(int id) const {
    RECT rc{};
    ::GetWindowRect(Item(*this, id), &rc);
    POINT pts[2] = {{std::min(rc.left, rc.right), std::min(rc.top, rc.bottom)},
                    {std::max(rc.left, rc.right), std::max(rc.top, rc.bottom)}};
    ::MapWindowPoints(nullptr, impl_->hwnd, pts, 2);
    return Rect{pts[0].x, pts[0].y, pts[1].x, pts[1].y};
}
void Dialog::Invalidate() {
    ::InvalidateRect(impl_->hwnd, nullptr, TRUE);
}

void Dialog::SetItemText(int id, const WCHAR* text) {
    ::SetDlgItemTextW(impl_->hwnd, id, text);
}
String Dialog::GetItemText(int id) const {
    return TextOf(Item(*this, id));
}
void Dialog::EnableItem(int id, bool enable) {
    ::EnableWindow(Item(*this, id), enable);
}
bool Dialog::IsItemEnabled(int id) const {
    return ::IsWindowEnabled(Item(*this, id)) != FALSE;
}
void Dialog::ShowItem(int id, bool show) {
    ::ShowWindow(Item(*this, id), show ? SW_SHOW : SW_HIDE);
}
bool Dialog::IsItemVisible(int id) const {
    return (::GetWindowLongW(Item(*this, id), GWL_STYLE) & WS_VISIBLE) != 0;
}
void Dialog::CheckItem(int id, bool checked) {
    ::CheckDlgButton(impl_->hwnd, id, checked ? BST_CHECKED : BST_UNCHECKED);
}
bool Dialog::IsItemChecked(int id) const {
    return ::IsDlgButtonChecked(impl_->hwnd, id) == BST_CHECKED;
}
void Dialog::SetItemFont(int id, const Font& font) {
    Send(*this, id, WM_SETFONT, reinterpret_cast<WPARAM>(font.Native()), TRUE);
}
void Dialog::SetFocus(int id) {
    ::SetFocus(Item(*this, id));
}

void Dialog::ProgressSetRange(int id, int low, int high) {
    Send(*this, id, PBM_SETRANGE32, static_cast<WPARAM>(low), static_cast<LPARAM>(high));
}
void Dialog::ProgressSetPos(int id, int pos) {
    Send(*this, id, PBM_SETPOS, static_cast<WPARAM>(pos));
}

void Dialog::ListViewSetExtendedStyle(int id, DWORD style) {
    Send(*this, id, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, static_cast<LPARAM>(style));
}
void Dialog::ListViewInsertColumn(int id, int column, const WCHAR* title, int width, int format) {
    LVCOLUMNW col{};
    col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
    col.fmt = format;
    col.cx = width;
    col.pszText = const_cast<WCHAR*>(title);
    Send(*this, id, LVM_INSERTCOLUMNW, static_cast<WPARAM>(column), reinterpret_cast<LPARAM>(&col));
}
int Dialog::ListViewInsertItem(int id, int row, const WCHAR* text) {
    LVITEMW item{};
    item.mask = LVIF_TEXT;
    item.iItem = row;
    item.pszText = const_cast<WCHAR*>(text);
    return static_cast<int>(Send(*this, id, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
}
void Dialog::ListViewSetItemText(int id, int row, int column, const WCHAR* text) {
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = const_cast<WCHAR*>(text);
    Send(*this, id, LVM_SETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}
String Dialog::ListViewGetItemText(int id, int row, int column) const {
    WCHAR buffer[512] = {};
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = buffer;
    item.cchTextMax = 512;
    Send(*this, id, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    return String(buffer);
}
void Dialog::ListViewSetItemData(int id, int row, LONG_PTR data) {
    LVITEMW item{};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    item.lParam = data;
    Send(*this, id, LVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&item));
}
LONG_PTR Dialog::ListViewGetItemData(int id, int row) const {
    LVITEMW item{};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    Send(*this, id, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
    return item.lParam;
}
int Dialog::ListViewGetItemCount(int id) const {
    return static_cast<int>(Send(*this, id, LVM_GETITEMCOUNT));
}
void Dialog::ListViewDeleteAllItems(int id) {
    Send(*this, id, LVM_DELETEALLITEMS);
}
int Dialog::ListViewGetSelection(int id) const {
    return static_cast<int>(
        Send(*this, id, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
}

int Dialog::ComboAddString(int id, const WCHAR* text) {
    return static_cast<int>(Send(*this, id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text)));
}
void Dialog::ComboResetContent(int id) {
    Send(*this, id, CB_RESETCONTENT);
}
void Dialog::ComboSetCurSel(int id, int index) {
    Send(*this, id, CB_SETCURSEL, static_cast<WPARAM>(index));
}
int Dialog::ComboGetCurSel(int id) const {
    return static_cast<int>(Send(*this, id, CB_GETCURSEL));
}
int Dialog::ComboGetCount(int id) const {
    return static_cast<int>(Send(*this, id, CB_GETCOUNT));
}
String Dialog::ComboGetText(int id, int index) const {
    LRESULT length = Send(*this, id, CB_GETLBTEXTLEN, static_cast<WPARAM>(index));
    if (length < 0)
        return String();
    std::vector<WCHAR> buffer(static_cast<size_t>(length) + 1);
    Send(*this, id, CB_GETLBTEXT, static_cast<WPARAM>(index),
         reinterpret_cast<LPARAM>(buffer.data()));
    return String(buffer.data());
}

int Dialog::ListBoxAddString(int id, const WCHAR* text) {
    return static_cast<int>(Send(*this, id, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text)));
}
void Dialog::ListBoxResetContent(int id) {
    Send(*this, id, LB_RESETCONTENT);
}
int Dialog::ListBoxGetCount(int id) const {
    return static_cast<int>(Send(*this, id, LB_GETCOUNT));
}
String Dialog::ListBoxGetText(int id, int index) const {
    LRESULT length = Send(*this, id, LB_GETTEXTLEN, static_cast<WPARAM>(index));
    if (length < 0)
        return String();
    std::vector<WCHAR> buffer(static_cast<size_t>(length) + 1);
    Send(*this, id, LB_GETTEXT, static_cast<WPARAM>(index),
         reinterpret_cast<LPARAM>(buffer.data()));
    return String(buffer.data());
}
int Dialog::ListBoxGetCurSel(int id) const {
    return static_cast<int>(Send(*this, id, LB_GETCURSEL));
}
void Dialog::ListBoxSetCurSel(int id, int index) {
    Send(*this, id, LB_SETCURSEL, static_cast<WPARAM>(index));
}

void Dialog::IpSetAddress(int id, DWORD address) {
    Send(*this, id, IPM_SETADDRESS, 0, static_cast<LPARAM>(address));
}
int Dialog::IpGetAddress(int id, DWORD& address) const {
    address = 0;
    return static_cast<int>(Send(*this, id, IPM_GETADDRESS, 0, reinterpret_cast<LPARAM>(&address)));
}
void Dialog::IpClear(int id) {
    Send(*this, id, IPM_CLEARADDRESS);
}

void Dialog::SetTimer(UINT_PTR id, UINT milliseconds) {
    ::SetTimer(impl_->hwnd, id, milliseconds, nullptr);
}
void Dialog::KillTimer(UINT_PTR id) {
    ::KillTimer(impl_->hwnd, id);
}

void Dialog::BindDrawn(int id, DrawnControl& control) {
    impl_->drawn[id] = &control;
    control.dialog_ = this;
    control.id_ = id;
    if (impl_->hwnd)
        Subclass(impl_->hwnd, id, &control);
}

DrawnControl::~DrawnControl() {
    if (!dialog_)
        return;
    dialog_->impl_->drawn.erase(id_);
    if (HWND item = Item(*dialog_, id_))
        ::RemoveWindowSubclass(item, DrawnProc, static_cast<UINT_PTR>(id_));
}

Rect DrawnControl::ClientRect() const {
    RECT rc{};
    if (dialog_)
        ::GetClientRect(Item(*dialog_, id_), &rc);
    return Rect{rc.left, rc.top, rc.right, rc.bottom};
}
String DrawnControl::GetText() const {
    return dialog_ ? TextOf(Item(*dialog_, id_)) : String();
}
void DrawnControl::SetText(const WCHAR* text) {
    if (dialog_)
        ::SetWindowTextW(Item(*dialog_, id_), text);
}
void DrawnControl::Invalidate(bool erase) {
    if (dialog_)
        ::InvalidateRect(Item(*dialog_, id_), nullptr, erase ? TRUE : FALSE);
}
Font DrawnControl::ParentFont() const {
    if (!dialog_)
        return Font();
    return Font::Borrow(
        reinterpret_cast<void*>(::SendMessageW(win32::WindowOf(*dialog_), WM_GETFONT, 0, 0)));
}

int MessageBox(Dialog* owner, const WCHAR* text, const WCHAR* caption, UINT type) {
    return ::MessageBoxW(owner ? win32::WindowOf(*owner) : nullptr, text, caption, type);
}

}  // namespace ui
