// Host windows: building a dialog's controls from its template, the per-thread modal loop (posted
// work first, then paints, then timers, as a Windows message queue orders them) and rendering.
#include "platform/ui/host/window.h"

#include <algorithm>

#include "platform/ui/host/host_ui.h"

namespace ui::host {
namespace {

struct Registry {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::shared_ptr<Window>> open;
    std::uint64_t serial = 0;
};

Registry& Reg() {
    static Registry* r = new Registry;  // lives for the process: windows may close at exit
    return *r;
}

}  // namespace

void Publish(const std::shared_ptr<Window>& w) {
    Registry& r = Reg();
    std::lock_guard<std::mutex> lock(r.lock);
    w->serial = ++r.serial;
    w->open = true;
    r.open.push_back(w);
    r.changed.notify_all();
}

void Withdraw(const std::shared_ptr<Window>& w) {
    Registry& r = Reg();
    std::lock_guard<std::mutex> lock(r.lock);
    w->open = false;
    r.open.erase(std::remove(r.open.begin(), r.open.end(), w), r.open.end());
    r.changed.notify_all();
}

WindowRef WaitForNextDialog(int templateId, const WindowRef& after, int timeoutMs) {
    Registry& r = Reg();
    std::unique_lock<std::mutex> lock(r.lock);
    std::uint64_t floor = after ? after->serial : 0;
    WindowRef found;
    r.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (auto it = r.open.rbegin(); it != r.open.rend(); ++it) {
            if ((*it)->templateId == templateId && (*it)->serial > floor) {
                found = *it;
                return true;
            }
        }
        return false;
    });
    return found;
}

WindowRef WaitForDialog(int templateId, int timeoutMs) {
    return WaitForNextDialog(templateId, nullptr, timeoutMs);
}

bool WaitClosed(const WindowRef& w, int timeoutMs) {
    if (!w)
        return false;
    Registry& r = Reg();
    std::unique_lock<std::mutex> lock(r.lock);
    return r.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return !w->open.load(); });
}

bool IsOpen(const WindowRef& w) {
    return w && w->open.load();
}

// ---- the thread queue ----

std::shared_ptr<ThreadQueue> CurrentThreadQueue() {
    thread_local std::shared_ptr<ThreadQueue> queue = std::make_shared<ThreadQueue>();
    return queue;
}

void ThreadQueue::Push(const std::shared_ptr<Window>& w, std::function<void()> work) {
    std::lock_guard<std::mutex> lock(lock_);
    items_.push_back(Item{w, std::move(work)});
    wake_.notify_all();
}

std::uint64_t ThreadQueue::IdleSequence() {
    std::lock_guard<std::mutex> lock(lock_);
    return idle_;
}

bool ThreadQueue::WaitIdleAfter(std::uint64_t sequence, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(lock_);
    return wake_.wait_for(lock, timeout, [&] { return idle_ > sequence; });
}

// One message: a queued item, else a paint, else a due timer. False when there was nothing.
bool ThreadQueue::Step(const std::shared_ptr<Window>& w) {
    (void)w;
    std::unique_lock<std::mutex> lock(lock_);
    if (!items_.empty()) {
        Item item = std::move(items_.front());
        items_.pop_front();
        lock.unlock();
        if (auto target = item.window.lock(); target && target->open && !target->ended) {
            item.work();
        }
        return true;
    }
    lock.unlock();
    std::vector<std::shared_ptr<Window>> live;
    for (auto& weak : windows) {
        if (auto s = weak.lock(); s && s->open)
            live.push_back(s);
    }
    for (auto& s : live) {
        if (s->dirty && !s->ended) {
            s->Render();
            return true;
        }
    }
    auto now = std::chrono::steady_clock::now();
    for (auto& s : live) {
        if (s->ended)
            continue;
        for (auto& [id, timer] : s->timers) {
            if (timer.due <= now) {
                // A late timer fires once; the next one is a full period away.
                timer.due = now + timer.period;
                DialogHooks::Timer(*s->dialog, id);
                return true;
            }
        }
    }
    return false;
}

