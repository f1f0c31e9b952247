#include "platform/qt/session.h"

#include <QGuiApplication>
#include <QSessionManager>

#include "platform/qt/session_parts.h"

namespace bm::platform {

struct SessionWatch::Impl {
    Impl(SessionHandlers h, const QDBusConnection& systemBus)
        : handlers(std::move(h)),
          sigterm([this](pid_t sender) { Sigterm(sender); }),
          logind(
              systemBus, [this] { Ending(SessionEndSource::Logind); },
              [this] {
                  if (handlers.shutdownCancelled) {
                      handlers.shutdownCancelled();
                  }
              }) {
        if (qGuiApp != nullptr) {
            commitData = QObject::connect(qGuiApp, &QGuiApplication::commitDataRequest, &logind,
                                          [this](QSessionManager& manager) {
                                              // Asks leave to show windows; the logout waits for
                                              // our answer until the handler returns.
                                              manager.allowsInteraction();
                                              Ending(SessionEndSource::Xsmp);
                                          });
        }
    }

    // One handler at a time: the desktop may announce the end by several ways at once, and a
    // check already running answers for all of them.
    void Ending(SessionEndSource source) {
        if (busy || !handlers.sessionEnding) {
            return;
        }
        busy = true;
        handlers.sessionEnding(source);
        busy = false;
    }

    void Sigterm(pid_t sender) {
        if (IsServiceManager(sender)) {
            Ending(SessionEndSource::ServiceManager);
            return;
        }
        if (busy || !handlers.taskManagerClose) {
            return;
        }
        busy = true;
        handlers.taskManagerClose();
        busy = false;
    }

    SessionHandlers handlers;
    bool busy = false;
    SigtermPipe sigterm;
    LogindWatch logind;
    QMetaObject::Connection commitData;
};

SessionWatch::SessionWatch(SessionHandlers handlers)
    : SessionWatch(std::move(handlers), QDBusConnection::systemBus()) {}

SessionWatch::SessionWatch(SessionHandlers handlers, const QDBusConnection& systemBus)
    : impl_(std::make_unique<Impl>(std::move(handlers), systemBus)) {}

SessionWatch::~SessionWatch() {
    QObject::disconnect(impl_->commitData);
}

bool SessionWatch::HoldsShutdownLock() const {
    return impl_->logind.Locked();
}

}  // namespace bm::platform
