#pragma once
// How the desktop tells the program that the session ends or that it is being closed.
#include <QDBusConnection>
#include <functional>
#include <memory>

namespace bm::platform {

enum class SessionEndSource {
    Xsmp,            // the session manager's commit-data request; returns when handled
    Logind,          // logind's PrepareForShutdown(true); a delay lock holds the shutdown
    ServiceManager,  // SIGTERM from PID 1 or the user's systemd
};

struct SessionHandlers {
    // Runs the end-of-session check; the platform waits until it returns (within its limits).
    std::function<void(SessionEndSource source)> sessionEnding;
    // logind's PrepareForShutdown(false): the shutdown was cancelled.
    std::function<void()> shutdownCancelled;
    // SIGTERM from anyone else: the task manager's close.
    std::function<void()> taskManagerClose;
};

class SessionWatch {
  public:
    // Needs the QGuiApplication. Takes logind's delay lock if the system bus has logind.
    explicit SessionWatch(SessionHandlers handlers);
    // With logind looked for on the given bus instead of the system bus.
    SessionWatch(SessionHandlers handlers, const QDBusConnection& systemBus);
    ~SessionWatch();
    SessionWatch(const SessionWatch&) = delete;
    SessionWatch& operator=(const SessionWatch&) = delete;

    // Whether logind's delay lock is held now.
    bool HoldsShutdownLock() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace bm::platform
