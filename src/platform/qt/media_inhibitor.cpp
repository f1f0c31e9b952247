#include "platform/qt/media_inhibitor.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>

#include "platform/trace.h"

namespace bm::platform {
namespace {

const QString kService = QStringLiteral("org.gnome.SessionManager");
const QString kPath = QStringLiteral("/org/gnome/SessionManager");
constexpr std::uint32_t kLogoutFlag = 1;
constexpr int kTimeoutMs = 2000;
constexpr int kAgainMs = 1000;

QDBusMessage Call(const QString& method) {
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService, method);
    call.setAutoStartService(false);
    return call;
}

}  // namespace

MediaInhibitor::MediaInhibitor(QDBusConnection bus) : bus_(std::move(bus)) {
    again_.setSingleShot(true);
    again_.setInterval(kAgainMs);
    QObject::connect(&again_, &QTimer::timeout, &context_, [this] { Inhibit(true); });
}

MediaInhibitor::~MediaInhibitor() {
    Release();
}

QString MediaInhibitor::Reason(const std::vector<std::string>& media) {
    QStringList names;
    for (const std::string& medium : media) {
        names << QString::fromStdString(medium);
    }
    return QStringLiteral("In the drives: ") + names.join(QStringLiteral(", "));
}

void MediaInhibitor::Name(const std::vector<std::string>& media) {
    Release();
    if (media.empty() || !bus_.isConnected()) {
        return;
    }
    reason_ = Reason(media);
    Inhibit(false);
}

void MediaInhibitor::Inhibit(bool again) {
    QDBusMessage inhibit = Call(QStringLiteral("Inhibit"));
    inhibit << QString::fromLatin1(kAppId) << 0U << reason_ << kLogoutFlag;
    const int ask = asked_;
    auto* call = new QDBusPendingCallWatcher(bus_.asyncCall(inhibit, kTimeoutMs), &context_);
    QObject::connect(call, &QDBusPendingCallWatcher::finished, &context_,
                     [this, ask, again](QDBusPendingCallWatcher* done) {
                         done->deleteLater();
                         const QDBusPendingReply<std::uint32_t> reply = *done;
                         if (reply.isError()) {
                             Trace(TraceCategory::Tray, "no end-of-session note: " +
                                                            reply.error().message().toStdString());
                             return;
                         }
                         if (ask != asked_) {
                             Uninhibit(reply.value());  // taken back before it came
                             return;
                         }
                         if (cookie_ != 0) {
                             Uninhibit(cookie_);  // the new one is there first
                         }
                         cookie_ = reply.value();
                         if (!again) {
                             again_.start();
                         }
                     });
}

void MediaInhibitor::Release() {
    ++asked_;
    again_.stop();
    if (cookie_ != 0) {
        Uninhibit(cookie_);
        cookie_ = 0;
    }
}

void MediaInhibitor::Uninhibit(std::uint32_t cookie) {
    QDBusMessage uninhibit = Call(QStringLiteral("Uninhibit"));
    uninhibit << cookie;
    bus_.asyncCall(uninhibit, kTimeoutMs);
}

}  // namespace bm::platform
