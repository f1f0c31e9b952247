#include "platform/qt/session_dispatch.h"

#include <fstream>

namespace bm::platform {

bool IsServiceManager(pid_t pid, const std::string& procRoot) {
    if (pid == 1) {
        return true;
    }
    if (pid <= 0) {
        return false;  // the kernel, or a sender outside our PID namespace
    }
    std::ifstream comm(procRoot + "/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name == "systemd";
}

SessionDispatch::SessionDispatch(SessionHandlers handlers,
                                 std::function<bool(pid_t)> isServiceManager)
    : handlers_(std::move(handlers)), isServiceManager_(std::move(isServiceManager)) {}

void SessionDispatch::Ending(SessionEndSource source, bool withWindows) {
    if (handlers_.sessionEnding) {
        ++running_;
        handlers_.sessionEnding(source, withWindows);
        --running_;
    }
    RunPending();
}

void SessionDispatch::Cancelled() {
    if (handlers_.shutdownCancelled) {
        handlers_.shutdownCancelled();
    }
}

void SessionDispatch::Die() {
    if (handlers_.sessionDie) {
        handlers_.sessionDie();
    }
}

void SessionDispatch::Sigterm(pid_t sender) {
    (isServiceManager_(sender) ? endPending_ : closePending_) = true;
    RunPending();
}

void SessionDispatch::RunPending() {
    if (running_ > 0) {
        return;
    }
    if (endPending_) {
        // The end of the session answers a close as well.
        endPending_ = closePending_ = false;
        Ending(SessionEndSource::ServiceManager, true);
    } else if (closePending_) {
        ++running_;
        if (handlers_.taskManagerClose) {
            handlers_.taskManagerClose();
        }
        --running_;
        // A second close while the first one's message box was up is the same close.
        closePending_ = false;
        RunPending();
    }
}

}  // namespace bm::platform
