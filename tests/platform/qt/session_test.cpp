#include "platform/qt/session.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/qt/session_parts.h"
#include "support/qt_app.h"

namespace bm::platform {
namespace {

// Runs the event loop until done() holds or timeoutMs pass; true when it held.
bool WaitFor(const std::function<bool()>& done, int timeoutMs = 10000) {
    if (done()) {
        return true;
    }
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done()) {
            loop.quit();
        }
    });
    check.start(5);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return done();
}

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
    auto comm = [&](int pid, const std::string& name) {
        std::filesystem::create_directories(root + "/" + std::to_string(pid));
        std::ofstream(root + "/" + std::to_string(pid) + "/comm") << name << "\n";
    };
    comm(1, "init");
    comm(812, "systemd");
    comm(900, "systemd-logind");
    comm(4242, "plasma-systemmo");
    EXPECT_TRUE(IsServiceManager(1, root));
    EXPECT_TRUE(IsServiceManager(812, root)) << "the user's systemd";
    EXPECT_FALSE(IsServiceManager(900, root));
    EXPECT_FALSE(IsServiceManager(4242, root));
    EXPECT_FALSE(IsServiceManager(5555, root)) << "gone before we looked";
    EXPECT_FALSE(IsServiceManager(0, root));
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
        EXPECT_TRUE(WaitFor([&] { return closes > 0; }));
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

// logind on a private bus: python3-dbusmock's logind template.
class LogindTest : public SessionTest {
  protected:
    void SetUp() override {
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        QString python;
        for (const QString& candidate :
             {QStringLiteral("/usr/bin/python3"),
              QStandardPaths::findExecutable(QStringLiteral("python3"))}) {
            if (!candidate.isEmpty() &&
                QProcess::execute(candidate,
                                  {QStringLiteral("-c"), QStringLiteral("import dbusmock")}) == 0) {
                python = candidate;
                break;
            }
        }
        if (daemon.isEmpty() || python.isEmpty()) {
            GTEST_SKIP() << "needs dbus-daemon and python3-dbusmock (Debian: dbus-daemon, "
                            "python3-dbusmock)";
        }
        bus_.start(daemon, {QStringLiteral("--session"), QStringLiteral("--nofork"),
                            QStringLiteral("--print-address=1")});
        ASSERT_TRUE(bus_.waitForStarted());
        while (!bus_.canReadLine()) {
            ASSERT_TRUE(bus_.waitForReadyRead(10000)) << "dbus-daemon printed no address";
        }
        address_ = QString::fromUtf8(bus_.readLine().trimmed());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), address_);
        mock_.setProcessEnvironment(env);
        mock_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        mock_.start(python, {QStringLiteral("-m"), QStringLiteral("dbusmock"),
                             QStringLiteral("--template"), QStringLiteral("logind")});
        ASSERT_TRUE(mock_.waitForStarted());
        client_ = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(address_, QStringLiteral("test-client")));
        ASSERT_TRUE(client_->isConnected());
        ASSERT_TRUE(WaitFor([&] {
            return client_->interface()
                ->isServiceRegistered(QStringLiteral("org.freedesktop.login1"))
                .value();
        })) << "the logind mock did not come up";
    }
    void TearDown() override {
        client_.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("test-client"));
        QDBusConnection::disconnectFromBus(QStringLiteral("program"));
        for (QProcess* p : {&mock_, &bus_}) {
            if (p->state() != QProcess::NotRunning) {
                p->terminate();
                p->waitForFinished(5000);
            }
        }
    }

    QDBusConnection ProgramBus() const {
        return QDBusConnection::connectToBus(address_, QStringLiteral("program"));
    }
    QDBusMessage Call(const QString& interface, const QString& method, const QVariantList& args) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
            interface, method);
        call.setArguments(args);
        return client_->call(call);
    }
    int Inhibitors() {
        const QDBusMessage reply = Call(QStringLiteral("org.freedesktop.login1.Manager"),
                                        QStringLiteral("ListInhibitors"), {});
        if (reply.type() != QDBusMessage::ReplyMessage) {
            return -1;
        }
        const QDBusArgument list = reply.arguments().value(0).value<QDBusArgument>();
        int count = 0;
        list.beginArray();
        while (!list.atEnd()) {
            QString what, who, why, mode;
            uint uid = 0, pid = 0;
            list.beginStructure();
            list >> what >> who >> why >> mode >> uid >> pid;
            list.endStructure();
            EXPECT_EQ(what, QStringLiteral("shutdown"));
            EXPECT_EQ(who, QStringLiteral("Bayminder"));
            EXPECT_EQ(mode, QStringLiteral("delay"));
            ++count;
        }
        list.endArray();
        return count;
    }
    int InhibitCalls() {
        const QDBusMessage reply =
            Call(QStringLiteral("org.freedesktop.DBus.Mock"), QStringLiteral("GetMethodCalls"),
                 {QStringLiteral("Inhibit")});
        const QDBusArgument list = reply.arguments().value(0).value<QDBusArgument>();
        int count = 0;
        list.beginArray();
        while (!list.atEnd()) {
            qulonglong when = 0;
            QVariantList args;
            list.beginStructure();
            list >> when >> args;
            list.endStructure();
            ++count;
        }
        list.endArray();
        return count;
    }
    void Announce(bool start) {
        const QDBusMessage reply =
            Call(QStringLiteral("org.freedesktop.DBus.Mock"), QStringLiteral("EmitSignal"),
                 {QStringLiteral("org.freedesktop.login1.Manager"),
                  QStringLiteral("PrepareForShutdown"), QStringLiteral("b"),
                  QVariant::fromValue(QVariantList{QVariant::fromValue(QDBusVariant(start))})});
        ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    }

    QProcess bus_;
    QProcess mock_;
    QString address_;
    std::unique_ptr<QDBusConnection> client_;
};

