#pragma once
// The hidden window that owns the tray icon, its tooltip, the clicks on it, the popup menu, the
// drive status timers and the drive pictures, and that handles the ways the program ends.
#include <QAction>
#include <QIcon>
#include <QMenu>
#include <cstdint>
#include <functional>
#include <string>

#include "forms/form.h"
#include "forms/icons.h"
#include "platform/qt/qt_shell.h"
#include "platform/shell.h"

namespace bm {

class frmSystemTray : public forms::Form,
                      public platform::TrayWindow,
                      public platform::TrayMenuOwner {
  public:
    static constexpr const char* kName = "frmSystemTray";
    // Horizontal twips per pixel at 96 dots per inch.
    static constexpr float kTwipsPerPixelX = 15.0F;

    frmSystemTray();
    ~frmSystemTray() override;
    frmSystemTray(const frmSystemTray&) = delete;
    frmSystemTray& operator=(const frmSystemTray&) = delete;

    void Form_Load() override;
    void Form_QueryUnload(std::int16_t& Cancel, std::int16_t UnloadMode) override;
    void Form_Unload(std::int16_t& Cancel) override;
    void Form_MouseMove(int Button, int Shift, float X, float Y);
    // The shell's mouse messages arrive as moves whose X is the message number in pixels.
    void TrayMessage(int message) override;
    // The popup menu, for hosts that draw it themselves.
    QMenu* TrayMenu() override { return mnuPopup; }
    // A notice of the machine that what the drives hold may have changed: the tooltip is
    // rebuilt as soon as its throttle and the hold-off of every drive it shows allow.
    void MediaChanged();
    // Drives came or went: the dialogs and the tooltip follow.
    void TableChanged();

    void tmrUpdateToolTip_Timer();
    void tmrSingleClick_Timer();
    void tmrDoubleClick_Timer();
    void tmrRemovePopup_Timer();
    void tmrUnload_Timer();
    void tmrDriveStatusTimeout_Timer(std::int16_t Index);
    void mnuPopupAbout_Click();
    void mnuPopupExit_Click();
    void mnuPopupAdvanced_Click();
    void mnuPopupProperties_Click();

    // The end of the session told by a platform that may still call it off: the same check as
    // an unload for the end of the session, with the window staying loaded. Without windows
    // (the session manager allows none) the trays are closed and the chosen media ejected.
    void SessionEndCheck(bool withWindows = true);
    // The end was called off while its check runs: the notification is answered now, as with
    // OK, or not shown at all.
    void CallOffCheck();
    // The session did not end after all: the icon goes up again.
    void RestoreIcon();
    bool IconInTray() const { return mIconInTray; }
    const platform::NOTIFYICONDATA& TrayIconRecord() const { return mTrayIcon; }

    // Shows the popup menu and returns when it closed; QMenu::exec at the pointer unless set.
    static std::function<void(QMenu&)> PopupRunner;

    forms::ImageList ilsLargeDriveIcon{32};
    forms::ImageList ilsSmallDriveIcon{16};
    QMenu* mnuPopup;
    QAction* mnuPopupAbout;
    QAction* mnuPopupExit;
    QAction* mnuPopupLine;
    QAction* mnuPopupAdvanced;
    QAction* mnuPopupProperties;
    platform::Timer* tmrUpdateToolTip;
    platform::Timer* tmrSingleClick;
    platform::Timer* tmrDoubleClick;
    platform::Timer* tmrRemovePopup;
    platform::Timer* tmrUnload;

  private:
    void FillTrayIcon(const std::string& tip);
    void DeleteIcon();
    void TakeIconAway();
    void RefreshToolTip();
    void RefreshIfStale();
    void MediaCheck(bool withWindows);
    std::string BuildToolTip();

    platform::NOTIFYICONDATA mTrayIcon;
    bool mIconInTray = false;
    bool mCheckCalledOff = false;
    bool mToolTipStale = false;  // a media notice not yet shown in the tooltip
    QIcon mIcon;
};

}  // namespace bm
