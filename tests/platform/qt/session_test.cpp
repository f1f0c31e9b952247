// The sources' adapters, where the desktop tests cannot reach: who sent a SIGTERM, and the portal,
// against a small fake on a private bus (no real portal with its compositor runs here). What the
// sources' events lead to is session_machine_test's table; the X session managers and logind
// (mocked) are the desktop tests' part.
#include "platform/qt/session.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QProcess>
#include <QTest>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/qt/session_portal.h"
#include "platform/qt/sigterm_pipe.h"
#include "support/qt_app.h"
#include "support/temp_dir.h"

namespace bm::platform {
namespace {

class SessionTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { test::EnsureQApplication(); }
};

// How long to run events for what the bus or the signal should bring, on a loaded machine too.
constexpr int kWaitMs = 10000;

TEST_F(SessionTest, ASigtermFromTheSessionOrTheServiceManagerEndsTheSession) {
    test::TempDir proc;
    for (const auto& [pid, name] : {std::pair{812, "systemd"}, std::pair{900, "systemd-logind"},
                                    std::pair{4242, "plasma-systemmo"}}) {
        std::filesystem::create_directory(proc / std::to_string(pid));
        test::WriteFile(proc / (std::to_string(pid) + "/comm"), std::string(name) + "\n");
    }
    const struct {
        pid_t sender;
        SigtermFrom from;
    } cases[] = {
        {1, SigtermFrom::ServiceManager}, {812, SigtermFrom::ServiceManager},  // the user's systemd
        {700, SigtermFrom::Session},  // the parent (lxqt-session)
        {701, SigtermFrom::Session},  // the session's leader
        {900, SigtermFrom::Other},        {4242, SigtermFrom::Other},
        {5555, SigtermFrom::Other},  // gone before we looked
        {0, SigtermFrom::Other},     // the kernel, or outside our PID namespace
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SigtermSender(c.sender, 700, 701, proc.path), c.from) << c.sender;
    }
    EXPECT_EQ(SigtermSender(1, 1, 1, proc.path), SigtermFrom::ServiceManager) << "an orphan";
}

TEST_F(SessionTest, SigtermReachesTheHandlerOnTheEventLoopAndItsOwnSenderIsTheTaskManager) {
    int closes = 0;
    int endings = 0;
    bool raiseReturned = false;
    {
        SessionHandlers handlers;
        handlers.check = [&](bool, std::optional<SessionClock::time_point>,
                             const std::function<bool()>&) { ++endings; };
        handlers.taskManagerClose = [&] {
            EXPECT_TRUE(raiseReturned) << "ran inside the signal handler";
            ++closes;
        };
        SessionWatch watch(
            handlers, QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"),
                                                    QStringLiteral("no-bus")));
        ASSERT_EQ(raise(SIGTERM), 0);
        raiseReturned = true;
        EXPECT_EQ(closes, 0);
        EXPECT_TRUE(QTest::qWaitFor([&] { return closes > 0; }, kWaitMs));
        EXPECT_EQ(closes, 1);
        EXPECT_EQ(endings, 0);

        // Only one pipe may own the signal at a time.
        SigtermPipe second([](pid_t) {});
        EXPECT_FALSE(second.Installed());
    }
    struct sigaction now {};
    sigaction(SIGTERM, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL) << "the previous disposition is back";
}

TEST_F(SessionTest, AQtSessionArgumentNamesTheClientBeforeItsKey) {
    EXPECT_EQ(ClientIdOfSessionArgument("25faaa10b-e21e-4422-9e93-c683d1fb5da5_1733580000_12"),
              "25faaa10b-e21e-4422-9e93-c683d1fb5da5");
    EXPECT_EQ(ClientIdOfSessionArgument("10a1b2c3d4000170000000000012340000"),
              "10a1b2c3d4000170000000000012340000");
}

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
        const bool create = message.member() == QStringLiteral("CreateMonitor");
        if (create || message.member() == QStringLiteral("Inhibit")) {
            const QString token = qdbus_cast<QVariantMap>(message.arguments().constLast())
                                      .value(QStringLiteral("handle_token"))
                                      .toString();
            const QString request =
                kPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
            bus_.send(message.createReply(QVariant::fromValue(QDBusObjectPath(request))));
            QDBusMessage response = QDBusMessage::createSignal(
                request, QStringLiteral("org.freedesktop.portal.Request"),
                QStringLiteral("Response"));
            if (create) {
                response << 0U
                         << QVariantMap{{QStringLiteral("session_handle"),
                                         QVariant::fromValue(QDBusObjectPath(kSession))}};
            } else {
                flags = message.arguments().at(1).toUInt();
                response << inhibitResponse << QVariantMap{};
            }
            bus_.send(response);
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
    uint inhibitResponse = 0;  // 0 granted, else refused

  private:
    QDBusConnection bus_;
};

TEST_F(SessionTest, PortalQueryEndIsHeldOnlyByAGrantedInhibitorAndTheStateTellsCancelAndEnd) {
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
        PortalSessionMonitor monitor(
            QDBusConnection::connectToBus(address, QStringLiteral("client")),
            {[&] { events.push_back("query"); }, [&] { events.push_back("running"); },
             [&] { events.push_back("ending"); }});
        ASSERT_TRUE(QTest::qWaitFor([&] { return monitor.Monitoring(); }, kWaitMs));

        // Inhibited for logout before the answer, and held until the check is done.
        portal.State(2);
        ASSERT_TRUE(QTest::qWaitFor([&] { return events.size() == 1 && portal.calls.size() == 3; },
                                    kWaitMs));
        EXPECT_EQ(portal.calls,
                  (std::vector<std::string>{"CreateMonitor", "Inhibit", "QueryEndResponse"}));
        EXPECT_EQ(portal.flags, 1U);
        monitor.Release();
        ASSERT_TRUE(QTest::qWaitFor([&] { return portal.calls.size() == 4; }, kWaitMs));
        EXPECT_EQ(portal.calls.back(), "Close");

        // A refused inhibitor is not held: the query is answered, nothing is given back.
        portal.inhibitResponse = 2;
        portal.State(2);
        ASSERT_TRUE(QTest::qWaitFor([&] { return events.size() == 2; }, kWaitMs));
        monitor.Release();
        portal.State(1);
        portal.State(3);
        ASSERT_TRUE(QTest::qWaitFor([&] { return events.size() == 4 && portal.calls.size() >= 6; },
                                    kWaitMs));
        EXPECT_EQ(std::vector<std::string>(portal.calls.begin() + 4, portal.calls.end()),
                  (std::vector<std::string>{"Inhibit", "QueryEndResponse"}));
        EXPECT_EQ(events, (std::vector<std::string>{"query", "query", "running", "ending"}));
        portalBus.unregisterObject(kPath, QDBusConnection::UnregisterTree);
    }
    QDBusConnection::disconnectFromBus(QStringLiteral("fake-portal"));
    QDBusConnection::disconnectFromBus(QStringLiteral("client"));
}

}  // namespace
}  // namespace bm::platform
