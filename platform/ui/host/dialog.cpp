// The dialog class on the host: a modal run on the calling thread's queue, control access on the
// window's state, posting from any thread, and the system message box as a window of its own.
#include <algorithm>

#include "platform/ui/host/host_ui.h"
#include "platform/ui/host/window.h"

namespace ui {

struct Dialog::Impl {
    std::mutex lock;                       // guards window for Post
    std::shared_ptr<host::Window> window;  // while DoModal runs
    std::map<int, DrawnControl*> drawn;
    std::function<std::shared_ptr<host::Window>()> factory;  // message boxes
};

namespace {
host::Window* W(const Dialog& d) {
    return d.GetImpl()->window.get();
}
host::ControlState* C(const Dialog& d, int id) {
    host::Window* w = W(d);
    return w ? w->Find(id) : nullptr;
}
void Dirty(const Dialog& d) {
    if (host::Window* w = W(d))
        w->dirty = true;
}
}  // namespace

Dialog::Dialog(UINT templateId) : templateId_(templateId), impl_(std::make_unique<Impl>()) {}

Dialog::~Dialog() {
    for (auto& [id, control] : impl_->drawn)
        control->dialog_ = nullptr;
}

INT_PTR Dialog::DoModal(Dialog* owner) {
    std::shared_ptr<host::Window> w =
        impl_->factory ? impl_->factory() : host::CreateFromTemplate(static_cast<int>(templateId_));
    if (!w)
        return -1;
    w->dialog = this;
    w->queue = host::CurrentThreadQueue();
    for (auto& [id, control] : impl_->drawn) {
        if (host::ControlState* c = w->Find(id))
            c->drawn = control;
    }
    std::shared_ptr<host::Window> ownerWindow;
    if (owner)
        ownerWindow = owner->impl_->window;
    if (ownerWindow)
        ++ownerWindow->modalChildren;
    {
        std::lock_guard<std::mutex> lock(impl_->lock);
        impl_->window = w;
    }
    w->queue->windows.push_back(w);
    w->open = true;
    DialogHooks::Init(*this);
    host::Publish(w);
    w->queue->RunModal(w);
    DialogHooks::Destroy(*this);
    {
        std::lock_guard<std::mutex> lock(impl_->lock);
        impl_->window.reset();
    }
    host::Withdraw(w);
    auto& list = w->queue->windows;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const std::weak_ptr<host::Window>& x) {
                                  auto s = x.lock();
                                  return !s || s == w;
                              }),
               list.end());
    if (ownerWindow)
        --ownerWindow->modalChildren;
    for (auto& c : w->controls)
        c.drawn = nullptr;
    w->dialog = nullptr;
    return w->result;
}

void Dialog::EndDialog(INT_PTR result) {
    if (host::Window* w = W(*this)) {
        w->result = result;
        w->ended = true;
    }
}

void Dialog::Post(std::function<void()> work) {
    std::lock_guard<std::mutex> lock(impl_->lock);
    auto& w = impl_->window;
    if (w && w->open)
        w->queue->Push(w, std::move(work));
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
    if (host::Window* w = W(*this)) {
        w->caption = text ? text : u"";
        w->dirty = true;
    }
}
String Dialog::GetWindowText() const {
    host::Window* w = W(*this);
    return w ? w->caption : String();
}
Rect Dialog::ClientRect() const {
    host::Window* w = W(*this);
    return w ? w->client : Rect{};
}
Rect Dialog::ControlRect(int id) const {
    host::ControlState* c = C(*this, id);
    return c ? c->rect : Rect{};
}
void Dialog::Invalidate() {
    Dirty(*this);
}

