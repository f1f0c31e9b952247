#pragma once
// Tray activations as the icon's mouse messages.
#include <QSystemTrayIcon>
#include <cstdint>
#include <functional>
#include <vector>

namespace bm::platform {

// Turns QSystemTrayIcon activations into the mouse messages of the icon. StatusNotifierItem
// hosts send no DoubleClick: a double click reaches us as two Triggers, so a Trigger within the
// double-click interval of the one before is the double click. Where Qt does report DoubleClick
// (XEmbed), it follows that second Trigger and is dropped, so either way a double click gives
// left down, left up, left double click, left up.
class TrayClickDecoder {
  public:
    using Clock = std::function<std::int64_t()>;  // milliseconds, monotonic
    // interval: the longest gap between the two clicks of a double click, in ms.
    TrayClickDecoder(Clock clock, std::function<int()> interval)
        : clock_(std::move(clock)), interval_(std::move(interval)) {}
    // Clock and interval of the running desktop.
    TrayClickDecoder();

    std::vector<int> Messages(QSystemTrayIcon::ActivationReason reason);

  private:
    Clock clock_;
    std::function<int()> interval_;
    bool triggered_ = false;  // a Trigger that may be the first half of a double click
    std::int64_t triggerAt_ = 0;
    bool doubled_ = false;  // a double click was made from two Triggers
    std::int64_t doubledAt_ = 0;
};

}  // namespace bm::platform
