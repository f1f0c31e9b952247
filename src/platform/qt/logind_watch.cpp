#include "platform/qt/logind_watch.h"

#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <memory>

#include "platform/qt/session_trace.h"

namespace bm::platform {

namespace {
const QString kLogind = QStringLiteral("org.freedesktop.login1");
const QString kLogindPath = QStringLiteral("/org/freedesktop/login1");
const QString kManager = QStringLiteral("org.freedesktop.login1.Manager");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
constexpr int kCallTimeoutMs = 2000;

QDBusMessage GetProperty(const QString& path, const QString& interface, const QString& name) {
    QDBusMessage get =
        QDBusMessage::createMethodCall(kLogind, path, kProperties, QStringLiteral("Get"));
    get << interface << name;
    return get;
}

}  // namespace

LogindWatch::LogindWatch(QDBusConnection bus, Events events)
    : bus_(std::move(bus)), events_(std::move(events)) {
    if (!bus_.isConnected()) {
        return;
    }
    bus_.connect(kLogind, kLogindPath, kManager, QStringLiteral("PrepareForShutdown"), this,
                 SLOT(PrepareForShutdown(bool)));
    // A restarted logind has forgotten our lock, and may have a new limit.
    auto* watcher =
        new QDBusServiceWatcher(kLogind, bus_, QDBusServiceWatcher::WatchForRegistration, this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, [this] {
        if (!inShutdown_) {
            TakeLock();
        }
    });
    TakeLock();
}

void LogindWatch::ReadDelayMax() {
    auto* call = new QDBusPendingCallWatcher(
        bus_.asyncCall(GetProperty(kLogindPath, kManager, QStringLiteral("InhibitDelayMaxUSec")),
                       kCallTimeoutMs),
        this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        const QDBusPendingReply<QDBusVariant> reply = *done;
        if (reply.isError()) {
            return;
        }
        bool ok = false;
        const qulonglong usec = reply.value().variant().toULongLong(&ok);
        if (ok) {
            delayMax_ = std::chrono::microseconds(usec);
            SessionTrace("logind holds a shutdown for at most " + std::to_string(usec / 1000) +
                         " ms");
        }
    });
}

void LogindWatch::TakeLock() {
    ReadDelayMax();  // an administrator may have changed it since
    QDBusMessage inhibit =
        QDBusMessage::createMethodCall(kLogind, kLogindPath, kManager, QStringLiteral("Inhibit"));
    inhibit << QStringLiteral("shutdown") << QStringLiteral("Bayminder")
            << QStringLiteral("Checking the drives for media left inside")
            << QStringLiteral("delay");
    const int ask = ++asked_;
    auto* call = new QDBusPendingCallWatcher(bus_.asyncCall(inhibit, kCallTimeoutMs), this);
    connect(call, &QDBusPendingCallWatcher::finished, this,
            [this, ask](QDBusPendingCallWatcher* done) {
                const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *done;
                // The watcher's copy of the reply holds the lock's descriptor too, and a deferred
                // delete can wait long (a reply taken in a nested event loop): let it go now.
                static_cast<QDBusPendingCall&>(*done) =
                    QDBusPendingCall::fromCompletedCall(QDBusMessage());
                done->deleteLater();
                // A lock granted after the shutdown began would only hold it up for nothing.
                if (ask == asked_ && !inShutdown_ && !reply.isError()) {
                    lock_ = reply.value();
                }
            });
}

void LogindWatch::Release() {
    if (!inShutdown_) {
        return;  // called off meanwhile: the lock is the next shutdown's
    }
    ++asked_;
    if (lock_.isValid()) {
        SessionTrace("logind's delay lock released");
    }
    lock_ = QDBusUnixFileDescriptor();
}

void LogindWatch::PrepareForShutdown(bool start) {
    SessionTrace(std::string("PrepareForShutdown ") + (start ? "true" : "false"));
    if (start == inShutdown_) {
        return;  // said again
    }
    inShutdown_ = start;
    if (start) {
        events_.shutdown(SessionClock::now() + delayMax_);
        return;
    }
    TakeLock();
    events_.cancelled();
}

void LogindWatch::AskClosing(std::function<void(bool closing)> answer) {
    if (!bus_.isConnected()) {
        answer(false);
        return;
    }
    // "auto": the caller's own session, or the user's display session.
    auto* call = new QDBusPendingCallWatcher(
        bus_.asyncCall(
            GetProperty(QStringLiteral("/org/freedesktop/login1/session/auto"),
                        QStringLiteral("org.freedesktop.login1.Session"), QStringLiteral("State")),
            kCallTimeoutMs),
        this);
    connect(call, &QDBusPendingCallWatcher::finished, this,
            [answer = std::move(answer)](QDBusPendingCallWatcher* done) {
                done->deleteLater();
                const QDBusPendingReply<QDBusVariant> reply = *done;
                const QString state =
                    reply.isError() ? QString() : reply.value().variant().toString();
                SessionTrace("logind's session state: " +
                             (state.isEmpty() ? std::string("unknown") : state.toStdString()));
                answer(state == QStringLiteral("closing"));
            });
}

}  // namespace bm::platform