void Dialog::SetItemText(int id, const WCHAR* text) {
    host::ControlState* c = C(*this, id);
    if (!c)
        return;
    if (c->tpl.kind == host::ControlKind::IpAddress)
        return;
    c->text = text ? text : u"";
    Dirty(*this);
    if (c->drawn)
        c->drawn->OnTextChanged();
}
String Dialog::GetItemText(int id) const {
    host::ControlState* c = C(*this, id);
    return c ? c->text : String();
}
void Dialog::EnableItem(int id, bool enable) {
    if (host::ControlState* c = C(*this, id))
        c->enabled = enable;
    Dirty(*this);
}
bool Dialog::IsItemEnabled(int id) const {
    host::ControlState* c = C(*this, id);
    return c && c->enabled;
}
void Dialog::ShowItem(int id, bool show) {
    if (host::ControlState* c = C(*this, id))
        c->visible = show;
    Dirty(*this);
}
bool Dialog::IsItemVisible(int id) const {
    host::ControlState* c = C(*this, id);
    return c && c->visible;
}
void Dialog::CheckItem(int id, bool checked) {
    if (host::ControlState* c = C(*this, id))
        c->checked = checked;
    Dirty(*this);
}
bool Dialog::IsItemChecked(int id) const {
    host::ControlState* c = C(*this, id);
    return c && c->checked;
}
void Dialog::SetItemFont(int id, const Font& font) {
    if (host::ControlState* c = C(*this, id)) {
        c->font = static_cast<host::HostFont*>(font.Native());
    }
    Dirty(*this);
}
void Dialog::SetFocus(int id) {
    (void)id;
}

void Dialog::ProgressSetRange(int id, int low, int high) {
    if (host::ControlState* c = C(*this, id)) {
        c->low = low;
        c->high = high;
        c->pos = std::clamp(c->pos, low, std::max(low, high));
    }
    Dirty(*this);
}
void Dialog::ProgressSetPos(int id, int pos) {
    if (host::ControlState* c = C(*this, id))
        c->pos = std::clamp(pos, c->low, std::max(c->low, c->high));
    Dirty(*this);
}

void Dialog::ListViewSetExtendedStyle(int id, DWORD style) {
    if (host::ControlState* c = C(*this, id))
        c->exStyle = style;
}
void Dialog::ListViewInsertColumn(int id, int column, const WCHAR* title, int width, int format) {
    (void)format;
    host::ControlState* c = C(*this, id);
    if (!c)
        return;
    size_t at = std::min<size_t>(std::max(column, 0), c->columns.size());
    c->columns.insert(c->columns.begin() + at, {title ? title : u"", width});
    Dirty(*this);
}
int Dialog::ListViewInsertItem(int id, int row, const WCHAR* text) {
    host::ControlState* c = C(*this, id);
    if (!c)
        return -1;
    size_t at = std::min<size_t>(std::max(row, 0), c->rows.size());
    c->rows.insert(c->rows.begin() + at,
                   std::vector<String>(std::max<size_t>(1, c->columns.size())));
    c->rows[at][0] = text ? text : u"";
    c->rowData.insert(c->rowData.begin() + at, 0);
    if (c->selection >= static_cast<int>(at))
        ++c->selection;
    Dirty(*this);
    return static_cast<int>(at);
}
void Dialog::ListViewSetItemText(int id, int row, int column, const WCHAR* text) {
    host::ControlState* c = C(*this, id);
    if (!c || row < 0 || row >= static_cast<int>(c->rows.size()) || column < 0)
        return;
    auto& cells = c->rows[row];
    if (cells.size() <= static_cast<size_t>(column))
        cells.resize(column + 1);
    cells[column] = text ? text : u"";
    Dirty(*this);
}
String Dialog::ListViewGetItemText(int id, int row, int column) const {
    host::ControlState* c = C(*this, id);
    if (!c || row < 0 || row >= static_cast<int>(c->rows.size()) || column < 0 ||
        column >= static_cast<int>(c->rows[row].size())) {
        return String();
    }
    return c->rows[row][column];
}
void Dialog::ListViewSetItemData(int id, int row, LONG_PTR data) {
    host::ControlState* c = C(*this, id);
    if (c && row >= 0 && row < static_cast<int>(c->rowData.size()))
        c->rowData[row] = data;
}
LONG_PTR Dialog::ListViewGetItemData(int id, int row) const {
    host::ControlState* c = C(*this, id);
    return c && row >= 0 && row < static_cast<int>(c->rowData.size()) ? c->rowData[row] : 0;
}
int Dialog::ListViewGetItemCount(int id) const {
    host::ControlState* c = C(*this, id);
    return c ? static_cast<int>(c->rows.size()) : 0;
}
void Dialog::ListViewDeleteAllItems(int id) {
    if (host::ControlState* c = C(*this, id)) {
        c->rows.clear();
        c->rowData.clear();
        c->selection = -1;
    }
    Dirty(*this);
}
int Dialog::ListViewGetSelection(int id) const {
    host::ControlState* c = C(*this, id);
    return c ? c->selection : -1;
}

