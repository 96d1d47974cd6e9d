// Acting on host windows from another thread: each action runs on the dialog's thread through its
// queue, as the input of a person would arrive there.
#include "platform/ui/host/host_ui.h"

#include <algorithm>
#include <thread>

#include "platform/ui/host/window.h"

namespace ui::host {
namespace {

constexpr int kBnClicked = 0;
constexpr int kEnChange = 0x300;
constexpr int kLbnSelChange = 1;

struct ActionState {
    std::mutex lock;
    bool started = false;
    bool done = false;
    bool ok = false;
    std::uint64_t idleAtStart = 0;
};

// Runs fn on w's thread. Returns once it has run, or (allowNested) once its thread went idle
// inside it (a modal loop it opened), or false when the window closed first or time ran out.
bool Act(const WindowRef& w, std::function<bool(Window&)> fn, bool allowNested,
         int timeoutMs = 5000) {
    if (!IsOpen(w))
        return false;
    auto state = std::make_shared<ActionState>();
    auto queue = w->queue;
    queue->Push(w, [state, w, fn, queue] {
        {
            std::lock_guard<std::mutex> lock(state->lock);
            state->started = true;
            state->idleAtStart = queue->IdleSequence();
        }
        bool ok = fn(*w);
        std::lock_guard<std::mutex> lock(state->lock);
        state->done = true;
        state->ok = ok;
    });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(state->lock);
            if (state->done)
                return state->ok;
            if (state->started && allowNested && queue->IdleSequence() > state->idleAtStart) {
                return true;
            }
            if (!state->started && !IsOpen(w))
                return false;
        }
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bool Clickable(Window& w, const ControlState* c) {
    return c && c->visible && c->enabled && w.modalChildren == 0 && !w.ended;
}

ControlSnapshot Snap(const ControlState& c) {
    ControlSnapshot s;
    s.id = c.tpl.id;
    s.kind = c.tpl.kind;
    s.text = c.text;
    s.rect = c.rect;
    s.visible = c.visible;
    s.enabled = c.enabled;
    s.checked = c.checked;
    s.low = c.low;
    s.high = c.high;
    s.pos = c.pos;
    s.columns = c.columns;
    s.rows = c.rows;
    s.items = c.items;
    s.selection = c.tpl.kind == ControlKind::ListView ? c.selection : c.curSel;
    s.ip = c.ip;
    s.ipFields = c.ipFields;
    return s;
}

}  // namespace

INT_PTR ResultOf(const WindowRef& w) {
    return w && !w->open ? w->result : 0;
}
int TemplateOf(const WindowRef& w) {
    return w ? w->templateId : -1;
}

bool Press(const WindowRef& w, int id) {
    return Act(
        w,
        [id](Window& win) {
            ControlState* c = win.Find(id);
            if (!Clickable(win, c) || c->tpl.kind != ControlKind::Button)
                return false;
            DWORD type = c->tpl.style & kBsTypeMask;
            if (type == kBsAutoCheckBox)
                c->checked = !c->checked;
            if (type == kBsAutoRadioButton) {
                for (auto& other : win.controls) {
                    if ((other.tpl.style & kBsTypeMask) == kBsAutoRadioButton)
                        other.checked = false;
                }
                c->checked = true;
            }
            win.dirty = true;
            DialogHooks::Command(*win.dialog, id, kBnClicked);
            return true;
        },
        true);
}

bool PressEscape(const WindowRef& w) {
    return Act(
        w,
        [](Window& win) {
            if (win.modalChildren || win.ended)
                return false;
            // The dialog manager turns Esc into the cancel command, button or not.
            DialogHooks::Command(*win.dialog, kIdCancel, kBnClicked);
            return true;
        },
        true);
}

bool PressCloseBox(const WindowRef& w) {
    return Act(
        w,
        [](Window& win) {
            if (win.modalChildren || win.ended)
                return false;
            if (!win.isMessageBox && win.dialog) {
                auto script = Resources();
                auto t = script ? script->dialogs.find(win.templateId)
                                : decltype(script->dialogs.end()){};
                if (!script || t == script->dialogs.end() || !(t->second.style & kWsSysMenu)) {
                    return false;  // no close box without a system menu
                }
            }
            DialogHooks::Command(*win.dialog, kIdCancel, kBnClicked);
            return true;
        },
        true);
}

bool Type(const WindowRef& w, int id, const String& text) {
    return Act(
        w,
        [id, text](Window& win) {
            ControlState* c = win.Find(id);
            if (!Clickable(win, c))
                return false;
            if (c->tpl.kind == ControlKind::Edit) {
                if (c->tpl.style & kEsReadOnly)
                    return false;
                c->text = text;
                win.dirty = true;
                DialogHooks::Command(*win.dialog, id, kEnChange);
                return true;
            }
            if (c->tpl.kind == ControlKind::IpAddress) {
                // Four fields between dots; a field left blank reads as 0 and is not counted.
                std::string narrow(text.begin(), text.end());
                if (std::count(narrow.begin(), narrow.end(), '.') != 3)
                    return false;
                DWORD v = 0;
                int filled = 0, fields = 0;
                size_t start = 0;
                while (fields < 4) {
                    size_t end = narrow.find('.', start);
                    std::string field = narrow.substr(
                        start, end == std::string::npos ? std::string::npos : end - start);
                    if (field.size() > 3 ||
                        field.find_first_not_of("0123456789") != std::string::npos)
                        return false;
                    unsigned p = field.empty() ? 0u : static_cast<unsigned>(std::stoul(field));
                    if (p > 255)
                        return false;
                    filled += field.empty() ? 0 : 1;
                    v = (v << 8) | p;
                    ++fields;
                    if (end == std::string::npos)
                        break;
                    start = end + 1;
                }
                c->ip = v;
                c->ipFields = filled;
                win.dirty = true;
                return true;
            }
            return false;
        },
        true);
}

bool PickRow(const WindowRef& w, int id, int row) {
    return Act(
        w,
        [id, row](Window& win) {
            ControlState* c = win.Find(id);
            if (!Clickable(win, c))
                return false;
            if (c->tpl.kind == ControlKind::ListView) {
                if (row < 0 || row >= static_cast<int>(c->rows.size()))
                    return false;
                c->selection = row;
                win.dirty = true;
                DialogHooks::Notify(*win.dialog, id, Notification{kLvnItemChanged, row});
                return true;
            }
            if (c->tpl.kind == ControlKind::ListBox || c->tpl.kind == ControlKind::ComboBox) {
                if (row < 0 || row >= static_cast<int>(c->items.size()))
                    return false;
                c->curSel = row;
                win.dirty = true;
                DialogHooks::Command(*win.dialog, id, kLbnSelChange);
                return true;
            }
            return false;
        },
        true);
}

bool DoubleClickRow(const WindowRef& w, int id, int row) {
    // Below the last row (row -1) a list view clears its selection and reports no item.
    if (row >= 0 && !PickRow(w, id, row))
        return false;
    return Act(
        w,
        [id, row](Window& win) {
            if (win.ended)
                return false;
            if (row < 0) {
                ControlState* c = win.Find(id);
                if (!Clickable(win, c) || c->tpl.kind != ControlKind::ListView)
                    return false;
                c->selection = -1;
                win.dirty = true;
            }
            DialogHooks::Notify(*win.dialog, id, Notification{kNmDblClk, row});
            return true;
        },
        true);
}

bool Answer(const WindowRef& box, int buttonId) {
    if (!box || !box->isMessageBox)
        return false;
    return Press(box, buttonId);
}

std::optional<ControlSnapshot> ReadControl(const WindowRef& w, int id) {
    auto out = std::make_shared<std::optional<ControlSnapshot>>();
    if (!Act(
            w,
            [out, id](Window& win) {
                if (ControlState* c = win.Find(id))
                    *out = Snap(*c);
                return true;
            },
            false)) {
        return std::nullopt;
    }
    return *out;
}

std::vector<ControlSnapshot> ReadControls(const WindowRef& w) {
    auto out = std::make_shared<std::vector<ControlSnapshot>>();
    if (!Act(
            w,
            [out](Window& win) {
                for (auto& c : win.controls)
                    out->push_back(Snap(c));
                return true;
            },
            false)) {
        return {};
    }
    return *out;
}

std::optional<Picture> Snapshot(const WindowRef& w) {
    auto out = std::make_shared<std::optional<Picture>>();
    bool ran = Act(
        w,
        [out](Window& win) {
            win.Render();
            Picture p;
            p.bitmap = win.picture;
            p.texts = win.texts;
            p.caption = win.caption;
            p.messageText = win.messageBoxText;
            p.messageType = win.messageBoxType;
            *out = std::move(p);
            return true;
        },
        false);
    if (!ran)
        return std::nullopt;
    return *out;
}

bool Settle(const WindowRef& w, int timeoutMs) {
    auto seen = std::make_shared<std::atomic<std::uint64_t>>(0);
    if (!Act(
            w,
            [seen](Window& win) {
                *seen = win.queue->IdleSequence();
                return true;
            },
            false, timeoutMs)) {
        return false;
    }
    // Idle again means nothing queued and nothing left to paint.
    return w->queue->WaitIdleAfter(*seen, std::chrono::milliseconds(timeoutMs));
}

// ---- system colours ----

namespace {
std::mutex g_colorLock;
std::map<int, Color> g_colors;

Color DefaultColor(int index) {
    switch (index) {
        case kColorWindow:
            return Rgb(255, 255, 255);
        case kColorWindowText:
            return Rgb(0, 0, 0);
        case kColorHighlight:
            return Rgb(0, 120, 215);
        case kColorBtnFace:
            return Rgb(240, 240, 240);
        case kColorBtnShadow:
            return Rgb(160, 160, 160);
        case kColorBtnText:
            return Rgb(0, 0, 0);
        case kColorBtnHighlight:
            return Rgb(255, 255, 255);
        default:
            return Rgb(0, 0, 0);
    }
}
}  // namespace

void SetSysColor(int index, Color color) {
    std::lock_guard<std::mutex> lock(g_colorLock);
    g_colors[index] = color;
}

void ResetSysColors() {
    std::lock_guard<std::mutex> lock(g_colorLock);
    g_colors.clear();
}

}  // namespace ui::host

namespace ui {

Color SysColor(int index) {
    std::lock_guard<std::mutex> lock(host::g_colorLock);
    auto it = host::g_colors.find(index);
    return it != host::g_colors.end() ? it->second : host::DefaultColor(index);
}

String LoadString(UINT id) {
    auto script = host::Resources();
    if (!script)
        return String();
    auto it = script->strings.find(static_cast<int>(id));
    return it != script->strings.end() ? it->second : String();
}

// The running program's version resource is the script's; other files have none on the host.
bool GetProductVersion(const WCHAR* path, DWORD& mostSignificant, DWORD& leastSignificant) {
    if (path && *path)
        return false;
    auto script = host::Resources();
    if (!script || !script->hasVersion)
        return false;
    mostSignificant = script->productVersionMs;
    leastSignificant = script->productVersionLs;
    return true;
}

bool InitCommonControls(DWORD classMask) {
    return classMask != 0;
}

namespace {
std::atomic<int> g_waitCursors{0};
}
WaitCursor::WaitCursor() {
    ++g_waitCursors;
}
WaitCursor::~WaitCursor() {
    --g_waitCursors;
}

App::App() = default;
App::~App() = default;

int App::Run() {
    InitInstance();
    return ExitInstance();
}

}  // namespace ui
