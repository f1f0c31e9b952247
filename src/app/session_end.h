#pragma once
// What the program does when the desktop ends the session or closes the program.
#include <functional>

#include "platform/qt/session.h"

namespace bm::app {

class SessionEnd {
  public:
    // quit ends the program once the current handler has returned.
    explicit SessionEnd(std::function<void()> quit) : quit_(std::move(quit)) {}

    void Ending(platform::SessionEndSource source, bool withWindows = true);
    // The end did not come: during a check, the notification is answered at once; after it,
    // the icon comes back.
    void Cancelled();
    // The session manager ends the program.
    void Die();
    void TaskManagerClose();

  private:
    std::function<void()> quit_;
    bool checking_ = false;
    bool checked_ = false;  // the check of this end of the session is done
};

}  // namespace bm::app
