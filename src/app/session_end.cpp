#include "app/session_end.h"

#include "platform/qt/form.h"
#include "tray/frmSystemTray.h"

namespace bm::app {

void SessionEnd::Ending(platform::SessionEndSource source) {
    if (checking_) {
        return;  // one check at a time; the running one answers for both
    }
    if (checked_) {
        // Told twice (the lock, then the service manager's SIGTERM): the drives were looked at.
        if (source != platform::SessionEndSource::Logind) {
            quit_();
        }
        return;
    }
    checking_ = true;
    frmSystemTray* tray = forms::Loaded<frmSystemTray>();
    if (source == platform::SessionEndSource::Logind) {
        // logind can still call the shutdown off: keep the window, so the icon can come back.
        if (tray != nullptr) {
            tray->SessionEndCheck();
        }
        checked_ = true;
        checking_ = false;
        return;
    }
    if (tray != nullptr) {
        forms::FormRegistry::Unload(*tray, forms::vbAppWindows);
    }
    checked_ = true;
    checking_ = false;
    // No platform here says that the end was called off: a program without its icon would only
    // refuse every later start, so it ends.
    quit_();
}

void SessionEnd::Cancelled() {
    if (checking_) {
        return;
    }
    checked_ = false;
    if (frmSystemTray* tray = forms::Loaded<frmSystemTray>()) {
        tray->RestoreIcon();
    }
}

void SessionEnd::TaskManagerClose() {
    if (checking_) {
        return;
    }
    if (frmSystemTray* tray = forms::Loaded<frmSystemTray>()) {
        forms::FormRegistry::Unload(*tray, forms::vbAppTaskManager);
    }
    quit_();
}

}  // namespace bm::app