int Dialog::ComboAddString(int id, const WCHAR* text) {
    host::ControlState* c = C(*this, id);
    if (!c)
        return -1;
    c->items.push_back(text ? text : u"");
    Dirty(*this);
    return static_cast<int>(c->items.size()) - 1;
}
void Dialog::ComboResetContent(int id) {
    if (host::ControlState* c = C(*this, id)) {
        c->items.clear();
        c->curSel = -1;
    }
    Dirty(*this);
}
void Dialog::ComboSetCurSel(int id, int index) {
    if (host::ControlState* c = C(*this, id)) {
        c->curSel = index >= 0 && index < static_cast<int>(c->items.size()) ? index : -1;
    }
    Dirty(*this);
}
int Dialog::ComboGetCurSel(int id) const {
    host::ControlState* c = C(*this, id);
    return c ? c->curSel : -1;
}
int Dialog::ComboGetCount(int id) const {
    host::ControlState* c = C(*this, id);
    return c ? static_cast<int>(c->items.size()) : 0;
}
String Dialog::ComboGetText(int id, int index) const {
    host::ControlState* c = C(*this, id);
    return c && index >= 0 && index < static_cast<int>(c->items.size()) ? c->items[index]
                                                                        : String();
}

namespace {
// lstrcmpiW-like order for sorted list boxes: case folded for A-Z, then by code unit.
bool TextLess(const String& a, const String& b) {
    auto fold = [](WCHAR ch) { return ch >= u'a' && ch <= u'z' ? WCHAR(ch - 32) : ch; };
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [&](WCHAR x, WCHAR y) { return fold(x) < fold(y); });
}
}  // namespace

int Dialog::ListBoxAddString(int id, const WCHAR* text) {
    host::ControlState* c = C(*this, id);
    if (!c)
        return -1;
    String s = text ? text : u"";
    size_t at = c->items.size();
    if (c->tpl.style & host::kLbsSort) {
        at = std::upper_bound(c->items.begin(), c->items.end(), s, TextLess) - c->items.begin();
    }
    c->items.insert(c->items.begin() + at, s);
    if (c->curSel >= static_cast<int>(at))
        ++c->curSel;
    Dirty(*this);
    return static_cast<int>(at);
}
void Dialog::ListBoxResetContent(int id) {
    ComboResetContent(id);
}
int Dialog::ListBoxGetCount(int id) const {
    return ComboGetCount(id);
}
String Dialog::ListBoxGetText(int id, int index) const {
    return ComboGetText(id, index);
}
int Dialog::ListBoxGetCurSel(int id) const {
    return ComboGetCurSel(id);
}
void Dialog::ListBoxSetCurSel(int id, int index) {
    ComboSetCurSel(id, index);
}

void Dialog::IpSetAddress(int id, DWORD address) {
    if (host::ControlState* c = C(*this, id)) {
        c->ip = address;
        c->ipFields = 4;
    }
    Dirty(*this);
}
int Dialog::IpGetAddress(int id, DWORD& address) const {
    host::ControlState* c = C(*this, id);
    address = c ? c->ip : 0;
    return c ? c->ipFields : 0;
}
void Dialog::IpClear(int id) {
    if (host::ControlState* c = C(*this, id)) {
        c->ip = 0;
        c->ipFields = 0;
    }
    Dirty(*this);
}

void Dialog::SetTimer(UINT_PTR id, UINT milliseconds) {
    if (host::Window* w = W(*this)) {
        auto period = std::chrono::milliseconds(std::max<UINT>(milliseconds, 10));
        w->timers[id] = host::Timer{period, std::chrono::steady_clock::now() + period};
    }
}
void Dialog::KillTimer(UINT_PTR id) {
    if (host::Window* w = W(*this))
        w->timers.erase(id);
}

void Dialog::BindDrawn(int id, DrawnControl& control) {
    impl_->drawn[id] = &control;
    control.dialog_ = this;
    control.id_ = id;
    if (host::ControlState* c = C(*this, id)) {
        c->drawn = &control;
        c->tpl.style &= ~host::kSsTypeMask;
        Dirty(*this);
    }
}

// ---- drawn controls ----