void ThreadQueue::RunModal(const std::shared_ptr<Window>& w) {
    while (!w->ended) {
        if (Step(w))
            continue;
        auto due = std::chrono::steady_clock::time_point::max();
        for (auto& weak : windows) {
            if (auto s = weak.lock(); s && s->open && !s->ended) {
                for (auto& [id, timer] : s->timers)
                    due = std::min(due, timer.due);
            }
        }
        std::unique_lock<std::mutex> lock(lock_);
        if (!items_.empty())
            continue;
        ++idle_;
        wake_.notify_all();
        if (due == std::chrono::steady_clock::time_point::max()) {
            wake_.wait(lock, [&] { return !items_.empty(); });
        } else {
            wake_.wait_until(lock, due, [&] { return !items_.empty(); });
        }
    }
}

// ---- windows ----

ControlState* Window::Find(int id) {
    for (auto& c : controls) {
        if (c.tpl.id == id)
            return &c;
    }
    return nullptr;
}

std::shared_ptr<Window> CreateFromTemplate(int templateId) {
    auto script = Resources();
    if (!script)
        return nullptr;
    auto it = script->dialogs.find(templateId);
    if (it == script->dialogs.end())
        return nullptr;
    const DialogTemplate& t = it->second;
    auto w = std::make_shared<Window>();
    w->templateId = templateId;
    w->caption = t.caption;
    w->font.spec = FontSpec{MulDiv(t.pointSize, 96, 72), kFwNormal, 1, 0, t.face};
    TextMetrics m = FontMetrics(w->font.spec);
    w->baseX = m.averageWidth;
    w->baseY = m.height;
    w->client = Rect{0, 0, MulDiv(t.cx, w->baseX, 4), MulDiv(t.cy, w->baseY, 8)};
    for (const ControlTemplate& ct : t.controls) {
        ControlState c;
        c.tpl = ct;
        int x = MulDiv(ct.x, w->baseX, 4);
        int y = MulDiv(ct.y, w->baseY, 8);
        c.rect = Rect{x, y, x + MulDiv(ct.cx, w->baseX, 4), y + MulDiv(ct.cy, w->baseY, 8)};
        c.text = ct.text;
        c.visible = (ct.style & kWsVisible) != 0;
        c.enabled = (ct.style & kWsDisabled) == 0;
        w->controls.push_back(std::move(c));
    }
    return w;
}

