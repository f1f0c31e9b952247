#include "platform/qt/session.h"

#include <QLoggingCategory>
#include <cstdlib>

#include "platform/qt/logind_watch.h"
#include "platform/qt/session_dispatch.h"
#include "platform/qt/session_portal.h"
#include "platform/qt/session_trace.h"
#include "platform/qt/session_xsmp.h"
#include "platform/qt/sigterm_pipe.h"

Q_LOGGING_CATEGORY(lcSession, "bayminder.session", QtInfoMsg)

namespace bm::platform {

void SessionTrace(const std::string& message) {
    qCDebug(lcSession, "%s", message.c_str());
}

void SessionWarning(const std::string& message) {
    qCWarning(lcSession, "%s", message.c_str());
}

std::string TakeSessionManagerAddress() {
    const char* value = std::getenv("SESSION_MANAGER");
    std::string address = value != nullptr ? value : "";
    unsetenv("SESSION_MANAGER");
    return address;
}

std::string ClientIdOfSessionArgument(const std::string& argument) {
    return argument.substr(0, argument.find('_'));
}

struct SessionWatch::Impl {
    Impl(SessionHandlers h, const QDBusConnection& systemBus, const SessionOptions& options)
        : dispatch(std::move(h), [](pid_t sender) { return IsServiceManager(sender); }),
          sigterm([this](pid_t sender) { dispatch.Sigterm(sender); }),
          logind(
              systemBus, [this] { dispatch.Ending(SessionEndSource::Logind, true); },
              [this] { dispatch.Cancelled(); }) {
        if (options.xsmpAddress.empty()) {
            // Wayland desktops without XSMP announce the end through the portal, if at all.
            SessionTrace("no X session manager (SESSION_MANAGER is not set)");
            portal = std::make_unique<PortalSessionMonitor>(
                QDBusConnection::sessionBus(),
                PortalSessionMonitor::Handlers{
                    [this] { dispatch.Ending(SessionEndSource::Portal, true); },
                    [this] { dispatch.Cancelled(); }, [this] { dispatch.Die(); }});
            return;
        }
        xsmp = std::make_unique<XsmpClient>(
            options.xsmpAddress, options.previousId,
            XsmpSession::Handlers{
                [this](bool withWindows) { dispatch.Ending(SessionEndSource::Xsmp, withWindows); },
                [this] { dispatch.Cancelled(); }, [this] { dispatch.Die(); }});
    }

    SessionDispatch dispatch;
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
