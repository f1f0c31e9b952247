// The udisks2 daemon on the system bus, through Qt D-Bus (Qt Core and D-Bus only, no window
// system). A program that uses it needs a QCoreApplication.
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QStringList>
#include <QVariantMap>

#include "platform/linux/udisks.h"

namespace bm::platform::linux_ {
namespace {

const QString kService = QStringLiteral("org.freedesktop.UDisks2");
// An unmount of a slow disc and an eject that spins it down take seconds, not this long.
constexpr int kCallTimeoutMs = 60000;

QVariantMap NoInteraction() {
    return {{QStringLiteral("auth.no_user_interaction"), true}};
}

UdisksResult ResultOf(const QDBusMessage& reply) {
    if (reply.type() != QDBusMessage::ErrorMessage) {
        return {};
    }
    const std::string name = reply.errorName().toStdString();
    return {UdisksStatusOf(name), name + ": " + reply.errorMessage().toStdString()};
}

class SystemUdisks final : public Udisks {
  public:
    bool Available() override {
        QDBusConnection bus = QDBusConnection::systemBus();
        if (!bus.isConnected() || bus.interface() == nullptr) {
            return false;
        }
        if (bus.interface()->isServiceRegistered(kService).value()) {
            return true;
        }
        const QDBusMessage names = bus.call(
            QDBusMessage::createMethodCall(
                QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                QStringLiteral("org.freedesktop.DBus"), QStringLiteral("ListActivatableNames")),
            QDBus::Block, kCallTimeoutMs);
        return names.type() == QDBusMessage::ReplyMessage && !names.arguments().isEmpty() &&
               names.arguments().constFirst().toStringList().contains(kService);
    }

    UdisksResult Unmount(const std::string& name) override {
        QDBusMessage call = QDBusMessage::createMethodCall(
            kService, QString::fromStdString(UdisksBlockPath(name)),
            QStringLiteral("org.freedesktop.UDisks2.Filesystem"), QStringLiteral("Unmount"));
        call << NoInteraction();
        return ResultOf(QDBusConnection::systemBus().call(call, QDBus::Block, kCallTimeoutMs));
    }

    UdisksResult Eject(const std::string& name) override {
        QDBusMessage get = QDBusMessage::createMethodCall(
            kService, QString::fromStdString(UdisksBlockPath(name)),
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        get << QStringLiteral("org.freedesktop.UDisks2.Block") << QStringLiteral("Drive");
        const QDBusMessage drive =
            QDBusConnection::systemBus().call(get, QDBus::Block, kCallTimeoutMs);
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
        return ResultOf(QDBusConnection::systemBus().call(call, QDBus::Block, kCallTimeoutMs));
    }
};

}  // namespace

std::unique_ptr<Udisks> MakeSystemUdisks() {
    return std::make_unique<SystemUdisks>();
}

}  // namespace bm::platform::linux_
