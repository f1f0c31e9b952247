#pragma once
// The pieces of the Qt tray icon that can be tested without a desktop: the activation-to-message
// mapping, the tip as Qt gets it, and the question whether a tray host runs.
#include <QString>
#include <QSystemTrayIcon>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/shell.h"

namespace bm::platform {

// Turns QSystemTrayIcon activations into the mouse messages of the icon. StatusNotifierItem
// hosts send no DoubleClick: a double click reaches us as two Triggers, so a Trigger within the
// double-click interval of the one before is the double click. Where Qt does report DoubleClick
// (XEmbed), it follows that second Trigger and is dropped, so either way a double click gives
// 513, 514, 515, 514.
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

// The tip up to its NUL, at most 63 bytes as the field allows, without a trailing partial UTF-8
// character (a record filled by other means than SetTip may hold one).
QString TipForQt(const NOTIFYICONDATA& data);

// Whether the desktop's tray host runs. Qt picks StatusNotifierItem or XEmbed once per process,
// when the first tray icon is made, so the icon must wait until a host is there.
class TrayHostProbe {
  public:
    virtual ~TrayHostProbe() = default;
    virtual bool Present() = 0;
    // changed: the answer of Present() may have changed (only reported while waiting).
    // restarted: a StatusNotifierWatcher came up again; an icon made earlier must be shown anew.
    virtual void Watch(std::function<void()> changed, std::function<void()> restarted) = 0;
    // While waiting the probe may poll (never faster than a few times a second); otherwise
    // it reports from signals only.
    virtual void SetWaiting(bool waiting) = 0;
};

// The session bus's StatusNotifierWatcher with a registered host, or an owner of the XEmbed tray
// selection of the X screen.
std::unique_ptr<TrayHostProbe> MakeDesktopTrayHostProbe();

}  // namespace bm::platform
