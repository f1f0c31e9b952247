#pragma once
// How the desktop tells the program that the session ends or that it is being closed.
#include <QDBusConnection>
#include <functional>
#include <memory>
#include <string>

namespace bm::platform {

enum class SessionEndSource {
    Xsmp,            // the session manager's shutdown save; Die or a cancel follows the check
    Portal,          // the desktop portal's "query end"; the end or a cancel follows the check
    Logind,          // logind's PrepareForShutdown(true); a delay lock holds the shutdown
    ServiceManager,  // SIGTERM from PID 1 or the user's systemd
};

struct SessionHandlers {
    // Runs the end-of-session check; the platform waits until it returns (within its limits).
    // Without windows where the session manager allows the program none.
    std::function<void(SessionEndSource source, bool withWindows)> sessionEnding;
    // The end did not come after all: logind's PrepareForShutdown(false), or a logout called off.
    std::function<void()> shutdownCancelled;
    // SIGTERM from anyone else: the task manager's close.
    std::function<void()> taskManagerClose;
    // The session manager ends the program (XSMP's Die, the portal's "ending").
    std::function<void()> sessionDie;
};

struct SessionOptions {
    // The X session manager to register with (SESSION_MANAGER's value); empty: none, and the
    // desktop portal's session monitor is asked instead.
    std::string xsmpAddress;
    // The client id given with -session by an earlier session, if any.
    std::string previousId;
};

// Takes SESSION_MANAGER out of the environment, before the QApplication exists, so that Qt's
// own session client stays out of the way; returns its value for SessionOptions.
std::string TakeSessionManagerAddress();
// The XSMP client id in a -session argument as Qt writes it ("ID_KEY"; ids have no '_').
std::string ClientIdOfSessionArgument(const std::string& argument);

class SessionWatch {
  public:
    // Needs the QGuiApplication. Takes logind's delay lock if the system bus has logind.
    explicit SessionWatch(SessionHandlers handlers, const SessionOptions& options = {});
    // With logind looked for on the given bus instead of the system bus.
    SessionWatch(SessionHandlers handlers, const QDBusConnection& systemBus,
                 const SessionOptions& options = {});
    ~SessionWatch();
    SessionWatch(const SessionWatch&) = delete;
    SessionWatch& operator=(const SessionWatch&) = delete;

    // Whether logind's delay lock is held now.
    bool HoldsShutdownLock() const;
    // Whether the program is a client of the X session manager.
    bool RegisteredWithSessionManager() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace bm::platform
