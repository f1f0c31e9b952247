#include "platform/qt/session.h"

#include <unistd.h>
#include <QLoggingCategory>
#include <cstdlib>

#include "platform/qt/logind_watch.h"
#include "platform/qt/session_portal.h"
#include "platform/qt/session_trace.h"
#include "platform/qt/sigterm_pipe.h"
#include "platform/qt/xsmp_client.h"

Q_DECLARE_LOGGING_CATEGORY(lcSession)

namespace bm::platform {

void SessionTrace(const std::string& message) {
    qCDebug(lcSession, "%s", message.c_str());
}

void SessionWarning(const std::string& message) {
    qCWarning(lcSession, "%s", message.c_str());
}

namespace {
std::string TakeEnvironment(const char* name) {
    const char* value = std::getenv(name);
    std::string taken = value != nullptr ? value : "";
    unsetenv(name);
    return taken;
}
}  // namespace

std::string TakeSessionManagerAddress() {
    return TakeEnvironment("SESSION_MANAGER");
}

std::string TakeAutostartId() {
    return TakeEnvironment("DESKTOP_AUTOSTART_ID");
}

std::string ClientIdOfSessionArgument(const std::string& argument) {
    return argument.substr(0, argument.find('_'));
}

// The sources' adapters feed the machine; the machine's answers go back to them and to the
// program.
struct SessionWatch::Impl : SessionOutput {
    Impl(SessionHandlers h, const QDBusConnection& systemBus, const SessionOptions& options)
        : handlers(std::move(h)),
          sigterm([this](pid_t sender) { Sigterm(sender); }),
          logind(systemBus, LogindWatch::Events{[this](SessionClock::time_point deadline) {
                                                    machine.Request(EndSource::Logind,
                                                                    EndWindows::Allowed, deadline);
                                                },
                                                [this] { machine.CalledOff(EndSource::Logind); }}) {
        if (options.xsmpAddress.empty()) {
            // Wayland desktops without XSMP announce the end through the portal, if at all.
            SessionTrace("no X session manager (SESSION_MANAGER is not set)");
            portal = std::make_unique<PortalSessionMonitor>(
                QDBusConnection::sessionBus(),
                PortalSessionMonitor::Events{
                    [this] { machine.Request(EndSource::Portal, EndWindows::Allowed); },
                    [this] { machine.CalledOff(EndSource::Portal); },
                    [this] { machine.Confirmed(EndSource::Portal); }});
            return;
        }
        xsmp = std::make_unique<XsmpClient>(
            options.xsmpAddress, options.previousId,
            XsmpClient::Events{[this](bool shutdown, EndWindows windows) {
                                   if (shutdown) {
                                       machine.Request(EndSource::Xsmp, windows);
                                   } else {
                                       machine.Checkpoint(EndSource::Xsmp);
                                   }
                               },
                               [this](bool granted) { machine.Granted(EndSource::Xsmp, granted); },
                               [this] { machine.Confirmed(EndSource::Xsmp); },
                               [this] { machine.CalledOff(EndSource::Xsmp); },
                               [this] { machine.CalledOff(EndSource::Xsmp, true); },
                               [this] { machine.Gone(EndSource::Xsmp); }});
    }

    void Sigterm(pid_t sender) {
        // A program that leads its own session (started with setsid) has no leader to hear.
        const pid_t leader = getsid(0) == getpid() ? 0 : getsid(0);
        switch (SigtermSender(sender, getppid(), leader)) {
            case SigtermFrom::ServiceManager:
                SessionTrace("SIGTERM from the service manager (" + std::to_string(sender) + ")");
                machine.Request(EndSource::Signal, EndWindows::Allowed, {}, true);
                return;
            case SigtermFrom::Session:
                // lxqt-session and the session scripts do not wait: the display goes next.
                SessionTrace("SIGTERM from the session (" + std::to_string(sender) +
                             "): nothing waits, no windows");
                machine.Request(EndSource::Signal, EndWindows::None, {}, true);
                return;
            case SigtermFrom::Other:
                break;
        }
        logind.AskClosing([this, sender](bool closing) {
            if (closing) {
                SessionTrace("SIGTERM from " + std::to_string(sender) +
                             " while the session closes: no windows");
                machine.Request(EndSource::Signal, EndWindows::None, {}, true);
            } else {
                SessionTrace("SIGTERM from " + std::to_string(sender) + ": a close from outside");
                machine.Close();
            }
        });
    }

    // SessionOutput
    void AskWindows(EndSource source) override {
        if (source == EndSource::Xsmp && xsmp) {
            xsmp->AskWindows();
        } else {
            machine.Granted(source, false);
        }
    }
    void GiveWindowsBack(EndSource source) override {
        if (source == EndSource::Xsmp && xsmp) {
            xsmp->GiveWindowsBack();
        }
    }
    void Answer(EndSource source, bool windowsGranted) override {
        switch (source) {
            case EndSource::Xsmp:
                if (xsmp) {
                    xsmp->Answer(windowsGranted);
                }
                break;
            case EndSource::Portal:
                if (portal) {
                    portal->Release();
                }
                break;
            case EndSource::Logind:
                logind.Release();
                break;
            case EndSource::Signal:
                break;
        }
    }
    void Check(bool withWindows, std::optional<SessionClock::time_point> deadline) override {
        if (handlers.check) {
            handlers.check(withWindows, deadline, [this] { return machine.Finishing(); });
        }
    }
    void FinishCheck(bool sessionGone) override {
        if (handlers.finishCheck) {
            handlers.finishCheck(sessionGone);
        }
    }
    void RestoreIcon() override {
        if (handlers.restoreIcon) {
            handlers.restoreIcon();
        }
    }
    void TaskManagerClose() override {
        if (handlers.taskManagerClose) {
            handlers.taskManagerClose();
        }
    }
    void Quit() override {
        // Leaves the session manager now: it may be gone, and nothing is to be left open.
        if (xsmp) {
            xsmp->Close();
        }
        if (handlers.quit) {
            handlers.quit();
        }
    }

    SessionHandlers handlers;
    SessionMachine machine{*this};
    SigtermPipe sigterm;
    LogindWatch logind;
    std::unique_ptr<XsmpClient> xsmp;
    std::unique_ptr<PortalSessionMonitor> portal;
};

SessionWatch::SessionWatch(SessionHandlers handlers, const SessionOptions& options)
    : SessionWatch(std::move(handlers), QDBusConnection::systemBus(), options) {}

SessionWatch::SessionWatch(SessionHandlers handlers, const QDBusConnection& systemBus,
                           const SessionOptions& options)
    : impl_(std::make_unique<Impl>(std::move(handlers), systemBus, options)) {}

SessionWatch::~SessionWatch() = default;

bool SessionWatch::HoldsShutdownLock() const {
    return impl_->logind.Locked();
}

bool SessionWatch::RegisteredWithSessionManager() const {
    return impl_->xsmp != nullptr && impl_->xsmp->Registered();
}

}  // namespace bm::platform
