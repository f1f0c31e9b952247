#include "platform/qt/qt_host.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

#include "support/qt_app.h"

namespace bm::platform {
namespace {

class QtHostTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { test::EnsureQApplication(); }

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
    auto enabledLater = make(1, false);
    enabledLater->timer->SetEnabled(true);
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
    QtHost().WaitWhile([&] {
        ++checks;
        return waiting;
    });

    EXPECT_FALSE(waiting);
    EXPECT_LE(checks, 10) << "WaitWhile spins";
    EXPECT_GE(running->fired, 2) << "not repeating";
    EXPECT_GE(enabledLater->fired, 2);
    EXPECT_EQ(zeroInterval->fired, 0);
    EXPECT_EQ(disabled->fired, 0);
    EXPECT_EQ(restarted->fired, 0);
    EXPECT_EQ(selfDestroying->fired, 1);
    EXPECT_EQ(selfDestroying->timer, nullptr);
}

TEST_F(QtHostTest, MsgBoxShowsPlainTextWithLineBreaksAndItsStyle) {
    const struct {
        int style;
        QMessageBox::Icon icon;
        bool onTop;
    } cases[] = {
        {kVbOkOnly, QMessageBox::NoIcon, false},
        {kVbCritical, QMessageBox::Critical, false},
        {kVbExclamation, QMessageBox::Warning, false},
        {kVbInformation, QMessageBox::Information, false},
        {kVbInformation | kVbSystemModal, QMessageBox::Information, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.style);
        bool inspected = false;
        AnswerNextBox([&](QMessageBox* box) {
            inspected = true;
            EXPECT_EQ(box->text(), QStringLiteral("First line\nSecond <b>line</b>\nThird"));
            EXPECT_EQ(box->textFormat(), Qt::PlainText);
            EXPECT_EQ(box->windowTitle(), QStringLiteral("Bayminder"));
            EXPECT_EQ(box->buttons().size(), 1);
            EXPECT_TRUE(box->isModal());
            EXPECT_EQ(box->icon(), c.icon);
            EXPECT_EQ(box->windowFlags().testFlag(Qt::WindowStaysOnTopHint), c.onTop);
        });
        EXPECT_EQ(host_.MsgBox("First line\rSecond <b>line</b>\r\nThird", c.style, "Bayminder"), 1);
        EXPECT_TRUE(inspected);
    }
}

}  // namespace
}  // namespace bm::platform
