// The host backend acted on as a person would: wait for a dialog, press its buttons, type, pick
// rows, answer message boxes, read every control and take the dialog's picture. Used by tests and
// by `tarnel-host ui`; any thread but the dialog's own.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/host/canvas.h"
#include "platform/ui/host/rc_script.h"

namespace ui::host {

struct Window;
using WindowRef = std::shared_ptr<Window>;

constexpr int kMessageBoxTemplate = 0;  // the template id the system message box shows as

// The most recently opened window of the template still open, waiting up to timeoutMs.
WindowRef WaitForDialog(int templateId, int timeoutMs = 5000);
// A window of the template opened after `after` (by opening order), waiting up to timeoutMs.
WindowRef WaitForNextDialog(int templateId, const WindowRef& after, int timeoutMs = 5000);
bool WaitClosed(const WindowRef& w, int timeoutMs = 5000);
bool IsOpen(const WindowRef& w);
INT_PTR ResultOf(const WindowRef& w);  // once closed
int TemplateOf(const WindowRef& w);

// A click on a button (refused when it is hidden, disabled or its window is disabled by a modal
// child). Returns once the handler has run or its thread went idle in a nested modal loop.
bool Press(const WindowRef& w, int id);
bool PressEscape(const WindowRef& w);
bool PressCloseBox(const WindowRef& w);
bool Type(const WindowRef& w, int id, const String& text);
bool PickRow(const WindowRef& w, int id, int row);
bool DoubleClickRow(const WindowRef& w, int id, int row);
// Answers the message box: the button id (kIdOk, kIdYes, ...).
bool Answer(const WindowRef& messageBox, int buttonId);

struct ControlSnapshot {
    int id = 0;
    ControlKind kind = ControlKind::Static;
    String text;
    Rect rect;
    bool visible = false;
    bool enabled = false;
    bool checked = false;
    int low = 0, high = 0, pos = 0;
    std::vector<std::pair<String, int>> columns;
    std::vector<std::vector<String>> rows;
    std::vector<String> items;
    int selection = -1;
    DWORD ip = 0;
    int ipFields = 0;
};

std::optional<ControlSnapshot> ReadControl(const WindowRef& w, int id);
std::vector<ControlSnapshot> ReadControls(const WindowRef& w);

struct Picture {
    std::shared_ptr<Bitmap> bitmap;
    std::vector<TextPlacement> texts;
    String caption;
    String messageText;  // message boxes
    UINT messageType = 0;
};
// Repaints the window and returns its client area with the text placements.
std::optional<Picture> Snapshot(const WindowRef& w);

// PNG (8-bit RGB) of a bitmap, deflate stored blocks.
bool SavePng(const Bitmap& bitmap, const std::string& path);
std::vector<unsigned char> EncodePng(const Bitmap& bitmap);

// The system colours the next GetSysColor calls see; Reset restores the defaults.
void SetSysColor(int index, Color color);
void ResetSysColors();

// Waits for work posted to w's thread so far to be run (the thread has gone idle).
bool Settle(const WindowRef& w, int timeoutMs = 5000);

}  // namespace ui::host
