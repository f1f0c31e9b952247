#include "app/session_end.h"

#include "forms/form.h"
#include "monitor/frmMonitor.h"
#include "tray/frmSystemTray.h"

namespace bm::app {

void SessionEnd::Check(bool withWindows, std::optional<platform::SessionClock::time_point> deadline,
                       const std::function<bool()>& finishing) {
    // The session can still be called off: the window stays, so the icon can come back.
    if (frmSystemTray* tray = forms::Loaded<frmSystemTray>()) {
        tray->SessionEndCheck(withWindows, deadline, finishing);
    }
}

void SessionEnd::FinishCheck(bool sessionGone) {
    if (frmSystemTray* tray = forms::Loaded<frmSystemTray>()) {
        tray->FinishCheck(sessionGone);
    }
}

void SessionEnd::RestoreIcon() {
    // The notification of an end that did not come is done with; left loaded, it would keep
    // the program alive after Exit.
    forms::Unload<frmMonitor>();
    if (frmSystemTray* tray = forms::Loaded<frmSystemTray>()) {
        tray->RestoreIcon();
    }
}

void SessionEnd::TaskManagerClose() {
    if (frmSystemTray* tray = forms::Loaded<frmSystemTray>()) {
        forms::FormRegistry::Unload(*tray, forms::vbAppTaskManager);
    }
    quit_();
}

void SessionEnd::Quit() {
    quit_();
}

platform::SessionHandlers SessionEnd::Handlers() {
    return {
        [this](bool withWindows, std::optional<platform::SessionClock::time_point> deadline,
               const std::function<bool()>& finishing) { Check(withWindows, deadline, finishing); },
        [this](bool sessionGone) { FinishCheck(sessionGone); }, [this] { RestoreIcon(); },
        [this] { TaskManagerClose(); }, [this] { Quit(); }};
}

}  // namespace bm::app
