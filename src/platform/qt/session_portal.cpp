#include "platform/qt/session_portal.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QTimer>
#include <utility>

#include "platform/qt/session_trace.h"

namespace bm::platform {
namespace {

const QString kPortal = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInhibit = QStringLiteral("org.freedesktop.portal.Inhibit");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
constexpr uint kInhibitLogout = 1;
// The portal wants the query answered within a second.
constexpr int kInhibitWaitMs = 800;
enum SessionState : uint { kRunning = 1, kQueryEnd = 2, kEnding = 3 };

QDBusMessage PortalCall(const QString& method) {
    return QDBusMessage::createMethodCall(kPortal, kPortalPath, kInhibit, method);
}

}  // namespace

PortalSessionMonitor::PortalSessionMonitor(QDBusConnection bus, Events events)
    : bus_(std::move(bus)), events_(std::move(events)) {
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
    if (now == kQueryEnd) {
        QueryEnd();
    } else if (now == kRunning) {
        events_.running();
    } else if (now == kEnding) {
        events_.ending();
    }
}

void PortalSessionMonitor::QueryEnd() {
    if (!asking_.isEmpty()) {
        return;  // the query before this one is being answered
    }
    if (!held_.isEmpty()) {
        Held(held_);  // still held from this end's check
        return;
    }
    // Held before the answer, so that the end waits; granted only by the request's Response.
    const QString token = QStringLiteral("bayminder_logout_%1").arg(++tokens_);
    asking_ = RequestPath(token).path();
    bus_.connect(kPortal, asking_, kRequest, QStringLiteral("Response"), this,
                 SLOT(InhibitResponse(uint, QVariantMap)));
    QDBusMessage inhibit = PortalCall(QStringLiteral("Inhibit"));
    inhibit << QString() << kInhibitLogout
            << QVariantMap{{QStringLiteral("reason"),
                            QStringLiteral("Checking the drives for media left inside")},
                           {QStringLiteral("handle_token"), token}};
    auto* call = new QDBusPendingCallWatcher(bus_.asyncCall(inhibit), this);
    const QString asked = asking_;
    connect(call, &QDBusPendingCallWatcher::finished, this,
            [this, asked](QDBusPendingCallWatcher* done) {
                done->deleteLater();
                const QDBusPendingReply<QDBusObjectPath> reply = *done;
                if (asking_ != asked) {
                    return;
                }
                if (reply.isError()) {
                    SessionTrace("no logout inhibitor: " + reply.error().message().toStdString());
                    Held(QString());
                } else if (reply.value().path() != asked) {
                    // A portal older than the tokens' paths: its Response comes on this one.
                    bus_.disconnect(kPortal, asking_, kRequest, QStringLiteral("Response"), this,
                                    SLOT(InhibitResponse(uint, QVariantMap)));
                    asking_ = reply.value().path();
                    bus_.connect(kPortal, asking_, kRequest, QStringLiteral("Response"), this,
                                 SLOT(InhibitResponse(uint, QVariantMap)));
                }
            });
    // A portal that never answers must not let the query go unanswered.
    QTimer::singleShot(kInhibitWaitMs, this, [this, ask = tokens_] {
        if (!asking_.isEmpty() && tokens_ == ask) {
            SessionTrace("no logout inhibitor: the portal did not answer in time");
            Held(QString());
        }
    });
}

void PortalSessionMonitor::InhibitResponse(uint response, const QVariantMap& /*results*/) {
    if (asking_.isEmpty()) {
        return;
    }
    if (response != 0) {
        // Refused (or cancelled): the end does not wait for us; the check runs all the same.
        SessionTrace("the desktop portal refused the logout inhibitor (" +
                     std::to_string(response) + ")");
        Held(QString());
        return;
    }
    SessionTrace("logout inhibited");
    Held(asking_);
}

void PortalSessionMonitor::Held(QString inhibitor) {
    if (!asking_.isEmpty()) {
        bus_.disconnect(kPortal, asking_, kRequest, QStringLiteral("Response"), this,
                        SLOT(InhibitResponse(uint, QVariantMap)));
        asking_.clear();
    }
    held_ = std::move(inhibitor);
    QDBusMessage respond = PortalCall(QStringLiteral("QueryEndResponse"));
    respond << QVariant::fromValue(session_);
    bus_.asyncCall(respond);
    events_.queryEnd();
}

void PortalSessionMonitor::Release() {
    if (held_.isEmpty()) {
        return;
    }
    bus_.asyncCall(
        QDBusMessage::createMethodCall(kPortal, held_, kRequest, QStringLiteral("Close")));
    held_.clear();
}

}  // namespace bm::platform
