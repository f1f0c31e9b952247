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
    // Whether the host is GNOME Shell's AppIndicator extension, known once Present() is: it
    // draws no tooltip, opens the menu on the left click and sends Activate only on a double
    // click, SecondaryActivate on a middle click.
    virtual bool GnomeShellHost() { return false; }
};

// The session bus's StatusNotifierWatcher with a registered host, or an owner of the XEmbed tray
// selection of the X screen. The watcher's owner tells which host it is: gnome-shell's process
// is GNOME Shell's extension.
std::unique_ptr<TrayHostProbe> MakeDesktopTrayHostProbe();

}  // namespace bm::platform
