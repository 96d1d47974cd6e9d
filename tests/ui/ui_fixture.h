// Dialog tests: the program's resource script loaded, default system colours, and a modal run on
// a thread of its own while the test acts as the person in front of it.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "platform/ui/host/host_ui.h"
#include "platform/ui/ui.h"
#include "tool/app/resources_text.h"

class UiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ui::UseResourceScript(kTarnelResourceScript, kTarnelResourceHeader);
        ui::host::ResetSysColors();
    }
    void TearDown() override { ui::host::ResetSysColors(); }
};

// Runs `run` (a DoModal) on its own thread; Join gives its result.
class ModalThread {
  public:
    explicit ModalThread(std::function<INT_PTR()> run)
        : thread_([this, run] {
              result_ = run();
              done_ = true;
          }) {}
    ~ModalThread() {
        if (thread_.joinable())
            thread_.join();
    }
    INT_PTR Join() {
        thread_.join();
        return result_;
    }
    bool Done() const { return done_; }

  private:
    std::atomic<bool> done_{false};
    INT_PTR result_ = 0;
    std::thread thread_;
};

inline std::string Narrow(const ui::String& s) {
    return std::string(s.begin(), s.end());
}

// The text placements a control (0: the dialog's own painting) made in a picture.
inline std::vector<ui::host::TextPlacement> TextsOf(const ui::host::Picture& p, int control) {
    std::vector<ui::host::TextPlacement> out;
    for (const auto& t : p.texts) {
        if (t.control == control)
            out.push_back(t);
    }
    return out;
}
