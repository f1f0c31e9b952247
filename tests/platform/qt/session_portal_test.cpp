// The desktop portal's session monitor against a small fake portal on a private session bus: no
// real portal with its compositor runs here.
#include "platform/qt/session_portal.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVirtualObject>
#include <QProcess>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

#include "support/qt_app.h"

namespace bm::platform {
namespace {

const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInhibit = QStringLiteral("org.freedesktop.portal.Inhibit");
const QString kSession = QStringLiteral("/org/freedesktop/portal/desktop/session/1_2/monitor");

// Answers CreateMonitor with a session, Inhibit with a request; writes down every call.
class FakePortal : public QDBusVirtualObject {
  public:
    explicit FakePortal(QDBusConnection bus) : bus_(std::move(bus)) {}
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override {
        calls.push_back(message.member().toStdString());
        const QString sender = message.service().mid(1).replace(QLatin1Char('.'), QLatin1Char('_'));
        if (message.member() == QStringLiteral("CreateMonitor")) {
            const QString token = qdbus_cast<QVariantMap>(message.arguments().at(1))
                                      .value(QStringLiteral("handle_token"))
                                      .toString();
            const QString request =
                kPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
            bus_.send(message.createReply(QVariant::fromValue(QDBusObjectPath(request))));
            QDBusMessage response = QDBusMessage::createSignal(
                request, QStringLiteral("org.freedesktop.portal.Request"),
                QStringLiteral("Response"));
            response << 0U
                     << QVariantMap{{QStringLiteral("session_handle"),
                                     QVariant::fromValue(QDBusObjectPath(kSession))}};
            bus_.send(response);
        } else if (message.member() == QStringLiteral("Inhibit")) {
            flags = message.arguments().at(1).toUInt();
            bus_.send(message.createReply(QVariant::fromValue(QDBusObjectPath(
                kPath + QStringLiteral("/request/") + sender + QStringLiteral("/held")))));
        } else if (message.type() == QDBusMessage::MethodCallMessage) {
            bus_.send(message.createReply());
        }
        return true;
    }
    void State(uint state) {
        QDBusMessage changed =
            QDBusMessage::createSignal(kPath, kInhibit, QStringLiteral("StateChanged"));
        changed << QVariant::fromValue(QDBusObjectPath(kSession))
                << QVariantMap{{QStringLiteral("session-state"), state}};
        bus_.send(changed);
    }
    std::vector<std::string> calls;
    uint flags = 0;

  private:
    QDBusConnection bus_;
};

// Runs events until done() or ten seconds have passed.
bool Until(const std::function<bool()>& done) {
    QTimer guard;
    guard.setSingleShot(true);
    guard.start(10000);
    while (!done() && guard.isActive()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return done();
}

TEST(SessionPortal, QueryEndHoldsTheLogoutForTheCheckAndTheStateTellsCancelAndEnd) {
    test::EnsureQApplication();
    struct Daemon : QProcess {
        ~Daemon() override {
            kill();
            waitForFinished();
        }
    } daemon;
    daemon.start(
        QStringLiteral("dbus-daemon"),
        {QStringLiteral("--session"), QStringLiteral("--nofork"),
         QStringLiteral("--print-address=1"), QStringLiteral("--address=unix:tmpdir=/tmp")});
    ASSERT_TRUE(daemon.waitForReadyRead(10000)) << "dbus-daemon did not start";
    const QString address = QString::fromUtf8(daemon.readLine()).trimmed();
    {
        QDBusConnection portalBus =
            QDBusConnection::connectToBus(address, QStringLiteral("fake-portal"));
        ASSERT_TRUE(portalBus.registerService(QStringLiteral("org.freedesktop.portal.Desktop")));
        FakePortal portal(portalBus);
        ASSERT_TRUE(portalBus.registerVirtualObject(kPath, &portal, QDBusConnection::SubPath));

        std::vector<std::string> events;
        std::vector<std::string> callsDuringCheck;
        PortalSessionMonitor monitor(
            QDBusConnection::connectToBus(address, QStringLiteral("client")),
            {[&] {
                 events.push_back("check");
                 Until([&] { return portal.calls.size() >= 3; });
                 callsDuringCheck = portal.calls;
             },
             [&] { events.push_back("cancelled"); }, [&] { events.push_back("ended"); }});
        ASSERT_TRUE(Until([&] { return monitor.Monitoring(); }));

        portal.State(2);
        ASSERT_TRUE(Until([&] { return events.size() == 1; }));
        // Inhibited for logout before the answer, and held while the check ran.
        EXPECT_EQ(callsDuringCheck,
                  (std::vector<std::string>{"CreateMonitor", "Inhibit", "QueryEndResponse"}));
        EXPECT_EQ(portal.flags, 1U);
        ASSERT_TRUE(Until([&] { return portal.calls.size() == 4; }));
        EXPECT_EQ(portal.calls.back(), "Close") << "the inhibitor given back after the check";

        portal.State(2);  // asked again for the same end: answered, no second check
        ASSERT_TRUE(Until([&] { return portal.calls.size() == 5; }));
        portal.State(1);
        ASSERT_TRUE(Until([&] { return events.size() == 2; }));
        portal.State(2);
        ASSERT_TRUE(Until([&] { return events.size() == 3; }));
        portal.State(3);
        ASSERT_TRUE(Until([&] { return events.size() == 4; }));
        EXPECT_EQ(events, (std::vector<std::string>{"check", "cancelled", "check", "ended"}));
        portalBus.unregisterObject(kPath, QDBusConnection::UnregisterTree);
    }
    QDBusConnection::disconnectFromBus(QStringLiteral("fake-portal"));
    QDBusConnection::disconnectFromBus(QStringLiteral("client"));
}

}  // namespace
}  // namespace bm::platform
