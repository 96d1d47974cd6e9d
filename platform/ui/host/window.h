// The host backend's windows: one open dialog (or message box) with its controls' state, and the
// per-thread message queue whose modal loops run posted work, test actions, paints and timers.
// Everything in a Window is touched only on its dialog's thread, except where marked.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/ui/host/canvas.h"
#include "platform/ui/host/rc_script.h"

namespace ui {
// The handlers of a dialog, for the backend.
struct DialogHooks {
    static bool Init(Dialog& d) { return d.OnInitDialog(); }
    static void Command(Dialog& d, int id, int code) { d.OnCommand(id, code); }
    static void Timer(Dialog& d, UINT_PTR id) { d.OnTimer(id); }
    static void Notify(Dialog& d, int id, const Notification& n) { d.OnNotify(id, n); }
    static bool HasPaint(Dialog& d) { return d.HasPaint(); }
    static void Paint(Dialog& d, Dc& dc) { d.OnPaint(dc); }
    static void Destroy(Dialog& d) { d.OnDestroy(); }
};
}  // namespace ui

namespace ui::host {

struct Window;

struct ControlState {
    ControlTemplate tpl;
    Rect rect;  // pixels, dialog client coordinates
    String text;
    bool visible = true;
    bool enabled = true;
    bool checked = false;
    int low = 0, high = 100, pos = 0;             // progress bar
    std::vector<std::pair<String, int>> columns;  // list view: title, width
    std::vector<std::vector<String>> rows;        // list view cells
    std::vector<LONG_PTR> rowData;                // list view item data
    int selection = -1;                           // list view selection
    std::vector<String> items;                    // list box, combo box
    int curSel = -1;                              // list box, combo box
    DWORD ip = 0;                                 // IPv4 address control
    int ipFields = 0;                             // non-blank fields
    DWORD exStyle = 0;                            // list view extended style
    HostFont* font = nullptr;                     // set by SetItemFont; null: dialog font
    DrawnControl* drawn = nullptr;
};

// One thread's message queue. Items and the idle sequence are shared with other threads (lock);
// the window list belongs to the thread.
class ThreadQueue {
  public:
    struct Item {
        std::weak_ptr<Window> window;
        std::function<void()> work;
    };
    void Push(const std::shared_ptr<Window>& w, std::function<void()> work);
    // Runs the loop until w ends.
    void RunModal(const std::shared_ptr<Window>& w);
    std::uint64_t IdleSequence();
    // Waits until the thread goes idle after sequence, or the time-out passes.
    bool WaitIdleAfter(std::uint64_t sequence, std::chrono::milliseconds timeout);

    std::vector<std::weak_ptr<Window>> windows;  // owner thread only

  private:
    bool Step(const std::shared_ptr<Window>& w);

    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<Item> items_;
    std::uint64_t idle_ = 0;
};

std::shared_ptr<ThreadQueue> CurrentThreadQueue();

struct Timer {
    std::chrono::milliseconds period{0};
    std::chrono::steady_clock::time_point due;
};

struct Window : std::enable_shared_from_this<Window> {
    Dialog* dialog = nullptr;
    int templateId = 0;
    String caption;
    Rect client;
    HostFont font;
    int baseX = 6, baseY = 12;
    std::vector<ControlState> controls;
    std::map<UINT_PTR, Timer> timers;
    bool ended = false;
    INT_PTR result = 0;
    bool dirty = true;
    int modalChildren = 0;  // disabled while it owns a running modal window
    std::shared_ptr<ThreadQueue> queue;
    std::atomic<bool> open{false};  // any thread
    std::uint64_t serial = 0;       // order of opening; set once before it is published

    // The last rendering.
    std::shared_ptr<Bitmap> picture;
    std::vector<TextPlacement> texts;

    // Message boxes.
    bool isMessageBox = false;
    UINT messageBoxType = 0;
    String messageBoxText;

    ControlState* Find(int id);
    void Render();
};

// Builds the window of a dialog template (or null when there is none).
std::shared_ptr<Window> CreateFromTemplate(int templateId);
// Publishes an opened window to the tests and withdraws a closed one.
void Publish(const std::shared_ptr<Window>& w);
void Withdraw(const std::shared_ptr<Window>& w);

}  // namespace ui::host
