#include "platform/qt/session.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/qt/session_parts.h"
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
        SessionWatch watch({[&](SessionEndSource) { ++endings; }, [] {},
                            [&] {
                                EXPECT_TRUE(raiseReturned) << "ran inside the signal handler";
                                ++closes;
                            }},
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

}  // namespace
}  // namespace bm::platform