TEST_F(LogindTest, TheDelayLockHoldsTheShutdownForOneCheckAndComesBackWhenCalledOff) {
    std::vector<SessionEndSource> endings;
    int cancels = 0;
    int depth = 0;
    std::function<void()> during;
    SessionWatch watch({[&](SessionEndSource source) {
                            EXPECT_EQ(++depth, 1) << "a second check inside the first";
                            endings.push_back(source);
                            if (during) {
                                during();
                            }
                            --depth;
                        },
                        [&] {
                            EXPECT_EQ(depth, 0) << "cancelled while the check still ran";
                            ++cancels;
                        },
                        [] { ADD_FAILURE() << "not the task manager"; }},
                       ProgramBus());
    ASSERT_TRUE(WaitFor([&] { return watch.HoldsShutdownLock() && Inhibitors() == 1; }))
        << "no delay lock taken at start";

    // The lock holds the shutdown while the check runs, and goes once it has returned.
    during = [&] { EXPECT_EQ(Inhibitors(), 1); };
    Announce(true);
    ASSERT_TRUE(WaitFor([&] { return !endings.empty(); }));
    EXPECT_TRUE(WaitFor([&] { return Inhibitors() == 0; })) << "lock still held after the check";
    EXPECT_FALSE(watch.HoldsShutdownLock());

    // Said twice: one check. Called off: a new lock, and the program is told.
    during = nullptr;
    Announce(true);
    Announce(false);
    ASSERT_TRUE(WaitFor([&] { return cancels == 1 && Inhibitors() == 1; }));
    EXPECT_EQ(endings, (std::vector<SessionEndSource>{SessionEndSource::Logind}));

    // While a check runs, logind says it again, calls it off, starts and calls off again: still
    // one check, and the program hears of the cancel once the check has returned.
    during = [&] {
        const int asked = InhibitCalls();
        Announce(true);
        Announce(false);
        Announce(true);
        Announce(false);
        EXPECT_TRUE(WaitFor([&] { return InhibitCalls() == asked + 2; }));
        EXPECT_EQ(cancels, 1);
    };
    Announce(true);
    ASSERT_TRUE(WaitFor([&] { return cancels == 2; }));
    EXPECT_EQ(endings.size(), 2u);
    EXPECT_TRUE(WaitFor([&] { return Inhibitors() == 1 && watch.HoldsShutdownLock(); }))
        << "one lock, the newest";
}

}  // namespace
}  // namespace bm::platform