namespace {

void Sunken(BitmapDc& dc, const Rect& r) {
    dc.Frame(r, SysColor(kColorBtnShadow), SysColor(kColorBtnHighlight));
}

void DrawLabel(BitmapDc& dc, const String& text, const Rect& r, UINT format) {
    dc.DrawText(text.c_str(), static_cast<int>(text.size()), r, format);
}

void RenderControl(Window& w, ControlState& c, BitmapDc& dc) {
    const Rect& r = c.rect;
    Color face = SysColor(kColorBtnFace);
    Color text = c.enabled ? SysColor(kColorBtnText) : SysColor(kColorBtnShadow);
    dc.SetTextColor(text);
    dc.SetTransparent();
    Font font = Font::Borrow(c.font ? c.font : &w.font);
    void* old = dc.SelectFont(font);
    DWORD style = c.tpl.style;
    switch (c.tpl.kind) {
        case ControlKind::Static:
            if ((style & kSsTypeMask) == kSsEtchedFrame) {
                dc.Frame(r, SysColor(kColorBtnShadow), SysColor(kColorBtnHighlight));
                dc.Frame(Rect{r.left + 1, r.top + 1, r.right - 1, r.bottom - 1},
                         SysColor(kColorBtnHighlight), SysColor(kColorBtnShadow));
            } else {
                UINT align = (style & kSsTypeMask) == kSsCenter  ? kDtCenter
                             : (style & kSsTypeMask) == kSsRight ? kDtRight
                                                                 : kDtLeft;
                DrawLabel(dc, c.text, r, align);
            }
            break;
        case ControlKind::Button: {
            DWORD type = style & kBsTypeMask;
            if (type == kBsGroupBox) {
                int half = FontMetrics(font.IsValid() ? static_cast<HostFont*>(font.Native())->spec
                                                      : w.font.spec)
                               .height /
                           2;
                Rect frame{r.left, r.top + half, r.right, r.bottom};
                dc.Frame(frame, SysColor(kColorBtnShadow), SysColor(kColorBtnHighlight));
                String label = StripPrefix(c.text);
                int width = TextWidth(w.font.spec, label);
                dc.FillSolid(Rect{r.left + 6, r.top, r.left + 10 + width, r.top + 2 * half}, face);
                DrawLabel(dc, c.text, Rect{r.left + 8, r.top, r.right, r.top + 2 * half}, kDtLeft);
            } else if (type == kBsCheckBox || type == kBsAutoCheckBox || type == kBsRadioButton ||
                       type == kBsAutoRadioButton) {
                int box = 13;
                int top = r.top + (r.Height() - box) / 2;
                Rect b{r.left, top, r.left + box, top + box};
                dc.FillSolid(b, SysColor(kColorWindow));
                Sunken(dc, b);
                if (c.checked) {
                    dc.FillSolid(Rect{b.left + 3, b.top + 3, b.right - 3, b.bottom - 3},
                                 SysColor(kColorWindowText));
                }
                DrawLabel(dc, c.text, Rect{r.left + box + 4, r.top, r.right, r.bottom},
                          kDtLeft | kDtVCenter | kDtSingleLine);
            } else {
                dc.FillSolid(r, face);
                bool isDefault = type == kBsDefPushButton;
                Rect edge = r;
                if (isDefault) {
                    dc.Frame(edge, SysColor(kColorWindowText), SysColor(kColorWindowText));
                    edge = Rect{r.left + 1, r.top + 1, r.right - 1, r.bottom - 1};
                }
                dc.Frame(edge, SysColor(kColorBtnHighlight), SysColor(kColorWindowText));
                dc.Frame(Rect{edge.left + 1, edge.top + 1, edge.right - 1, edge.bottom - 1}, face,
                         SysColor(kColorBtnShadow));
                if (style & kBsMultiLine) {
                    int lines =
                        1 + static_cast<int>(std::count(c.text.begin(), c.text.end(), u'\n'));
                    int height = lines * FontMetrics(w.font.spec).height;
                    Rect block{r.left, r.top + (r.Height() - height) / 2, r.right,
                               r.top + (r.Height() - height) / 2 + height};
                    DrawLabel(dc, c.text, block, kDtCenter);
                } else {
                    DrawLabel(dc, c.text, r, kDtCenter | kDtVCenter | kDtSingleLine);
                }
            }
            break;
        }
        case ControlKind::Edit: {
            bool readOnly = (style & kEsReadOnly) != 0;
            dc.FillSolid(r, readOnly || !c.enabled ? face : SysColor(kColorWindow));
            Sunken(dc, r);
            dc.SetTextColor(SysColor(kColorWindowText));
            DrawLabel(dc, c.text, Rect{r.left + 3, r.top, r.right - 2, r.bottom},
                      kDtLeft | kDtVCenter | kDtSingleLine | kDtNoPrefix);
            break;
        }
        case ControlKind::ListBox:
        case ControlKind::ListView: {
            dc.FillSolid(r, SysColor(kColorWindow));
            Sunken(dc, r);
            dc.SetTextColor(SysColor(kColorWindowText));
            int rowHeight = FontMetrics(w.font.spec).height + 2;
            int y = r.top + 2;
            if (c.tpl.kind == ControlKind::ListView) {
                int x = r.left + 2;
                for (auto& [title, width] : c.columns) {
                    Rect h{x, y, x + width, y + rowHeight + 2};
                    dc.FillSolid(h, face);
                    dc.Frame(h, SysColor(kColorBtnHighlight), SysColor(kColorBtnShadow));
                    DrawLabel(dc, title, h, kDtCenter | kDtVCenter | kDtSingleLine | kDtNoPrefix);
                    x += width;
                }
                y += rowHeight + 2;
                for (size_t row = 0; row < c.rows.size() && y < r.bottom; ++row, y += rowHeight) {
                    if (static_cast<int>(row) == c.selection) {
                        dc.FillSolid(Rect{r.left + 2, y, r.right - 2, y + rowHeight},
                                     SysColor(kColorHighlight));
                    }
                    int cx = r.left + 2;
                    for (size_t col = 0; col < c.columns.size(); ++col) {
                        int width = c.columns[col].second;
                        if (col < c.rows[row].size()) {
                            DrawLabel(dc, c.rows[row][col], Rect{cx, y, cx + width, y + rowHeight},
                                      kDtCenter | kDtVCenter | kDtSingleLine | kDtNoPrefix);
                        }
                        cx += width;
                    }
                }
            } else {
                for (size_t i = 0; i < c.items.size() && y < r.bottom; ++i, y += rowHeight) {
                    if (static_cast<int>(i) == c.curSel) {
                        dc.FillSolid(Rect{r.left + 2, y, r.right - 2, y + rowHeight},
                                     SysColor(kColorHighlight));
                    }
                    DrawLabel(dc, c.items[i], Rect{r.left + 4, y, r.right - 2, y + rowHeight},
                              kDtLeft | kDtVCenter | kDtSingleLine | kDtNoPrefix);
                }
            }
            break;
        }
        case ControlKind::ComboBox: {
            int height = FontMetrics(w.font.spec).height + 8;
            Rect box{r.left, r.top, r.right, r.top + height};
            dc.FillSolid(box, SysColor(kColorWindow));
            Sunken(dc, box);
            Rect arrow{box.right - height, box.top + 2, box.right - 2, box.bottom - 2};
            dc.FillSolid(arrow, face);
            dc.Frame(arrow, SysColor(kColorBtnHighlight), SysColor(kColorBtnShadow));
            dc.SetTextColor(SysColor(kColorWindowText));
            if (c.curSel >= 0 && c.curSel < static_cast<int>(c.items.size())) {
                DrawLabel(dc, c.items[c.curSel],
                          Rect{box.left + 3, box.top, arrow.left, box.bottom},
                          kDtLeft | kDtVCenter | kDtSingleLine | kDtNoPrefix);
            }
            break;
        }
        case ControlKind::Progress: {
            dc.FillSolid(r, face);
            Sunken(dc, r);
            int span = c.high - c.low;
            int inner = r.Width() - 2;
            int filled = span > 0 ? static_cast<int>(static_cast<long long>(
                                                         std::clamp(c.pos, c.low, c.high) - c.low) *
                                                     inner / span)
                                  : 0;
            dc.FillSolid(Rect{r.left + 1, r.top + 1, r.left + 1 + filled, r.bottom - 1},
                         SysColor(kColorHighlight));
            break;
        }
        case ControlKind::IpAddress: {
            dc.FillSolid(r, c.enabled ? SysColor(kColorWindow) : face);
            Sunken(dc, r);
            dc.SetTextColor(SysColor(kColorWindowText));
            String fields;
            for (int k = 0; k < 4; ++k) {
                if (k)
                    fields += u" . ";
                if (c.ipFields) {
                    unsigned v = (c.ip >> (24 - 8 * k)) & 0xFF;
                    std::string n = std::to_string(v);
                    fields.append(n.begin(), n.end());
                } else {
                    fields += u"   ";
                }
            }
            DrawLabel(dc, fields, r, kDtCenter | kDtVCenter | kDtSingleLine);
            break;
        }
    }
    dc.RestoreFont(old);
}

}  // namespace

