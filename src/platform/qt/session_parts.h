#pragma once
// The pieces of the session watch: who sent a SIGTERM, the signal carried to the event loop, and
// logind's shutdown signal with the delay lock that holds the shutdown for the program's check.
#include <sys/types.h>

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <functional>
#include <memory>
#include <string>

#include "platform/qt/session.h"

class QSocketNotifier;

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

// logind's PrepareForShutdown on the given (system) bus. A delay lock is taken at start and
// after a cancelled shutdown, and given back once ending has returned.
class LogindWatch : public QObject {
    Q_OBJECT

  public:
    // ending runs once per shutdown, however often logind announces it; cancelled runs on
    // PrepareForShutdown(false), after the running check (if any) has returned.
    LogindWatch(QDBusConnection bus, std::function<void()> ending, std::function<void()> cancelled);
    bool Locked() const { return lock_.isValid(); }

  private Q_SLOTS:
    void PrepareForShutdown(bool start);

  private:
    void TakeLock();
    void Release();

    QDBusConnection bus_;
    std::function<void()> ending_;
    std::function<void()> cancelled_;
    QDBusUnixFileDescriptor lock_;
    int asked_ = 0;  // answers to older Inhibit calls are dropped
    bool inShutdown_ = false;
    bool running_ = false;
};

}  // namespace bm::platform
