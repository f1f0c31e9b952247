// udisks2 over D-Bus, played by a small service on a private bus: a daemon that never answers
// gives the unmount fault by the deadline, and the program goes on handling events meanwhile.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QProcess>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "linux_fakes.h"
#include "platform/trace.h"
#include "support/qt_app.h"

namespace bm::platform::linux_ {
namespace {

const QString kService = QStringLiteral("org.freedesktop.UDisks2");
const QString kRoot = QStringLiteral("/org/freedesktop/UDisks2");

// Hands every call to onCall, which answers it or not.
class FakeDaemon : public QDBusVirtualObject {
  public:
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override {
        calls.push_back(message.member().toStdString());
        if (onCall) {
            onCall(message);
        }
        return true;
    }
    std::vector<std::string> calls;
    std::function<void(const QDBusMessage&)> onCall;
};

std::vector<std::string> gTrace;

class UdisksBusTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { test::EnsureQApplication(); }
    void SetUp() override {
        bus_.start(
            QStringLiteral("dbus-daemon"),
            {QStringLiteral("--session"), QStringLiteral("--nofork"),
             QStringLiteral("--print-address=1"), QStringLiteral("--address=unix:tmpdir=/tmp")});
        ASSERT_TRUE(bus_.waitForReadyRead(10000)) << "dbus-daemon did not start";
        address_ = QString::fromUtf8(bus_.readLine()).trimmed();
        gTrace.clear();
        SetTraceSink([](TraceCategory, const std::string& line) { gTrace.push_back(line); });
    }
    void TearDown() override {
        SetTraceSink(nullptr);
        if (daemonBus_) {
            daemonBus_->unregisterObject(kRoot, QDBusConnection::UnregisterTree);
        }
        daemonBus_.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("fake-udisks"));
        QDBusConnection::disconnectFromBus(QStringLiteral("bayminder-udisks"));
        bus_.kill();
        bus_.waitForFinished();
    }
    // The fake takes the daemon's name on the bus.
    void StartDaemon() {
        daemonBus_ = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(address_, QStringLiteral("fake-udisks")));
        ASSERT_TRUE(daemonBus_->registerService(kService));
        ASSERT_TRUE(daemonBus_->registerVirtualObject(kRoot, &daemon_, QDBusConnection::SubPath));
    }
    // The basic tree, D: (sr0) mounted, with udisks2 on the private bus.
    void MakeMachine(UdisksDeadlines deadlines) {
        rig_ = std::make_unique<Rig>("basic", MakeBusUdisks(address_.toStdString(), deadlines));
    }
    int Send(const std::string& command) { return rig_->Send(command); }

    QProcess bus_;
    QString address_;
    std::unique_ptr<QDBusConnection> daemonBus_;
    FakeDaemon daemon_;
    std::unique_ptr<Rig> rig_;
};

TEST_F(UdisksBusTest, AHungDaemonGivesTheUnmountFaultByItsDeadlineWhileEventsRun) {
    constexpr int kDeadlineMs = 300;
    EXPECT_FALSE(MakeBusUdisks(address_.toStdString(), {})->Available()) << "nobody has the name";
    StartDaemon();
    EXPECT_TRUE(MakeBusUdisks(address_.toStdString(), {})->Available());

    // Also once the program quits, when no event loop runs any more: the fault, by the deadline.
    for (const bool quitting : {false, true}) {
        if (quitting) {
            QCoreApplication::exit(0);
        }
        MakeMachine({1000, kDeadlineMs});
        gTrace.clear();
        int ticks = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
        ticker.start(10);
        QElapsedTimer clock;
        clock.start();
        ASSERT_EQ(Send("open D: type cdaudio alias cd shareable wait"), kMciOk);
        EXPECT_EQ(Send("set cd door open"), kMciUnmountFailed) << quitting;
        const qint64 took = clock.elapsed();
        Send("close cd");

        EXPECT_GE(took, kDeadlineMs - 50) << quitting;
        EXPECT_LT(took, kDeadlineMs + 2000) << quitting;
        if (!quitting) {  // then the fake, in this process, hears nothing either
            EXPECT_GE(ticks, 5) << "the timer stopped while the call waited";
            EXPECT_EQ(daemon_.calls, std::vector<std::string>{"Unmount"});
        }
        EXPECT_EQ(rig_->io->nodes["/dev/sr0"].ejects, 0) << "ejected under its mount";
        EXPECT_TRUE(rig_->table->Mounted({11, 0})) << quitting;
        EXPECT_TRUE(rig_->io->openFds.empty()) << quitting;
        EXPECT_EQ(gTrace, std::vector<std::string>{"udisks2 Unmount /dev/sr0 => "
                                                   "org.freedesktop.DBus.Error.NoReply: no answer "
                                                   "within 300 ms"})
            << quitting;
    }
}

// An event during the wait that opens and closes the alias, as a status refresh does, closes the
// handle whose door waits: the door still ends on its own drive.
TEST_F(UdisksBusTest, AnEventThatClosesTheAliasDuringTheWaitLeavesTheDoorItsDrive) {
    StartDaemon();
    MakeMachine({});
    daemon_.onCall = [this](const QDBusMessage& call) {
        if (call.member() == QStringLiteral("Unmount")) {
            EXPECT_EQ(Send("open E: type cdaudio alias cd shareable wait"), kMciDuplicateAlias);
            EXPECT_EQ(Send("close cd"), kMciOk);
            EXPECT_EQ(rig_->io->openFds.size(), 1U) << "the waiting door's descriptor was closed";
            rig_->table->mounts.clear();
            daemonBus_->send(call.createReply());
        } else if (call.member() == QStringLiteral("Get")) {
            daemonBus_->send(call.createReply(QVariant::fromValue(QDBusVariant(
                QVariant::fromValue(QDBusObjectPath(kRoot + QStringLiteral("/drives/Drive1")))))));
        } else {
            // Not in an active session, say: the drive's own eject then.
            daemonBus_->send(
                call.createErrorReply(QStringLiteral("org.freedesktop.UDisks2.Error.NotAuthorized"),
                                      QStringLiteral("not allowed")));
        }
    };
    ASSERT_EQ(Send("open D: type cdaudio alias cd shareable wait"), kMciOk);
    EXPECT_EQ(Send("set cd door open"), kMciOk);
    EXPECT_EQ(daemon_.calls, (std::vector<std::string>{"Unmount", "Get", "Eject"}));
    EXPECT_EQ(rig_->io->nodes["/dev/sr0"].ejects, 1);
    EXPECT_TRUE(rig_->io->openFds.empty());
}

}  // namespace
}  // namespace bm::platform::linux_
