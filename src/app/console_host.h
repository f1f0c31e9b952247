#pragma once
// The host of the drive tool: no event loop, so timers only keep their state, and message
// boxes become lines on standard error.
#include <ostream>

#include "platform/host.h"

namespace bm::app {

class ConsoleHost : public platform::Host {
  public:
    explicit ConsoleHost(std::ostream& err) : err_(err) {}
    std::unique_ptr<platform::Timer> CreateTimer() override;
    void DoEvents() override {}
    int MsgBox(const std::string& prompt, int style, const std::string& title) override;
    std::string AppPath() override;
    // Nothing runs without an event loop, so nothing could change the condition.
    void WaitWhile(const std::function<bool()>& /*condition*/) override {}

  private:
    std::ostream& err_;
};

}  // namespace bm::app
