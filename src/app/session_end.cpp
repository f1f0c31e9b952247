#include "app/session_end.h"

#include "forms/form.h"
#include "monitor/frmMonitor.h"
#include "platform/services.h"
#include "tray/frmSystemTray.h"
#include "windows/frmSplash.h"

namespace bm::app {

void SessionEnd::Ending(platform::SessionEndSource source, bool withWindows) {
    if (checking_) {
        // One check at a time. The running one answers for both, and this end too waits until
        // its windows are done.
        platform::Get().host->WaitWhile([] {
            const frmMonitor* monitor = forms::Loaded<frmMonitor>();
            const frmSplash* splash = forms::Loaded<frmSplash>();
            return (monitor != nullptr && monitor->Visible()) ||
                   (splash != nullptr && splash->Visible());
        });
        return;
    }
    if (checked_) {
        // Told twice (the session manager or the lock, then the service manager's SIGTERM): the
        // drives were looked at.
        if (source == platform::SessionEndSource::ServiceManager) {
            quit_();
        }
        return;
    }
    checking_ = true;
    frmSystemTray* tray = forms::Loaded<frmSystemTray>();
    if (source == platform::SessionEndSource::ServiceManager) {
        // Nobody calls this end off.
        if (tray != nullptr) {
            forms::FormRegistry::Unload(*tray, forms::vbAppWindows);
        }
        checked_ = true;
        checking_ = false;
        quit_();
        return;
    }
    // The session manager and logind can still call the end off: keep the window, so the icon
    // can come back.
    if (tray != nullptr) {
        tray->SessionEndCheck(withWindows);
    }
    checked_ = true;
    checking_ = false;
}

void SessionEnd::Cancelled() {
    if (checking_) {
        // The icon comes back when the check is done; the check itself ends early.
        if (frmSystemTray* tray = forms::Loaded<frmSystemTray>()) {
            tray->CallOffCheck();
        }
        return;
    }
    checked_ = false;
    // The notification of an end that did not come is done with; left loaded, it would keep
    // the program alive after Exit.
    forms::Unload<frmMonitor>();
    if (frmSystemTray* tray = forms::Loaded<frmSystemTray>()) {
        tray->RestoreIcon();
    }
}

void SessionEnd::Die() {
    if (!checked_ && !checking_) {
        // Told to end without a save first: the check still runs, and then the program ends.
        Ending(platform::SessionEndSource::ServiceManager);
        return;
    }
    quit_();
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