void Window::Render() {
    dirty = false;
    auto bitmap =
        std::make_shared<Bitmap>(client.Width(), client.Height(), SysColor(kColorBtnFace));
    std::vector<TextPlacement> record;
    {
        BitmapDc dc(bitmap, 0, 0, client, &record, 0, 0, 0);
        if (dialog && DialogHooks::HasPaint(*dialog))
            DialogHooks::Paint(*dialog, dc);
    }
    for (auto& c : controls) {
        if (!c.visible)
            continue;
        if (c.drawn) {
            BitmapDc dc(bitmap, c.rect.left, c.rect.top, c.rect, &record, c.tpl.id, c.rect.left,
                        c.rect.top);
            if (!c.drawn->OnEraseBackground(dc)) {
                dc.FillSolid(Rect{0, 0, c.rect.Width(), c.rect.Height()}, SysColor(kColorBtnFace));
            }
            BitmapDc paint(bitmap, c.rect.left, c.rect.top, c.rect, &record, c.tpl.id, c.rect.left,
                           c.rect.top);
            c.drawn->OnPaint(paint);
            continue;
        }
        BitmapDc dc(bitmap, 0, 0, client, &record, c.tpl.id, 0, 0);
        RenderControl(*this, c, dc);
    }
    picture = std::move(bitmap);
    texts = std::move(record);
}

}  // namespace ui::host
