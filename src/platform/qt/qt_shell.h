#pragma once
// The notification-area icon on QSystemTrayIcon, and the two sounds.
#include <memory>

#include "platform/shell.h"

class QMenu;
class QSystemTrayIcon;

namespace bm::platform {

class TrayHostProbe;

class QtShell : public Shell {
  public:
    // The desktop's tray host, looked for when the icon is first added.
    QtShell();
    // Another way to tell whether a tray host runs (tests).
    explicit QtShell(std::unique_ptr<TrayHostProbe> probe);
    ~QtShell() override;
    QtShell(const QtShell&) = delete;
    QtShell& operator=(const QtShell&) = delete;
    // NIM_ADD, NIM_MODIFY, NIM_DELETE of the one icon. hIcon is a const QIcon*; hWnd receives
    // the mouse messages. An add before the desktop's tray host is up is kept and shown once
    // the host registers; an icon whose host restarts is shown again.
    bool NotifyIcon(int message, const NOTIFYICONDATA& data) override;
    // MB_OK and MB_ICONASTERISK as the desktop's event sounds, the X bell where none plays.
    void Beep(int type) override;
    // menu: a QMenu*. Where the tray host draws the menu itself (a StatusNotifierItem host with
    // dbusmenu: Xfce, KDE Plasma, GNOME's AppIndicator, LXQt), its actions are exported to it;
    // where the host forwards the right click (XEmbed), the window shows the menu itself on the
    // right button-up. GNOME Shell's extension, which draws no tooltip, gets the tip as the
    // menu's first, greyed item.
    void SetTrayMenu(const TrayWindow* window, void* menu) override;
    // An inhibitor with the session manager naming the media (MediaInhibitor).
    void SessionEndMedia(const std::vector<std::string>& media) override;

    // The icon as handed to Qt; null while none is added or while it waits for a tray host.
    const QSystemTrayIcon* TrayIcon() const;
    // The menu exported to a host that draws it; null where the window shows its own.
    const QMenu* ExportedMenu() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace bm::platform
