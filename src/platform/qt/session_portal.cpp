#include "platform/qt/session_portal.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <utility>

#include "platform/qt/session_trace.h"

namespace bm::platform {
namespace {

const QString kPortal = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInhibit = QStringLiteral("org.freedesktop.portal.Inhibit");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
constexpr uint kInhibitLogout = 1;
enum SessionState : uint { kRunning = 1, kQueryEnd = 2, kEnding = 3 };

QDBusMessage PortalCall(const QString& method) {
    return QDBusMessage::createMethodCall(kPortal, kPortalPath, kInhibit, method);
}

}  // namespace

PortalSessionMonitor::PortalSessionMonitor(QDBusConnection bus, Handlers handlers)
    : bus_(std::move(bus)), handlers_(std::move(handlers)) {
    if (!bus_.isConnected()) {
        return;
    }
    bus_.connect(kPortal, kPortalPath, kInhibit, QStringLiteral("StateChanged"), this,
                 SLOT(StateChanged(QDBusMessage)));
    // The answer comes as a signal on a request object whose path follows from the token:
    // listen before asking, or it may come first.
    const QString token = QStringLiteral("bayminder_monitor");
    bus_.connect(kPortal, RequestPath(token).path(), kRequest, QStringLiteral("Response"), this,
                 SLOT(CreateResponse(uint, QVariantMap)));
    QDBusMessage create = PortalCall(QStringLiteral("CreateMonitor"));
    create << QString() << QVariantMap{{QStringLiteral("handle_token"), token}};
    auto* call = new QDBusPendingCallWatcher(bus_.asyncCall(create), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        const QDBusPendingReply<QDBusObjectPath> reply = *done;
        if (reply.isError()) {
            SessionTrace("no session monitor of the desktop portal: " +
                         reply.error().message().toStdString());
        }
    });
}

QDBusObjectPath PortalSessionMonitor::RequestPath(const QString& token) const {
    QString sender = bus_.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    return QDBusObjectPath(
        QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token));
}

void PortalSessionMonitor::CreateResponse(uint response, const QVariantMap& results) {
    const QVariant handle = results.value(QStringLiteral("session_handle"));
    const QString path = handle.canConvert<QDBusObjectPath>()
                             ? handle.value<QDBusObjectPath>().path()
                             : handle.toString();
    if (response != 0 || path.isEmpty()) {
        SessionTrace("the desktop portal refused a session monitor (" + std::to_string(response) +
                     ")");
        return;
    }
    session_ = QDBusObjectPath(path);
    SessionTrace("session monitor " + path.toStdString());
}

void PortalSessionMonitor::StateChanged(const QDBusMessage& message) {
    const QList<QVariant> args = message.arguments();
    if (!Monitoring() || args.size() != 2 || args[0].value<QDBusObjectPath>() != session_) {
        return;
    }
    const QVariantMap state = qdbus_cast<QVariantMap>(args[1]);
    const uint now = state.value(QStringLiteral("session-state")).toUInt();
    SessionTrace("session state " + std::to_string(now));
    const bool busy = asking_ || checking_;
    if (now == kQueryEnd) {
        QueryEnd();
    } else if (now == kRunning && (busy || checked_)) {
        if (busy) {
            if (checking_ && !calledOff_) {
                handlers_.cancelled();  // the check may end early
            }
            calledOff_ = true;
        } else {
            checked_ = false;
            handlers_.cancelled();
        }
    } else if (now == kEnding) {
        if (busy) {
            ended_ = true;
        } else {
            handlers_.ended();
        }
    }
}

void PortalSessionMonitor::Respond() {
    QDBusMessage respond = PortalCall(QStringLiteral("QueryEndResponse"));
    respond << QVariant::fromValue(session_);
    bus_.asyncCall(respond);
}

void PortalSessionMonitor::QueryEnd() {
    if (asking_ || checking_ || checked_) {
        Respond();
        return;
    }
    // Held before the answer that the portal wants within a second, so that the end waits.
    asking_ = true;
    QDBusMessage inhibit = PortalCall(QStringLiteral("Inhibit"));
    inhibit << QString() << kInhibitLogout
            << QVariantMap{{QStringLiteral("reason"),
                            QStringLiteral("Checking the drives for media left inside")},
                           {QStringLiteral("handle_token"), QStringLiteral("bayminder_logout")}};
    auto* call = new QDBusPendingCallWatcher(bus_.asyncCall(inhibit), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        const QDBusPendingReply<QDBusObjectPath> held = *done;
        if (held.isError()) {
            SessionTrace("no logout inhibitor: " + held.error().message().toStdString());
        }
        Check(held.isError() ? QString() : held.value().path());
    });
}

void PortalSessionMonitor::Check(const QString& inhibitor) {
    asking_ = false;
    Respond();
    // Called off before the check began: nothing to give back.
    const bool runs = !calledOff_;
    if (runs) {
        checking_ = true;
        handlers_.ending();
        checking_ = false;
    }
    if (!inhibitor.isEmpty()) {
        bus_.asyncCall(
            QDBusMessage::createMethodCall(kPortal, inhibitor, kRequest, QStringLiteral("Close")));
    }
    const bool calledOff = std::exchange(calledOff_, false);
    if (std::exchange(ended_, false)) {
        handlers_.ended();
    } else if (calledOff) {
        if (runs) {
            handlers_.cancelled();
        }
    } else {
        checked_ = true;
    }
}

}  // namespace bm::platform
