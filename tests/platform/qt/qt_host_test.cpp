#include "platform/qt/qt_host.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace bm::platform {
namespace {

class QtHostTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (QCoreApplication::instance() == nullptr) {
            if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
                qputenv("QT_QPA_PLATFORM", "offscreen");
            }
            static int argc = 1;
            static char name[] = "test_qt_host";
            static char* argv[] = {name, nullptr};
            static QApplication app(argc, argv);
        }
    }

    // Once the next message box is up: hands it to inspect, then clicks its OK button.
    static void AnswerNextBox(std::function<void(QMessageBox*)> inspect) {
        QTimer::singleShot(0, [inspect = std::move(inspect)] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) {
                AnswerNextBox(inspect);  // not shown yet
                return;
            }
            inspect(box);
            ASSERT_NE(box->button(QMessageBox::Ok), nullptr);
            box->button(QMessageBox::Ok)->click();
        });
    }

    QtHost host_;
};

TEST_F(QtHostTest, TimerStateReadsBackWhatWasSet) {
    auto timer = host_.CreateTimer();
    EXPECT_EQ(timer->Interval(), 0);
    EXPECT_FALSE(timer->Enabled());
    timer->SetEnabled(true);  // interval 0: enabled, though it never fires
    EXPECT_TRUE(timer->Enabled());
    timer->SetInterval(250);
    EXPECT_EQ(timer->Interval(), 250);
    EXPECT_TRUE(timer->Enabled());
    timer->SetEnabled(false);
    EXPECT_FALSE(timer->Enabled());
    EXPECT_EQ(timer->Interval(), 250);
}

// The one test that lets real time pass: about 100 ms in the event loop, waited for with
// WaitWhile, which must not spin meanwhile.
TEST_F(QtHostTest, TimersFireRepeatedlyOnlyWhenEnabledWithAnInterval) {
    struct Probe {
        std::unique_ptr<Timer> timer;
        int fired = 0;
    };
    auto make = [&](int interval, bool enabled) {
        auto probe = std::make_unique<Probe>();
        probe->timer = host_.CreateTimer();
        probe->timer->SetHandler([p = probe.get()] { ++p->fired; });
        probe->timer->SetInterval(interval);
        probe->timer->SetEnabled(enabled);
        return probe;
    };
    auto running = make(1, true);
    auto zeroInterval = make(0, true);
    auto disabled = make(1, false);
    auto stopped = make(1, true);
    stopped->timer->SetEnabled(false);
    auto intervalSetLater = make(0, true);
    intervalSetLater->timer->SetInterval(1);
    auto enabledLater = make(1, false);
    enabledLater->timer->SetEnabled(true);
    auto tooSlow = make(10000, true);
    // Setting the interval while it runs starts a new one: kept restarting, it never fires.
    auto restarted = make(60, true);
    QTimer restarter;
    QObject::connect(&restarter, &QTimer::timeout, [&] { restarted->timer->SetInterval(60); });
    restarter.start(5);
    // Destroyed by its own handler: fires once, nothing crashes.
    auto selfDestroying = std::make_unique<Probe>();
    selfDestroying->timer = host_.CreateTimer();
    selfDestroying->timer->SetHandler([p = selfDestroying.get()] {
        ++p->fired;
        p->timer.reset();
    });
    selfDestroying->timer->SetInterval(1);
    selfDestroying->timer->SetEnabled(true);

    bool waiting = true;
    int checks = 0;
    QTimer::singleShot(100, [&] { waiting = false; });
    QtHost::WaitWhile([&] {
        ++checks;
        return waiting;
    });

    EXPECT_FALSE(waiting);
    EXPECT_LE(checks, 10) << "WaitWhile spins";
    EXPECT_GE(running->fired, 2) << "not repeating";
    EXPECT_GE(intervalSetLater->fired, 2);
    EXPECT_GE(enabledLater->fired, 2);
    EXPECT_EQ(zeroInterval->fired, 0);
    EXPECT_EQ(disabled->fired, 0);
    EXPECT_EQ(stopped->fired, 0);
    EXPECT_EQ(tooSlow->fired, 0);
    EXPECT_EQ(restarted->fired, 0);
    EXPECT_EQ(selfDestroying->fired, 1);
    EXPECT_EQ(selfDestroying->timer, nullptr);
}

TEST_F(QtHostTest, WaitWhileReturnsAtOnceWhenTheConditionIsFalse) {
    int checks = 0;
    QtHost::WaitWhile([&] {
        ++checks;
        return false;
    });
    EXPECT_EQ(checks, 1);
}

TEST_F(QtHostTest, DoEventsRunsPendingEvents) {
    bool ran = false;
    QTimer::singleShot(0, [&] { ran = true; });
    host_.DoEvents();
    EXPECT_TRUE(ran);
}

TEST_F(QtHostTest, MsgBoxShowsPlainTextWithLineBreaksAndCaption) {
    bool inspected = false;
    AnswerNextBox([&](QMessageBox* box) {
        inspected = true;
        EXPECT_EQ(box->objectName(), QStringLiteral("msgbox"));
        EXPECT_EQ(box->text(), QStringLiteral("First line\nSecond <b>line</b>\nThird"));
        EXPECT_EQ(box->textFormat(), Qt::PlainText);
        EXPECT_EQ(box->windowTitle(), QStringLiteral("Bayminder"));
        EXPECT_EQ(box->buttons().size(), 1);
        EXPECT_TRUE(box->isModal());
    });
    EXPECT_EQ(host_.MsgBox("First line\rSecond <b>line</b>\r\nThird", kVbOkOnly, "Bayminder"), 1);
    EXPECT_TRUE(inspected);
}

TEST_F(QtHostTest, MsgBoxIconAndStayOnTopFollowTheStyle) {
    const struct {
        int style;
        QMessageBox::Icon icon;
        bool onTop;
    } cases[] = {
        {kVbOkOnly, QMessageBox::NoIcon, false},
        {kVbCritical, QMessageBox::Critical, false},
        {kVbQuestion, QMessageBox::Question, false},
        {kVbExclamation, QMessageBox::Warning, false},
        {kVbInformation, QMessageBox::Information, false},
        {kVbInformation | kVbSystemModal, QMessageBox::Information, true},
        {kVbCritical | kVbSystemModal, QMessageBox::Critical, true},
        {0x70, QMessageBox::NoIcon, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.style);
        bool inspected = false;
        AnswerNextBox([&](QMessageBox* box) {
            inspected = true;
            EXPECT_EQ(box->icon(), c.icon);
            EXPECT_EQ(box->windowFlags().testFlag(Qt::WindowStaysOnTopHint), c.onTop);
        });
        EXPECT_EQ(host_.MsgBox("text", c.style, "title"), 1);
        EXPECT_TRUE(inspected);
    }
}

TEST_F(QtHostTest, AppPathIsTheFolderOfTheExecutable) {
    const std::filesystem::path path = host_.AppPath();
    EXPECT_EQ(path, std::filesystem::read_symlink("/proc/self/exe").parent_path());
    EXPECT_TRUE(std::filesystem::exists(path / "test_qt_host"));
}

}  // namespace
}  // namespace bm::platform
