// The udisks2 daemon on the system bus, through Qt D-Bus (Qt Core and D-Bus only, no window
// system). A program that uses it needs a QCoreApplication.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QEventLoop>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>
#include <memory>
#include <utility>

#include "platform/linux/udisks.h"

namespace bm::platform::linux_ {
namespace {

const QString kService = QStringLiteral("org.freedesktop.UDisks2");
const QString kNoReply = QStringLiteral("org.freedesktop.DBus.Error.NoReply");

QVariantMap NoInteraction() {
    return {{QStringLiteral("auth.no_user_interaction"), true}};
}

// The answer to call, or NoReply once deadlineMs have passed. A blocking call would stop the
// countdown window and the session manager's messages with it, so events run meanwhile; user
// input waits, as it did for the blocking call. The loop sleeps until something happens.
QDBusMessage Ask(const QDBusConnection& bus, const QDBusMessage& call, int deadlineMs) {
    QDBusPendingCall pending = bus.asyncCall(call, deadlineMs);
    QDBusPendingCallWatcher watcher(pending);
    if (!watcher.isFinished()) {
        QEventLoop loop;
        QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, &loop, &QEventLoop::quit);
        // libdbus ends the call at the same deadline; this one does not depend on it.
        QTimer deadline;
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
        deadline.start(deadlineMs);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
        if (!watcher.isFinished() && deadline.isActive()) {
            // The program is quitting, and every event loop with it: only blocking waits now,
            // and libdbus still ends the call at the deadline.
            watcher.waitForFinished();
        }
    }
    if (!watcher.isFinished() || watcher.reply().errorName() == kNoReply) {
        return QDBusMessage::createError(kNoReply,
                                         QStringLiteral("no answer within %1 ms").arg(deadlineMs));
    }
    return watcher.reply();
}

UdisksResult ResultOf(const QDBusMessage& reply) {
    if (reply.type() != QDBusMessage::ErrorMessage) {
        return {};
    }
    const std::string name = reply.errorName().toStdString();
    return {UdisksStatusOf(name), name + ": " + reply.errorMessage().toStdString()};
}

class BusUdisks final : public Udisks {
  public:
    BusUdisks(QString address, UdisksDeadlines deadlines)
        : address_(std::move(address)), deadlines_(deadlines) {}

    bool Available() override {
        const QDBusConnection bus = Bus();
        if (!bus.isConnected()) {
            return false;
        }
        const auto busCall = [](const QString& method) {
            return QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                                  QStringLiteral("/org/freedesktop/DBus"),
                                                  QStringLiteral("org.freedesktop.DBus"), method);
        };
        const auto first = [](const QDBusMessage& reply) {
            return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
                       ? reply.arguments().constFirst()
                       : QVariant();
        };
        QDBusMessage owner = busCall(QStringLiteral("NameHasOwner"));
        owner << kService;
        if (first(Ask(bus, owner, deadlines_.busMs)).toBool()) {
            return true;
        }
        return first(Ask(bus, busCall(QStringLiteral("ListActivatableNames")), deadlines_.busMs))
            .toStringList()
            .contains(kService);
    }

    UdisksResult Unmount(const std::string& name) override {
        QDBusMessage call = QDBusMessage::createMethodCall(
            kService, QString::fromStdString(UdisksBlockPath(name)),
            QStringLiteral("org.freedesktop.UDisks2.Filesystem"), QStringLiteral("Unmount"));
        call << NoInteraction();
        return ResultOf(Ask(Bus(), call, deadlines_.callMs));
    }

    UdisksResult Eject(const std::string& name) override {
        QDBusMessage get = QDBusMessage::createMethodCall(
            kService, QString::fromStdString(UdisksBlockPath(name)),
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        get << QStringLiteral("org.freedesktop.UDisks2.Block") << QStringLiteral("Drive");
        const QDBusMessage drive = Ask(Bus(), get, deadlines_.callMs);
        if (drive.type() != QDBusMessage::ReplyMessage) {
            return ResultOf(drive);
        }
        const QString path = drive.arguments().isEmpty() ? QString()
                                                         : drive.arguments()
                                                               .constFirst()
                                                               .value<QDBusVariant>()
                                                               .variant()
                                                               .value<QDBusObjectPath>()
                                                               .path();
        if (path.isEmpty() || path == QStringLiteral("/")) {
            return {UdisksStatus::kFailed, "no drive behind /dev/" + name};
        }
        QDBusMessage call = QDBusMessage::createMethodCall(
            kService, path, QStringLiteral("org.freedesktop.UDisks2.Drive"),
            QStringLiteral("Eject"));
        call << NoInteraction();
        return ResultOf(Ask(Bus(), call, deadlines_.callMs));
    }

  private:
    // Connected on first use, as the program may never need it.
    QDBusConnection Bus() const {
        return address_.isEmpty()
                   ? QDBusConnection::systemBus()
                   : QDBusConnection::connectToBus(address_, QStringLiteral("bayminder-udisks"));
    }

    QString address_;  // "" for the system bus
    UdisksDeadlines deadlines_;
};

}  // namespace

std::unique_ptr<Udisks> MakeSystemUdisks(UdisksDeadlines deadlines) {
    return std::make_unique<BusUdisks>(QString(), deadlines);
}

std::unique_ptr<Udisks> MakeBusUdisks(const std::string& address, UdisksDeadlines deadlines) {
    return std::make_unique<BusUdisks>(QString::fromStdString(address), deadlines);
}

}  // namespace bm::platform::linux_