DrawnControl::~DrawnControl() {
    if (!dialog_)
        return;
    dialog_->impl_->drawn.erase(id_);
    if (host::ControlState* c = C(*dialog_, id_))
        c->drawn = nullptr;
}

Rect DrawnControl::ClientRect() const {
    host::ControlState* c = dialog_ ? C(*dialog_, id_) : nullptr;
    return c ? Rect{0, 0, c->rect.Width(), c->rect.Height()} : Rect{};
}
String DrawnControl::GetText() const {
    return dialog_ ? dialog_->GetItemText(id_) : String();
}
void DrawnControl::SetText(const WCHAR* text) {
    if (dialog_)
        dialog_->SetItemText(id_, text);
}
void DrawnControl::Invalidate(bool erase) {
    (void)erase;
    if (dialog_)
        Dirty(*dialog_);
}
Font DrawnControl::ParentFont() const {
    host::Window* w = dialog_ ? W(*dialog_) : nullptr;
    return w ? Font::Borrow(&w->font) : Font();
}

// ---- message boxes ----

namespace {

class MessageBoxDialog : public Dialog {
  public:
    MessageBoxDialog(const String& text, const String& caption, UINT type) : Dialog(0) {
        GetImpl()->factory = [text, caption, type] { return Build(text, caption, type); };
        type_ = type & 0xF;
    }

  protected:
    void OnCommand(int id, int code) override {
        (void)code;
        if (id == kIdCancel) {
            // Esc and the close box: Cancel where there is one, OK alone for an OK box.
            if (type_ == kMbOkCancel) {
                EndDialog(kIdCancel);
            } else if (type_ == kMbOk) {
                EndDialog(kIdOk);
            }
            return;
        }
        EndDialog(id);
    }

  private:
    static std::shared_ptr<host::Window> Build(const String& text, const String& caption,
                                               UINT type) {
        auto w = std::make_shared<host::Window>();
        w->templateId = host::kMessageBoxTemplate;
        w->isMessageBox = true;
        w->messageBoxText = text;
        w->messageBoxType = type;
        w->caption = caption;
        w->font.spec = FontSpec{12, kFwNormal, 1, 0, u"Segoe UI"};
        std::vector<std::pair<int, String>> buttons;
        switch (type & 0xF) {
            case kMbOkCancel:
                buttons = {{kIdOk, u"OK"}, {kIdCancel, u"Cancel"}};
                break;
            case kMbYesNo:
                buttons = {{kIdYes, u"&Yes"}, {kIdNo, u"&No"}};
                break;
            default:
                buttons = {{kIdOk, u"OK"}};
                break;
        }
        int lines = 1;
        int longest = 0, current = 0;
        for (WCHAR ch : text) {
            if (ch == u'\n') {
                ++lines;
                current = 0;
                continue;
            }
            longest = std::max(longest, ++current);
        }
        TextMetrics m = host::FontMetrics(w->font.spec);
        int width =
            std::max(longest * m.averageWidth + 40, static_cast<int>(buttons.size()) * 85 + 20);
        int textHeight = lines * m.height;
        int height = 20 + textHeight + 20 + 23 + 12;
        w->client = Rect{0, 0, width, height};
        host::ControlState label;
        label.tpl.kind = host::ControlKind::Static;
        label.tpl.id = 0xFFFF;
        label.tpl.style = host::kWsVisible;
        label.rect = Rect{20, 20, width - 20, 20 + textHeight};
        label.text = text;
        w->controls.push_back(label);
        int x = width - static_cast<int>(buttons.size()) * 85 - 5;
        for (auto& [id, title] : buttons) {
            host::ControlState b;
            b.tpl.kind = host::ControlKind::Button;
            b.tpl.id = id;
            b.tpl.style =
                host::kWsVisible | (id == buttons.front().first ? host::kBsDefPushButton : 0);
            b.rect = Rect{x, height - 35, x + 75, height - 12};
            b.text = title;
            w->controls.push_back(b);
            x += 85;
        }
        return w;
    }

    UINT type_ = 0;
};

}  // namespace

int MessageBox(Dialog* owner, const WCHAR* text, const WCHAR* caption, UINT type) {
    MessageBoxDialog box(text ? text : u"", caption ? caption : u"Error", type);
    return static_cast<int>(box.DoModal(owner));
}

}  // namespace ui
