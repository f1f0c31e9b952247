#pragma once
// Whether a tray host runs, and when it comes and goes.
#include <functional>
#include <memory>

namespace bm::platform {

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
