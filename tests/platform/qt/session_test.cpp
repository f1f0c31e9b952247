// The end of the session as each source brings it. The connections themselves (the X session
// manager, logind's lock) are the desktop tests' part; here is what they cannot provoke. The
// portal runs against a small fake on a private bus: no real portal with its compositor runs here.
#include "platform/qt/session.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVirtualObject>
#include <QProcess>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/qt/logind_watch.h"
#include "platform/qt/session_dispatch.h"
#include "platform/qt/session_portal.h"
#include "platform/qt/session_xsmp.h"
#include "platform/qt/sigterm_pipe.h"
#include "support/qt_app.h"
#include "support/temp_dir.h"

namespace bm::platform {
namespace {

class SessionTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { test::EnsureQApplication(); }
    static QDBusConnection NoBus() {
        return QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"),
                                             QStringLiteral("no-bus"));
    }
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

// The tables' scripts: words, each the name of a step. What the handlers write down is a log of
// words too; a handler's own steps run inside "[" and "]".
using Steps = std::map<std::string, std::function<void()>>;
void Play(const Steps& steps, const std::string& script) {
    std::istringstream words(script);
    for (std::string word; words >> word;) {
        steps.at(word)();
    }
}
std::function<void()> Bracket(std::string& log, const std::string& name, const Steps& steps,
                              std::vector<std::string>& during) {
    return [&log, name, &steps, &during] {
        log += " [" + name;
        if (!during.empty()) {
            const std::string script = during.front();
            during.erase(during.begin());
            Play(steps, script);
        }
        log += "]";
    };
}

TEST_F(SessionTest, OnlyTheServiceManagerSendsTheEndOfTheSession) {
    test::TempDir proc;
    for (const auto& [pid, name] : {std::pair{812, "systemd"}, std::pair{900, "systemd-logind"},
                                    std::pair{4242, "plasma-systemmo"}}) {
        std::filesystem::create_directory(proc / std::to_string(pid));
        test::WriteFile(proc / (std::to_string(pid) + "/comm"), std::string(name) + "\n");
    }
    EXPECT_TRUE(IsServiceManager(1, proc.path));
    EXPECT_TRUE(IsServiceManager(812, proc.path)) << "the user's systemd";
    for (const int pid : {900, 4242, 5555 /* gone before we looked */, 0}) {
        EXPECT_FALSE(IsServiceManager(pid, proc.path)) << pid;
    }
}

TEST_F(SessionTest, SigtermReachesTheHandlerOnTheEventLoopAndItsOwnSenderIsTheTaskManager) {
    int closes = 0;
    int endings = 0;
    bool raiseReturned = false;
    {
        SessionWatch watch({[&](SessionEndSource, bool) { ++endings; }, [] {},
                            [&] {
                                EXPECT_TRUE(raiseReturned) << "ran inside the signal handler";
                                ++closes;
                            },
                            [] {}},
                           NoBus());
        ASSERT_EQ(raise(SIGTERM), 0);
        raiseReturned = true;
        EXPECT_EQ(closes, 0);
        Until([&] { return closes > 0; });
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

// logind repeating itself, also while the check runs (the steps "during" it).
TEST_F(SessionTest, LogindRunsOneCheckPerShutdownAndACallOffDuringItWaitsForItsEnd) {
    const struct {
        const char* script;
        const char* during;
        const char* log;
    } cases[] = {
        {"stop start start stop", "", "[check] cancelled"},  // nothing to call off; one shutdown
        {"start", "start stop start stop", "[check] cancelled"},
        // Called off and started again during the check: the running check answers for both.
        {"start start", "stop start", "[check]"},
    };
    for (const auto& c : cases) {
        std::string log;
        std::vector<std::string> during{c.during};
        Steps steps;
        LogindWatch watch(NoBus(), Bracket(log, "check", steps, during),
                          [&] { log += " cancelled"; });
        for (const bool start : {true, false}) {
            steps[start ? "start" : "stop"] = [&watch, start] {
                ASSERT_TRUE(QMetaObject::invokeMethod(&watch, "PrepareForShutdown",
                                                      Qt::DirectConnection, Q_ARG(bool, start)));
            };
        }
        Play(steps, c.script);
        EXPECT_EQ(log, std::string(" ") + c.log) << c.script << " / " << c.during;
    }
}

// A SIGTERM during a check is handled once it is done: the service manager's (PID 1 here) as the
// end of the session, anyone else's as a close.
TEST_F(SessionTest, ASigtermDuringACheckIsHandledWhenTheCheckIsDone) {
    const struct {
        const char* script;
        std::vector<std::string> during;
        const char* log;
    } cases[] = {
        // logind's delay runs out mid-countdown: systemd's SIGTERM ends the program after it.
        {"logind", {"systemd other"}, "[check] [end]"},
        // A task manager's close is not lost either; a second one while its message box is up
        // is the same close.
        {"xsmp", {"other", "other"}, "[check] [close]"},
        {"other systemd", {}, "[close] [end]"},
    };
    for (const auto& c : cases) {
        std::string log;
        std::vector<std::string> during = c.during;
        Steps steps;
        const auto check = Bracket(log, "check", steps, during);
        const auto end = Bracket(log, "end", steps, during);
        SessionDispatch dispatch({[&](SessionEndSource source, bool) {
                                      (source == SessionEndSource::ServiceManager ? end : check)();
                                  },
                                  [&] { log += " cancelled"; },
                                  Bracket(log, "close", steps, during), [&] { log += " die"; }},
                                 [](pid_t sender) { return sender == 1; });
        steps = {{"logind", [&] { dispatch.Ending(SessionEndSource::Logind, true); }},
                 {"xsmp", [&] { dispatch.Ending(SessionEndSource::Xsmp, true); }},
                 {"systemd", [&] { dispatch.Sigterm(1); }},
                 {"other", [&] { dispatch.Sigterm(4242); }}};
        Play(steps, c.script);
        EXPECT_EQ(log, std::string(" ") + c.log) << c.script;
    }
}

// The protocol as a session manager drives it: a save ("save", "save-errors", "save-none" by
// the interaction allowed, "checkpoint"), the session manager's other messages, and "refuse",
// which makes the interaction request fail.
TEST_F(SessionTest, XsmpRunsTheCheckOnlyForAShutdownAndEndsOnlyOnDie) {
    const struct {
        const char* script;
        const char* during;
        const char* log;
    } cases[] = {
        {"checkpoint", "", "done"},
        // The same end asked again: checked already.
        {"save interact save die", "", "request [check] interact-done done done die"},
        // Xfce turns a logout that another client calls off into a checkpoint: SaveComplete.
        // Then there is nothing more to call off, and Die still ends it.
        {"save-errors interact complete cancel die", "",
         "request-errors [check] interact-done done cancelled die"},
        // Called off before our turn: no check. Told only on the side (Xfce's bus), the save is
        // answered when the session manager lets us in.
        {"save cancel interact", "", "request done interact-done"},
        {"save calledoff interact", "", "request interact-done done"},
        // Called off, or told to die, while the check runs: handled once it is answered.
        {"save interact", "cancel cancel",
         "request [check cancelled] interact-done done cancelled"},
        {"save interact", "save die", "request [check] interact-done done die"},
        // A checkpoint where the end was due, or a lost session manager: the session goes on.
        {"save-none checkpoint", "", "[check-bare] done done cancelled"},
        {"refuse save lost", "", "request [check-bare] done cancelled"},
    };
    for (const auto& c : cases) {
        struct Replies : XsmpReplies {
            bool InteractRequest(bool errorsOnly) override {
                log += errorsOnly ? " request-errors" : " request";
                return grant;
            }
            void InteractDone() override { log += " interact-done"; }
            void SaveYourselfDone(bool success) override { log += success ? " done" : " failed"; }
            std::string log;
            bool grant = true;
        } replies;
        std::string& log = replies.log;
        std::vector<std::string> during{c.during};
        Steps steps;
        const auto check = Bracket(log, "check", steps, during);
        const auto bare = Bracket(log, "check-bare", steps, during);
        XsmpSession session(replies, {[&](bool withWindows) { (withWindows ? check : bare)(); },
                                      [&] { log += " cancelled"; }, [&] { log += " die"; }});
        const auto save = [&](bool shutdown, int style) {
            return [&session, shutdown, style] { session.SaveYourself(shutdown, style); };
        };
        steps = {{"save", save(true, XsmpSession::kInteractAny)},
                 {"save-errors", save(true, XsmpSession::kInteractErrors)},
                 {"save-none", save(true, XsmpSession::kInteractNone)},
                 {"checkpoint", save(false, XsmpSession::kInteractAny)},
                 {"interact", [&] { session.Interact(); }},
                 {"die", [&] { session.Die(); }},
                 {"complete", [&] { session.SaveComplete(); }},
                 {"cancel", [&] { session.ShutdownCancelled(); }},
                 {"calledoff", [&] { session.CalledOff(); }},
                 {"lost", [&] { session.ConnectionLost(); }},
                 {"refuse", [&] { replies.grant = false; }}};
        Play(steps, c.script);
        EXPECT_EQ(log, std::string(" ") + c.log) << c.script << " / " << c.during;
    }
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

TEST_F(SessionTest, PortalQueryEndHoldsTheLogoutForTheCheckAndTheStateTellsCancelAndEnd) {
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
