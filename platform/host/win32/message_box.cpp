// Recorded message boxes with a settable answer (see message_box.h).
#include "platform/host/win32/message_box.h"

#include <mutex>

namespace {

struct State {
    std::mutex mutex;
    int answer = IDOK;
    std::vector<tarnel::host::MessageBoxRecord> boxes;
};

State& state() {
    static State s;
    return s;
}

}  // namespace

int MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
    UNREFERENCED_PARAMETER(hWnd);
    std::lock_guard<std::mutex> lock(state().mutex);
    state().boxes.push_back({lpText ? lpText : u"", lpCaption ? lpCaption : u"Error", uType});
    return state().answer;
}

namespace tarnel::host {

std::vector<MessageBoxRecord> MessageBoxes() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().boxes;
}

void ResetMessageBoxes(int answer) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().boxes.clear();
    state().answer = answer;
}

}  // namespace tarnel::host
