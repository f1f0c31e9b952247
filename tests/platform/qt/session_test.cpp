#include "platform/qt/session.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/qt/logind_watch.h"
#include "platform/qt/session_dispatch.h"
#include "platform/qt/session_xsmp.h"
#include "platform/qt/sigterm_pipe.h"
#include "support/qt_app.h"

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

TEST_F(SessionTest, OnlyTheServiceManagerSendsTheEndOfTheSession) {
    QTemporaryDir proc;
    ASSERT_TRUE(proc.isValid());
    const std::string root = proc.path().toStdString();
    const std::pair<int, const char*> comms[] = {
        {1, "init"}, {812, "systemd"}, {900, "systemd-logind"}, {4242, "plasma-systemmo"}};
    for (const auto& [pid, name] : comms) {
        std::filesystem::create_directories(root + "/" + std::to_string(pid));
        std::ofstream(root + "/" + std::to_string(pid) + "/comm") << name << "\n";
    }
    EXPECT_TRUE(IsServiceManager(1, root));
    EXPECT_TRUE(IsServiceManager(812, root)) << "the user's systemd";
    for (const int pid : {900, 4242, 5555 /* gone before we looked */, 0}) {
        EXPECT_FALSE(IsServiceManager(pid, root)) << pid;
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
        QTimer guard;  // wakes the wait should the signal be lost
        guard.setSingleShot(true);
        guard.start(10000);
        while (closes == 0 && guard.isActive()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
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

// The bus side (the delay lock taken, given back, taken again) is the desktop tests' part; this
// is what they cannot provoke: logind repeating itself, also while the check runs.
TEST_F(SessionTest, LogindRunsOneCheckPerShutdownAndACallOffDuringItWaitsForItsEnd) {
    int checks = 0;
    int cancels = 0;
    int depth = 0;
    std::function<void()> during;
    LogindWatch watch(
        NoBus(),
        [&] {
            EXPECT_EQ(++depth, 1) << "a second check inside the first";
            ++checks;
            if (during) {
                during();
            }
            --depth;
        },
        [&] {
            EXPECT_EQ(depth, 0) << "cancelled while the check still ran";
            ++cancels;
        });
    const auto say = [&](bool start) {
        ASSERT_TRUE(QMetaObject::invokeMethod(&watch, "PrepareForShutdown", Qt::DirectConnection,
                                              Q_ARG(bool, start)));
    };
    say(false);  // no shutdown to call off
    say(true);
    say(true);
    EXPECT_EQ(checks, 1);
    say(false);
    EXPECT_EQ(cancels, 1);

    during = [&] {
        say(true);
        say(false);
        say(true);
        say(false);
        EXPECT_EQ(cancels, 1);
    };
    say(true);
    EXPECT_EQ(checks, 2);
    EXPECT_EQ(cancels, 2);

    // Called off and started again during the check: the running check answers for both.
    during = [&] {
        say(false);
        say(true);
    };
    say(true);
    EXPECT_EQ(checks, 3);
    EXPECT_EQ(cancels, 2);
    during = nullptr;
    say(true);
    EXPECT_EQ(checks, 3) << "the same shutdown";
}

TEST_F(SessionTest, ASigtermDuringACheckIsHandledWhenTheCheckIsDone) {
    std::vector<std::string> events;
    std::function<void()> during;
    SessionDispatch* self = nullptr;
    SessionDispatch dispatch(
        {[&](SessionEndSource source, bool) {
             events.push_back(source == SessionEndSource::ServiceManager ? "end" : "check");
             if (during) {
                 auto now = std::move(during);
                 now();
             }
         },
         [&] { events.push_back("cancelled"); },
         [&] {
             events.push_back("close");
             if (during) {
                 auto now = std::move(during);
                 now();
             }
         },
         [&] { events.push_back("die"); }},
        [](pid_t sender) { return sender == 1; });
    self = &dispatch;

    // logind's delay runs out mid-countdown: systemd's SIGTERM ends the program after the check.
    during = [&] {
        self->Sigterm(1);
        self->Sigterm(4242);
        events.push_back("returned");
    };
    dispatch.Ending(SessionEndSource::Logind, true);
    EXPECT_EQ(events, (std::vector<std::string>{"check", "returned", "end"}));

    // A task manager's close during the check is not lost either; a second one while its
    // message box is up is the same close.
    events.clear();
    during = [&] {
        self->Sigterm(4242);
        during = [&] { self->Sigterm(4243); };
    };
    dispatch.Ending(SessionEndSource::Xsmp, true);
    EXPECT_EQ(events, (std::vector<std::string>{"check", "close"}));

    events.clear();
    dispatch.Sigterm(4242);
    dispatch.Sigterm(1);
    EXPECT_EQ(events, (std::vector<std::string>{"close", "end"}));
}

// The protocol as a session manager drives it; the connection itself is the Xfce tests' part.
TEST_F(SessionTest, XsmpRunsTheCheckOnlyForAShutdownAndEndsOnlyOnDie) {
    struct Replies : XsmpReplies {
        bool InteractRequest(bool errorsOnly) override {
            log.push_back(errorsOnly ? "request errors" : "request");
            return grant;
        }
        void InteractDone() override { log.push_back("interact done"); }
        void SaveYourselfDone(bool success) override { log.push_back(success ? "done" : "failed"); }
        std::vector<std::string> log;
        bool grant = true;
    } replies;
    std::function<void()> during;
    XsmpSession* self = nullptr;
    XsmpSession session(replies, {[&](bool withWindows) {
                                      replies.log.push_back(withWindows ? "check" : "check bare");
                                      if (during) {
                                          during();
                                      }
                                  },
                                  [&] { replies.log.push_back("cancelled"); },
                                  [&] { replies.log.push_back("die"); }});
    self = &session;
    const auto log = [&] { return std::exchange(replies.log, {}); };
    using Log = std::vector<std::string>;

    session.SaveYourself(false, XsmpSession::kInteractAny);
    EXPECT_EQ(log(), (Log{"done"})) << "a checkpoint is answered and nothing runs";

    session.SaveYourself(true, XsmpSession::kInteractAny);
    EXPECT_EQ(log(), (Log{"request"}));
    session.Interact();
    EXPECT_EQ(log(), (Log{"check", "interact done", "done"}));
    session.SaveYourself(true, XsmpSession::kInteractAny);
    EXPECT_EQ(log(), (Log{"done"})) << "the same end asked again: checked already";
    session.Die();
    EXPECT_EQ(log(), (Log{"die"}));

    // Xfce turns a logout that another client calls off into a checkpoint: SaveComplete.
    session.SaveYourself(true, XsmpSession::kInteractErrors);
    session.Interact();
    session.SaveComplete();
    EXPECT_EQ(log(), (Log{"request errors", "check", "interact done", "done", "cancelled"}));
    session.ShutdownCancelled();
    session.Die();
    EXPECT_EQ(log(), (Log{"die"})) << "nothing more to call off; Die still ends it";

    // Called off before our turn: no check; let in afterwards, we leave at once. Told only on
    // the side (Xfce's bus), the save is answered when the session manager lets us in.
    session.SaveYourself(true, XsmpSession::kInteractAny);
    session.ShutdownCancelled();
    session.Interact();
    EXPECT_EQ(log(), (Log{"request", "done", "interact done"}));
    session.SaveYourself(true, XsmpSession::kInteractAny);
    session.CalledOff();
    EXPECT_EQ(log(), (Log{"request"}));
    session.Interact();
    EXPECT_EQ(log(), (Log{"interact done", "done"}));

    // Called off, or told to die, while the check runs: handled once it is answered.
    // (the first cancel during the check lets it end early)
    during = [&] {
        self->ShutdownCancelled();
        self->ShutdownCancelled();
    };
    session.SaveYourself(true, XsmpSession::kInteractAny);
    session.Interact();
    EXPECT_EQ(log(), (Log{"request", "check", "cancelled", "interact done", "done", "cancelled"}));
    during = [&] {
        self->SaveYourself(true, XsmpSession::kInteractAny);
        self->Die();
    };
    session.SaveYourself(true, XsmpSession::kInteractAny);
    session.Interact();
    EXPECT_EQ(log(), (Log{"request", "check", "interact done", "done", "die"}));
    during = nullptr;

    // No interaction allowed, or the request fails: the check without windows. A checkpoint
    // where the end was due, or a lost session manager: the session goes on.
    session.SaveYourself(true, XsmpSession::kInteractNone);
    session.SaveYourself(false, XsmpSession::kInteractAny);
    EXPECT_EQ(log(), (Log{"check bare", "done", "done", "cancelled"}));
    replies.grant = false;
    session.SaveYourself(true, XsmpSession::kInteractAny);
    session.ConnectionLost();
    EXPECT_EQ(log(), (Log{"request", "check bare", "done", "cancelled"}));
}

TEST_F(SessionTest, AQtSessionArgumentNamesTheClientBeforeItsKey) {
    EXPECT_EQ(ClientIdOfSessionArgument("25faaa10b-e21e-4422-9e93-c683d1fb5da5_1733580000_12"),
              "25faaa10b-e21e-4422-9e93-c683d1fb5da5");
    EXPECT_EQ(ClientIdOfSessionArgument("10a1b2c3d4000170000000000012340000"),
              "10a1b2c3d4000170000000000012340000");
}

}  // namespace
}  // namespace bm::platform
