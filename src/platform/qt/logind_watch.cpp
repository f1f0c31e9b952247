#include "platform/qt/logind_watch.h"

#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>

namespace bm::platform {

namespace {
const QString kLogind = QStringLiteral("org.freedesktop.login1");
const QString kLogindPath = QStringLiteral("/org/freedesktop/login1");
const QString kManager = QStringLiteral("org.freedesktop.login1.Manager");
}  // namespace

LogindWatch::LogindWatch(QDBusConnection bus, std::function<void()> ending,
                         std::function<void()> cancelled)
    : bus_(std::move(bus)), ending_(std::move(ending)), cancelled_(std::move(cancelled)) {
    if (!bus_.isConnected()) {
        return;
    }
    bus_.connect(kLogind, kLogindPath, kManager, QStringLiteral("PrepareForShutdown"), this,
                 SLOT(PrepareForShutdown(bool)));
    // A restarted logind has forgotten our lock.
    auto* watcher =
        new QDBusServiceWatcher(kLogind, bus_, QDBusServiceWatcher::WatchForRegistration, this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, [this] {
        if (!inShutdown_) {
            TakeLock();
        }
    });
    TakeLock();
}

void LogindWatch::TakeLock() {
    QDBusMessage inhibit =
        QDBusMessage::createMethodCall(kLogind, kLogindPath, kManager, QStringLiteral("Inhibit"));
    inhibit << QStringLiteral("shutdown") << QStringLiteral("Bayminder")
            << QStringLiteral("Checking the drives for media left inside")
            << QStringLiteral("delay");
    const int ask = ++asked_;
    auto* call = new QDBusPendingCallWatcher(bus_.asyncCall(inhibit), this);
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
    ++asked_;
    lock_ = QDBusUnixFileDescriptor();
}

void LogindWatch::PrepareForShutdown(bool start) {
    if (!start) {
        if (!inShutdown_) {
            return;
        }
        inShutdown_ = false;
        TakeLock();
        if (!running_) {
            cancelled_();
        }
        return;
    }
    if (inShutdown_) {
        return;  // said again: the check of this shutdown has run or is running
    }
    inShutdown_ = true;
    if (running_) {
        return;  // cancelled and started again meanwhile: the running check answers for both
    }
    running_ = true;
    ending_();
    running_ = false;
    if (inShutdown_) {
        Release();
    } else {
        cancelled_();  // called off while the check ran; the new lock is on its way
    }
}

}  // namespace bm::platform
