#pragma once
// Who ended the session, and a SIGTERM held while a check runs.
#include <sys/types.h>

#include <functional>
#include <string>

#include "platform/qt/session.h"

namespace bm::platform {

// PID 1, or a process named "systemd" (the user's service manager), under procRoot.
bool IsServiceManager(pid_t pid, const std::string& procRoot = "/proc");

// What reaches the handlers. A SIGTERM that comes while a check runs is handled once it has
// returned: the service manager's as the end of the session, anyone else's as a close.
class SessionDispatch {
  public:
    SessionDispatch(SessionHandlers handlers, std::function<bool(pid_t)> isServiceManager);
    void Ending(SessionEndSource source, bool withWindows);
    void Cancelled();
    void Die();
    void Sigterm(pid_t sender);

  private:
    void RunPending();
    SessionHandlers handlers_;
    std::function<bool(pid_t)> isServiceManager_;
    int running_ = 0;
    bool endPending_ = false;
    bool closePending_ = false;
};

}  // namespace bm::platform
