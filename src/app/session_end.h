#pragma once
// What the program does when the desktop ends the session or closes the program; when is the
// session machine's to decide (platform/qt/session_machine.h).
#include <functional>

#include "platform/qt/session.h"

namespace bm::app {

class SessionEnd {
  public:
    // quit ends the program once the current handler has returned.
    explicit SessionEnd(std::function<void()> quit) : quit_(std::move(quit)) {}

    // The check: trays closed, media looked for and ejected, the notification (with windows)
    // counting down; returns when it is done.
    void Check(bool withWindows = true,
               std::optional<platform::SessionClock::time_point> deadline = {},
               const std::function<bool()>& finishing = {});
    // The notification is answered now, as with OK; hidden at once with the session gone.
    void FinishCheck(bool sessionGone = false);
    // The end did not come: the icon comes back.
    void RestoreIcon();
    void TaskManagerClose();
    void Quit();
    // The handlers for SessionWatch.
    platform::SessionHandlers Handlers();

  private:
    std::function<void()> quit_;
};

}  // namespace bm::app
