#include "tray/frmSystemTray.h"

#include <QCursor>

#include "drives/modMain.h"
#include "monitor/frmMonitor.h"
#include "platform/services.h"
#include "properties/frmProperties.h"
#include "properties/frmPropertiesAdvanced.h"
#include "version.h"
#include "windows/frmAbout.h"
#include "windows/frmSplash.h"

namespace bm {

using modMain::gDrives;

std::function<void(QMenu&)> frmSystemTray::PopupRunner;

frmSystemTray::frmSystemTray()
    : Form(kName, Qt::Tool),
      mnuPopup(new QMenu(QStringLiteral("Popup"), this)),
      mnuPopupAbout(mnuPopup->addAction(QStringLiteral("&About"))),
      mnuPopupExit(mnuPopup->addAction(QStringLiteral("E&xit"))),
      mnuPopupLine(mnuPopup->addSeparator()),
      mnuPopupAdvanced(mnuPopup->addAction(QStringLiteral("A&dvanced..."))),
      mnuPopupProperties(mnuPopup->addAction(QStringLiteral("&Properties"))),
      tmrUpdateToolTip(&NewTimer(1000, [this] { tmrUpdateToolTip_Timer(); })),
      tmrSingleClick(&NewTimer(500, [this] { tmrSingleClick_Timer(); })),
      tmrDoubleClick(&NewTimer(500, [this] { tmrDoubleClick_Timer(); })),
      tmrRemovePopup(&NewTimer(4000, [this] { tmrRemovePopup_Timer(); })),
      tmrUnload(&NewTimer(1000, [this] { tmrUnload_Timer(); })),
      mIcon(forms::ProgramIcon()) {
    setWindowIcon(mIcon);
    setWindowTitle(QString::fromLatin1(kProductName));
    forms::Named(mnuPopup, "mnuPopup");
    forms::Named(mnuPopupAbout, "mnuPopupAbout");
    forms::Named(mnuPopupExit, "mnuPopupExit");
    forms::Named(mnuPopupLine, "mnuPopupLine");
    forms::Named(mnuPopupAdvanced, "mnuPopupAdvanced");
    forms::Named(mnuPopupProperties, "mnuPopupProperties");
    mnuPopup->setDefaultAction(mnuPopupProperties);
    connect(mnuPopupAbout, &QAction::triggered, this, [this] { mnuPopupAbout_Click(); });
    connect(mnuPopupExit, &QAction::triggered, this, [this] { mnuPopupExit_Click(); });
    connect(mnuPopupAdvanced, &QAction::triggered, this, [this] { mnuPopupAdvanced_Click(); });
    connect(mnuPopupProperties, &QAction::triggered, this, [this] { mnuPopupProperties_Click(); });
    for (int type = modMain::kRemovable; type <= modMain::kCD; ++type) {
        ilsLargeDriveIcon.Add([type] { return forms::DriveIcon(type); });
        ilsSmallDriveIcon.Add([type] { return forms::DriveIcon(type); });
    }
}

frmSystemTray::~frmSystemTray() = default;

void frmSystemTray::Form_Load() {
    modMain::tmrDriveStatusTimeout.OnTimer = [this](int index) {
        tmrDriveStatusTimeout_Timer(static_cast<std::int16_t>(index));
    };
    modMain::tmrDriveStatusTimeout.Load(0).SetInterval(5000);
    FillTrayIcon(kProductName);
    platform::Shell_NotifyIconA(platform::NIM_ADD, mTrayIcon);
    mIconInTray = true;
    // Hosts that read the tip without a mouse message would show the name until the first
    // notice: the tip is due as soon as the start-up's probes allow.
    mToolTipStale = true;
    if (platform::MediaNotices* notices = platform::Get().notices) {
        notices->Watch([this] { MediaChanged(); });
    }
    modMain::OnTableChanged = [this](const auto&) { TableChanged(); };
    // The notification's list names drives by their place in the table.
    modMain::TableBusy = [] {
        const frmMonitor* monitor = forms::Loaded<frmMonitor>();
        return monitor != nullptr && monitor->Visible();
    };
}

void frmSystemTray::Form_Unload(std::int16_t& /*Cancel*/) {
    if (platform::MediaNotices* notices = platform::Get().notices) {
        notices->Watch(nullptr);
    }
    modMain::OnTableChanged = nullptr;
    modMain::TableBusy = nullptr;
    // The status timers are this window's; nothing may tick into it once it is gone.
    modMain::tmrDriveStatusTimeout.OnTimer = nullptr;
    modMain::tmrDriveStatusTimeout.UnloadAll();
}

void frmSystemTray::FillTrayIcon(const std::string& tip) {
    mTrayIcon.cbSize = platform::kNotifyIconDataSize;
    mTrayIcon.hWnd = this;
    mTrayIcon.uID = 1;
    mTrayIcon.uFlags = platform::NIF_MESSAGE | platform::NIF_ICON | platform::NIF_TIP;
    mTrayIcon.uCallbackMessage = platform::WM_MOUSEMOVE;
    mTrayIcon.hIcon = &mIcon;
    platform::SetTip(mTrayIcon, tip);
}

void frmSystemTray::DeleteIcon() {
    mTrayIcon.cbSize = platform::kNotifyIconDataSize;
    mTrayIcon.hWnd = this;
    mTrayIcon.uID = 1;
    platform::Shell_NotifyIconA(platform::NIM_DELETE, mTrayIcon);
    mIconInTray = false;
}

std::string frmSystemTray::BuildToolTip() {
    std::string text;
    for (std::size_t i = 0; i < gDrives.size(); ++i) {
        DriveRecord& drive = gDrives[i];
        if (drive.StatusToolTip == 0) {
            continue;
        }
        modMain::RefreshDriveStatus(drive);
        if (drive.MediaPresent == vbFalse) {
            continue;
        }
        if (!text.empty()) {
            text += ", ";
        }
        text += (drive.VolumeLabel.empty() || modMain::gShowMediaType != vbFalse)
                    ? drive.MediaName
                    : drive.VolumeLabel;
        text += " in ";
        text += modMain::gShowDriveType != vbFalse ? drive.TypeName : "(" + drive.Letter + ":)";
    }
    return text.empty() ? std::string(kProductName) : text;
}

void frmSystemTray::RefreshToolTip() {
    if (tmrUpdateToolTip->Enabled()) {
        return;
    }
    // A notice that comes while the drives are probed is for the next rebuild.
    mToolTipStale = false;
    FillTrayIcon(BuildToolTip());
    platform::Shell_NotifyIconA(platform::NIM_MODIFY, mTrayIcon);
    tmrUpdateToolTip->SetEnabled(true);
}

void frmSystemTray::MediaChanged() {
    modMain::FollowMachine();
    mToolTipStale = true;
    RefreshIfStale();
}

void frmSystemTray::TableChanged() {
    if (frmProperties* properties = forms::Loaded<frmProperties>()) {
        properties->TableChanged();
    }
    mToolTipStale = true;
    RefreshIfStale();
}

void frmSystemTray::RefreshIfStale() {
    // While the icon is away (the end of the session) the notice waits for its return.
    if (!mToolTipStale || !mIconInTray || tmrUpdateToolTip->Enabled()) {
        return;
    }
    // A drive in its hold-off would not be probed, and its old state would hide the change:
    // its tick comes back here.
    for (std::size_t i = 0; i < gDrives.size(); ++i) {
        const DriveRecord& drive = gDrives[i];
        const platform::Timer* timer =
            modMain::tmrDriveStatusTimeout.Item(static_cast<unsigned char>(drive.Letter[0]));
        if (drive.StatusToolTip != 0 && timer != nullptr && timer->Enabled()) {
            return;
        }
    }
    // Nobody asked for this rebuild: a drive that fails is traced, not put in a box.
    const modMain::QuietDeviceFaults quiet;
    RefreshToolTip();
}

void frmSystemTray::TrayMessage(int message) {
    Form_MouseMove(0, 0, static_cast<float>(message) * kTwipsPerPixelX, 0.0F);
}

void frmSystemTray::Form_MouseMove(int /*Button*/, int /*Shift*/, float X, float /*Y*/) {
    RefreshToolTip();
    const float message = X / kTwipsPerPixelX;
    if (message == static_cast<float>(platform::kWmLButtonUp)) {
        if (!tmrDoubleClick->Enabled()) {
            tmrSingleClick->SetEnabled(true);
        }
    } else if (message == static_cast<float>(platform::kWmLButtonDblClk)) {
        tmrSingleClick->SetEnabled(false);
        tmrDoubleClick->SetEnabled(true);
        mnuPopupProperties_Click();
    } else if (message == static_cast<float>(platform::kWmRButtonUp)) {
        tmrSingleClick->SetEnabled(false);
        // A fresh four seconds for this menu: the tick of an earlier right click would
        // otherwise take it away at once.
        tmrRemovePopup->SetEnabled(false);
        tmrRemovePopup->SetEnabled(true);
        if (PopupRunner) {
            PopupRunner(*mnuPopup);
        } else {
            mnuPopup->exec(QCursor::pos());
        }
    }
}

void frmSystemTray::tmrUpdateToolTip_Timer() {
    tmrUpdateToolTip->SetEnabled(false);
    RefreshIfStale();
}

void frmSystemTray::tmrSingleClick_Timer() {
    tmrSingleClick->SetEnabled(false);
    modMain::ToggleTrayDoors();
}

void frmSystemTray::tmrDoubleClick_Timer() {
    tmrDoubleClick->SetEnabled(false);
}

void frmSystemTray::tmrRemovePopup_Timer() {
    mnuPopup->hide();
    tmrRemovePopup->SetEnabled(false);
}

void frmSystemTray::tmrDriveStatusTimeout_Timer(std::int16_t Index) {
    if (platform::Timer* timer = modMain::tmrDriveStatusTimeout.Item(Index)) {
        timer->SetEnabled(false);
    }
    RefreshIfStale();
}

void frmSystemTray::mnuPopupAbout_Click() {
    forms::Ref<frmAbout>().Show();
}

void frmSystemTray::mnuPopupAdvanced_Click() {
    forms::Ref<frmPropertiesAdvanced>().Show();
}

void frmSystemTray::mnuPopupProperties_Click() {
    forms::Ref<frmProperties>().Show();
}

void frmSystemTray::mnuPopupExit_Click() {
    DeleteIcon();
    forms::Unload<frmProperties>();
    forms::Unload<frmPropertiesAdvanced>();
    tmrUnload->SetEnabled(true);
}

void frmSystemTray::tmrUnload_Timer() {
    forms::FormRegistry::Unload(*this, forms::vbFormCode);
}

void frmSystemTray::TakeIconAway() {
    tmrUpdateToolTip->SetEnabled(true);
    if (mIconInTray) {
        DeleteIcon();
    }
}

void frmSystemTray::Form_QueryUnload(std::int16_t& /*Cancel*/, std::int16_t UnloadMode) {
    TakeIconAway();
    switch (UnloadMode) {
        case forms::vbAppTaskManager:
            MsgBox(std::string("Why'd ya do that?  Just right click") + "\r" +
                       "on the System Tray Icon and pick Exit.",
                   platform::kVbQuestion + platform::kVbSystemModal, kAppTitle);
            break;
        case forms::vbAppWindows:
            MediaCheck(true);
            break;
        case forms::vbFormCode:
            forms::Ref<frmAbout>().Show();
            break;
        default:
            break;
    }
}

void frmSystemTray::SessionEndCheck(bool withWindows) {
    TakeIconAway();
    MediaCheck(withWindows);
}

void frmSystemTray::CallOffCheck() {
    mCheckCalledOff = true;
    frmMonitor* monitor = forms::Loaded<frmMonitor>();
    if (monitor != nullptr && monitor->Visible() && !monitor->tmrUnload->Enabled()) {
        monitor->cmdOkay_Click();
    }
}

void frmSystemTray::RestoreIcon() {
    if (mIconInTray || forms::Loaded<frmSystemTray>() != this) {
        return;
    }
    FillTrayIcon(kProductName);
    platform::Shell_NotifyIconA(platform::NIM_ADD, mTrayIcon);
    mIconInTray = true;
}

void frmSystemTray::MediaCheck(bool withWindows) {
    // A notification left from an earlier end of the session that did not happen: start afresh,
    // with an empty list, a full bar and no pending hide.
    forms::Unload<frmMonitor>();
    mCheckCalledOff = false;
    const modMain::QuietDeviceFaults quiet;
    modMain::CloseAllDoors();
    for (std::size_t i = 0; i < gDrives.size(); ++i) {
        DriveRecord& drive = gDrives[i];
        if (drive.Monitor != 1) {
            continue;
        }
        modMain::RefreshDriveStatus(drive);
        if (drive.MediaPresent == vbFalse) {
            continue;
        }
        const std::string key = Chr(static_cast<int>(i));
        if (withWindows && drive.Notify != 0) {
            forms::Ref<frmMonitor>().lvwDrive->Add(key,
                                                   drive.VolumeLabel + " (" + drive.Letter + ":)",
                                                   drive.DriveType, drive.DriveType);
        }
        if (drive.Eject != 0) {
            modMain::OpenDoor(drive);
            if (withWindows && drive.Notify != 0) {
                ListView& list = *forms::Ref<frmMonitor>().lvwDrive;
                list.SetGhosted(list.Find(key), drive.DoorClosed == vbFalse);  // not if refused
            }
        }
    }
    if (!withWindows) {
        return;
    }
    if (mCheckCalledOff) {
        modMain::CloseAllDoors();  // what the notification's OK would have done
        return;
    }
    frmMonitor& monitor = forms::Ref<frmMonitor>();
    if (monitor.lvwDrive->Count() == 0) {
        // The session waits for the splash as it would for the notification.
        forms::Ref<frmSplash>().Show();
        platform::Get().host->WaitWhile([] {
            const frmSplash* shown = forms::Loaded<frmSplash>();
            return shown != nullptr && shown->Visible();
        });
        return;
    }
    monitor.tmrTick->SetEnabled(true);
    monitor.Show();
    platform::Get().host->WaitWhile([] {
        const frmMonitor* shown = forms::Loaded<frmMonitor>();
        return shown != nullptr && shown->Visible();
    });
}

}  // namespace bm
