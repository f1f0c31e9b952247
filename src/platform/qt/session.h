#pragma once
// How the desktop tells the program that the session ends or that it is being closed.
#include <QDBusConnection>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/qt/session_machine.h"

namespace bm::platform {

// What the end of the session asks of the program; SessionMachine decides when.
struct SessionHandlers {
    // Runs the end-of-session check and returns when it is done. Without windows where the
    // session allows the program none; deadline: when the session goes on regardless;
    // finishing: whether the check is to end now (called off, or the session gone).
    std::function<void(bool withWindows, std::optional<SessionClock::time_point> deadline,
                       const std::function<bool()>& finishing)>
        check;
    // The running check's notification is answered now, as with OK; at once with the session
    // gone.
    std::function<void(bool sessionGone)> finishCheck;
    // The end did not come after all: the icon goes up again.
    std::function<void()> restoreIcon;
    // SIGTERM from anyone but the session: the task manager's close.
    std::function<void()> taskManagerClose;
    // The program ends, status 0.
    std::function<void()> quit;
};

struct SessionOptions {
    // The X session manager to register with (SESSION_MANAGER's value); empty: none, and the
    // desktop portal's session monitor is asked instead.
    std::string xsmpAddress;
    // The client id to register under: the session's DESKTOP_AUTOSTART_ID, or the one given with
    // -session by an earlier session, if any.
    std::string previousId;
};

// Takes SESSION_MANAGER out of the environment, before the QApplication exists, so that Qt's
// own session client stays out of the way; returns its value for SessionOptions.
std::string TakeSessionManagerAddress();
// Takes DESKTOP_AUTOSTART_ID out of the environment (it is for this program, not its children).
std::string TakeAutostartId();
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
