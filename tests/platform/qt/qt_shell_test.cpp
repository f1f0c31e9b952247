// The Qt host and shell: timers, message boxes, the tray icon, media notices and the sounds. The
// icon on a real tray host (XEmbed and StatusNotifierItem, its menu and tooltip) is the desktop
// tests' part.
#include "platform/qt/qt_shell.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <QIcon>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/qt/event_sound.h"
#include "platform/qt/qt_host.h"
#include "platform/qt/qt_media_notices.h"
#include "platform/qt/tray_click_decoder.h"
#include "platform/qt/tray_host_probe.h"
#include "platform/qt/tray_tip.h"
#include "platform/sim/machine_watch.h"
#include "support/qt_app.h"
#include "support/temp_dir.h"

namespace bm::platform {
namespace {

class QtShellTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { test::EnsureQApplication(); }
};

// The one test that lets real time pass: about 100 ms in the event loop, waited for with
// WaitWhile, which must not spin meanwhile.
TEST_F(QtShellTest, TimersFireRepeatedlyOnlyWhenEnabledWithAnInterval) {
    QtHost host;
    struct Probe {
        std::unique_ptr<Timer> timer;
        int fired = 0;
    };
    auto make = [&](int interval, bool enabled) {
        auto probe = std::make_unique<Probe>();
        probe->timer = host.CreateTimer();
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
    auto selfDestroying = make(1, true);
    selfDestroying->timer->SetHandler([p = selfDestroying.get()] {
        ++p->fired;
        p->timer.reset();
    });

    bool waiting = true;
    int checks = 0;
    QTimer::singleShot(100, [&] { waiting = false; });
    host.WaitWhile([&] {
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

TEST_F(QtShellTest, MsgBoxShowsPlainTextWithLineBreaksAndItsStyle) {
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
        // Once the box is up: look at it, then click its OK button.
        std::function<void()> answer = [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) {
                QTimer::singleShot(0, answer);  // not shown yet
                return;
            }
            inspected = true;
            EXPECT_EQ(box->text(), QStringLiteral("First line\nSecond <b>line</b>\nThird"));
            EXPECT_EQ(box->textFormat(), Qt::PlainText);
            EXPECT_EQ(box->windowTitle(), QStringLiteral("Bayminder"));
            EXPECT_EQ(box->buttons().size(), 1);
            EXPECT_TRUE(box->isModal());
            EXPECT_EQ(box->icon(), c.icon);
            EXPECT_EQ(box->windowFlags().testFlag(Qt::WindowStaysOnTopHint), c.onTop);
            ASSERT_NE(box->button(QMessageBox::Ok), nullptr);
            box->button(QMessageBox::Ok)->click();
        };
        QTimer::singleShot(0, answer);
        EXPECT_EQ(QtHost().MsgBox("First line\rSecond <b>line</b>\r\nThird", c.style, "Bayminder"),
                  1);
        EXPECT_TRUE(inspected);
    }
}

TEST_F(QtShellTest, ActivationsBecomeTheMouseMessagesOfEitherKindOfTray) {
    using R = QSystemTrayIcon;
    const std::vector<int> click{kWmLButtonDown, kWmLButtonUp};
    const std::vector<int> twice{kWmLButtonDblClk, kWmLButtonUp};
    const struct {
        std::int64_t at;
        R::ActivationReason reason;
        std::vector<int> messages;
    } steps[] = {
        {1000, R::Trigger, click},
        {1600, R::Trigger, click},  // too slow for a double
        // StatusNotifierItem: the second Trigger within the interval is the double click, and a
        // third one starts a new click rather than another double.
        {1900, R::Trigger, twice},
        {2100, R::Trigger, click},
        // XEmbed: Qt reports the second press and then DoubleClick; the double is reported once.
        {5000, R::Trigger, click},
        {5200, R::Trigger, twice},
        {5201, R::DoubleClick, {}},
        {9000, R::DoubleClick, twice},  // no second Trigger seen: still a double
        // A right click between two left clicks breaks the pair.
        {12000, R::Trigger, click},
        {12100, R::Context, {kWmRButtonDown, kWmRButtonUp}},
        {12200, R::Trigger, click},
        {15000, R::MiddleClick, {}},
    };
    std::int64_t now = 0;
    TrayClickDecoder decoder([&] { return now; }, [] { return 400; });
    for (const auto& step : steps) {
        now = step.at;
        EXPECT_EQ(decoder.Messages(step.reason), step.messages) << step.at;
    }
}

class FakeProbe : public TrayHostProbe {
  public:
    bool Present() override { return present; }
    void Watch(std::function<void()> c, std::function<void()> r) override {
        changed = std::move(c);
        restarted = std::move(r);
    }
    void SetWaiting(bool w) override { waiting = w; }
    bool GnomeShellHost() override { return gnome; }
    bool present = true;
    bool gnome = false;
    bool waiting = false;
    std::function<void()> changed;
    std::function<void()> restarted;
};

class Window : public TrayWindow {
  public:
    Window() {
        menu.addAction(QStringLiteral("&About"));
        menu.setDefaultAction(menu.addAction(QStringLiteral("&Properties")));
    }
    void TrayMessage(int message) override {
        messages.push_back(message);
        if (onMessage) {
            onMessage(message);
        }
    }
    std::vector<int> messages;
    std::function<void(int)> onMessage;
    QMenu menu;
};

// A tray window's icon record; a tray host is there unless the test says otherwise before the
// first add.
class TrayIconTest : public QtShellTest {
  protected:
    TrayIconTest() {
        QPixmap pixmap(16, 16);
        pixmap.fill(Qt::darkBlue);
        icon = QIcon(pixmap);
        data.cbSize = kNotifyIconDataSize;
        data.hWnd = &window;
        data.uID = 1;
        data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
        data.uCallbackMessage = WM_MOUSEMOVE;
        data.hIcon = &icon;
        SetTip(data, "Bayminder");
        shell.SetTrayMenu(&window, &window.menu);
    }
    void TearDown() override {
        shell.NotifyIcon(NIM_DELETE, data);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    Window window;
    QIcon icon;
    NOTIFYICONDATA data;
    std::unique_ptr<FakeProbe> owned = std::make_unique<FakeProbe>();
    FakeProbe& probe = *owned;
    QtShell shell{std::move(owned)};
};

TEST_F(TrayIconTest, TipReachesQtWholeCharactersOnlyAndTheIconComesAndGoes) {
    const std::string a62(62, 'a');
    SetTip(data, a62 + "\xC3\xA9");  // é over the cut
    EXPECT_TRUE(shell.NotifyIcon(NIM_ADD, data));
    ASSERT_NE(shell.TrayIcon(), nullptr);
    EXPECT_EQ(shell.TrayIcon()->toolTip(), QString::fromStdString(a62));
    EXPECT_FALSE(shell.TrayIcon()->icon().isNull());
    EXPECT_FALSE(shell.NotifyIcon(NIM_ADD, data)) << "one icon only";

    // A record filled by hand: no NUL in the field, a character split by its end.
    std::memset(data.szTip, 'b', sizeof data.szTip);
    data.szTip[62] = '\xC3';
    data.szTip[63] = '\xA9';
    EXPECT_TRUE(shell.NotifyIcon(NIM_MODIFY, data));
    EXPECT_EQ(shell.TrayIcon()->toolTip(), QString::fromStdString(std::string(62, 'b')));

    SetTip(data, "Holiday in CD, Disk in Floppy \xE2\x82\xAC");  // a whole euro sign stays
    EXPECT_TRUE(shell.NotifyIcon(NIM_MODIFY, data));
    EXPECT_EQ(shell.TrayIcon()->toolTip(), QStringLiteral("Holiday in CD, Disk in Floppy €"));

    NOTIFYICONDATA other = data;
    other.uID = 2;
    EXPECT_FALSE(shell.NotifyIcon(NIM_DELETE, other));
    EXPECT_TRUE(shell.NotifyIcon(NIM_DELETE, data));
    EXPECT_EQ(shell.TrayIcon(), nullptr);
    EXPECT_FALSE(shell.NotifyIcon(NIM_MODIFY, data));
    EXPECT_FALSE(shell.NotifyIcon(NIM_DELETE, data));
    EXPECT_TRUE(shell.NotifyIcon(NIM_ADD, data)) << "added again after a delete";
}

TEST_F(TrayIconTest, AnIconAddedBeforeTheTrayHostIsShownWhenTheHostComes) {
    probe.present = false;
    EXPECT_TRUE(shell.NotifyIcon(NIM_ADD, data));
    EXPECT_EQ(shell.TrayIcon(), nullptr);
    EXPECT_TRUE(probe.waiting);
    SetTip(data, "Holiday in CD");
    EXPECT_TRUE(shell.NotifyIcon(NIM_MODIFY, data));
    probe.changed();  // still no host
    EXPECT_EQ(shell.TrayIcon(), nullptr);

    probe.present = true;
    probe.changed();
    ASSERT_NE(shell.TrayIcon(), nullptr);
    EXPECT_EQ(shell.TrayIcon()->toolTip(), QStringLiteral("Holiday in CD"));
    EXPECT_TRUE(shell.TrayIcon()->isVisible());
    EXPECT_FALSE(probe.waiting) << "no polling once the icon is up";
    probe.restarted();
    EXPECT_TRUE(shell.TrayIcon()->isVisible());

    // Deleted while waiting: a host that comes later shows nothing.
    shell.NotifyIcon(NIM_DELETE, data);
    probe.present = false;
    shell.NotifyIcon(NIM_ADD, data);
    EXPECT_TRUE(probe.waiting);
    shell.NotifyIcon(NIM_DELETE, data);
    EXPECT_FALSE(probe.waiting);
    probe.present = true;
    probe.changed();
    EXPECT_EQ(shell.TrayIcon(), nullptr);
}

TEST_F(TrayIconTest, MessagesStopWhenAHandlerDeletesTheIcon) {
    shell.NotifyIcon(NIM_ADD, data);
    auto* tray = const_cast<QSystemTrayIcon*>(shell.TrayIcon());
    ASSERT_NE(tray, nullptr);

    // Never inside Qt's emission: the icon's own window is still in its mouse handler then.
    Q_EMIT tray->activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(window.messages.empty());
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(window.messages, (std::vector<int>{kWmLButtonDown, kWmLButtonUp}));

    // Exit chosen from the popup menu deletes the icon inside the right click's handling.
    window.messages.clear();
    window.onMessage = [&](int message) {
        if (message == kWmRButtonDown) {
            shell.NotifyIcon(NIM_DELETE, data);
        }
    };
    Q_EMIT tray->activated(QSystemTrayIcon::Context);
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(window.messages, (std::vector<int>{kWmRButtonDown}));
    EXPECT_EQ(shell.TrayIcon(), nullptr);
}

// GNOME Shell's extension keeps the left click for its menu and sends Activate only for a double
// click: its middle click is the one gesture left for the properties. Elsewhere it means nothing.
// An XEmbed icon given a menu pops it up itself at the press: only a StatusNotifierItem (which
// exports it over dbusmenu) gets one. The exported menu's items are the Xfce tests' part.
TEST_F(TrayIconTest, AMiddleClickIsADoubleClickOnlyOnGnomeShellAndQtGetsTheMenuOnlyToExportIt) {
    for (const bool gnome : {false, true}) {
        probe.gnome = gnome;
        ASSERT_TRUE(shell.NotifyIcon(NIM_ADD, data));
        EXPECT_EQ(shell.TrayIcon()->contextMenu(), shell.ExportedMenu());
        EXPECT_TRUE(shell.ExportedMenu() == nullptr ||
                    const_cast<QMenu*>(shell.ExportedMenu())->platformMenu() != nullptr);
        Q_EMIT const_cast<QSystemTrayIcon*>(shell.TrayIcon())
            ->activated(QSystemTrayIcon::MiddleClick);
        QCoreApplication::sendPostedEvents();
        shell.NotifyIcon(NIM_DELETE, data);
        EXPECT_EQ(shell.ExportedMenu(), nullptr);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    EXPECT_EQ(window.messages, (std::vector<int>{kWmLButtonDblClk, kWmLButtonUp}));
}

// The simulated machine's watch as the feed: the machine file's changes concern the drives,
// another file's in its folder do not.
TEST_F(QtShellTest, NoticesComeFromTheEventLoopOnePerBatchAndAreReadEvenUnwatched) {
    test::TempDir dir;
    auto owned = sim::WatchMachineFile(dir / "machine.json");
    const int fd = owned->Descriptor();
    ASSERT_GE(fd, 0);
    QtMediaNotices notices(std::move(owned));
    int told = 0;
    notices.Watch([&] { ++told; });
    // Written before the loop runs: one pass of it sees every write.
    const auto write = [&](const char* name, int times) {
        for (int i = 0; i < times; ++i) {
            test::WriteFile(dir / name, "{}");
        }
        QCoreApplication::processEvents();
        pollfd readable{fd, POLLIN, 0};
        EXPECT_EQ(::poll(&readable, 1, 0), 0) << "a descriptor left readable would spin the loop";
    };
    write("machine.json", 3);
    EXPECT_EQ(told, 1);
    write("other.json", 1);  // read, but about nothing the drives hold
    EXPECT_EQ(told, 1);
    notices.Watch(nullptr);
    write("machine.json", 1);
    EXPECT_EQ(told, 1);

    QtMediaNotices none(nullptr);  // no feed: no notices, no failure
    none.Watch([&] { ++told; });
}

TEST_F(QtShellTest, ASoundThatCannotPlayRingsTheBellOnTheEventLoopInstead) {
    std::vector<bool> onUiThread;
    {
        EventSound sound([&] { onUiThread.push_back(QThread::currentThread() == qApp->thread()); },
                         "no-such-driver");
        sound.Play(MB_OK);
        sound.Play(MB_ICONASTERISK);
        EXPECT_TRUE(onUiThread.empty()) << "Play must not wait for the sound";
        EXPECT_TRUE(QTest::qWaitFor([&] { return onUiThread.size() == 2; }, 10000));
    }
    EXPECT_EQ(onUiThread, (std::vector<bool>{true, true}));
}

}  // namespace
}  // namespace bm::platform
