#pragma once
// SIGTERM carried from its handler to the event loop.
#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>

class QSocketNotifier;

namespace bm::platform {

// PID 1, or a process named "systemd" (the user's service manager), under procRoot.
bool IsServiceManager(pid_t pid, const std::string& procRoot = "/proc");

// Who sent a SIGTERM: the session (the program's parent, that is the session manager that
// started it, or the session's leader), the service manager, or someone else.
enum class SigtermFrom { Session, ServiceManager, Other };
SigtermFrom SigtermSender(pid_t sender, pid_t parent, pid_t leader,
                          const std::string& procRoot = "/proc");

// SIGTERM, written by the handler into a pipe and read on the event loop. One at a time: a
// second one while the first lives is not installed.
class SigtermPipe {
  public:
    explicit SigtermPipe(std::function<void(pid_t sender)> received);
    ~SigtermPipe();
    SigtermPipe(const SigtermPipe&) = delete;
    SigtermPipe& operator=(const SigtermPipe&) = delete;
    bool Installed() const { return notifier_ != nullptr; }

  private:
    void Drain();
    std::function<void(pid_t)> received_;
    int read_ = -1;
    int write_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace bm::platform
