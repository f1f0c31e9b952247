#include "platform/qt/qt_shell.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <QApplication>
#include <QEventLoop>
#include <QIcon>
#include <QMenu>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTimer>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/qt/event_sound.h"
#include "platform/qt/qt_media_notices.h"
#include "platform/qt/tray_click_decoder.h"
#include "platform/qt/tray_host_probe.h"
#include "platform/qt/tray_tip.h"
#include "support/qt_app.h"

namespace bm::platform {
namespace {

class QtShellTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { test::EnsureQApplication(); }
};

std::vector<int> Concat(std::initializer_list<std::vector<int>> parts) {
    std::vector<int> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

TEST_F(QtShellTest, ActivationsBecomeTheMouseMessagesOfEitherKindOfTray) {
    std::int64_t now = 1000;
    TrayClickDecoder decoder([&] { return now; }, [] { return 400; });
    auto at = [&](std::int64_t ms, QSystemTrayIcon::ActivationReason reason) {
        now = ms;
        return decoder.Messages(reason);
    };
    using R = QSystemTrayIcon;

    EXPECT_EQ(at(1000, R::Trigger), (std::vector<int>{kWmLButtonDown, kWmLButtonUp}));
    EXPECT_EQ(at(1600, R::Trigger), (std::vector<int>{kWmLButtonDown, kWmLButtonUp}))
        << "too slow for a double";
    // StatusNotifierItem: the second Trigger within the interval is the double click, and a
    // third one starts a new click rather than another double.
    EXPECT_EQ(at(1900, R::Trigger), (std::vector<int>{kWmLButtonDblClk, kWmLButtonUp}));
    EXPECT_EQ(at(2100, R::Trigger), (std::vector<int>{kWmLButtonDown, kWmLButtonUp}));
    // XEmbed: Qt reports the second press and then DoubleClick; the double is reported once.
    EXPECT_EQ(Concat({at(5000, R::Trigger), at(5200, R::Trigger), at(5201, R::DoubleClick)}),
              (std::vector<int>{kWmLButtonDown, kWmLButtonUp, kWmLButtonDblClk, kWmLButtonUp}));
    // A DoubleClick on its own (no second Trigger seen) still is one.
    EXPECT_EQ(at(9000, R::DoubleClick), (std::vector<int>{kWmLButtonDblClk, kWmLButtonUp}));
    // A right click between two left clicks breaks the pair.
    EXPECT_EQ(Concat({at(12000, R::Trigger), at(12100, R::Context), at(12200, R::Trigger)}),
              (std::vector<int>{kWmLButtonDown, kWmLButtonUp, kWmRButtonDown, kWmRButtonUp,
                                kWmLButtonDown, kWmLButtonUp}));
    EXPECT_TRUE(at(15000, R::MiddleClick).empty());
}

class FakeProbe : public TrayHostProbe {
  public:
    bool Present() override { return present; }
    void Watch(std::function<void()> c, std::function<void()> r) override {
        changed = std::move(c);
        restarted = std::move(r);
    }
    void SetWaiting(bool w) override { waiting = w; }
    bool present = true;
    bool waiting = false;
    std::function<void()> changed;
    std::function<void()> restarted;
};

class Window : public TrayWindow {
  public:
    void TrayMessage(int message) override {
        messages.push_back(message);
        if (onMessage) {
            onMessage(message);
        }
    }
    std::vector<int> messages;
    std::function<void(int)> onMessage;
};

NOTIFYICONDATA Record(Window& window, const std::string& tip) {
    static const QIcon icon = [] {
        QPixmap pixmap(16, 16);
        pixmap.fill(Qt::darkBlue);
        return QIcon(pixmap);
    }();
    NOTIFYICONDATA data;
    data.cbSize = kNotifyIconDataSize;
    data.hWnd = &window;
    data.uID = 1;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = WM_MOUSEMOVE;
    data.hIcon = &icon;
    SetTip(data, tip);
    return data;
}

TEST_F(QtShellTest, TipReachesQtWholeCharactersOnlyAndTheIconComesAndGoes) {
    Window window;
    QtShell shell(std::make_unique<FakeProbe>());
    const std::string a62(62, 'a');
    NOTIFYICONDATA data = Record(window, a62 + "\xC3\xA9");  // é over the cut
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
    shell.NotifyIcon(NIM_DELETE, data);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST_F(QtShellTest, AnIconAddedBeforeTheTrayHostIsShownWhenTheHostComes) {
    Window window;
    auto owned = std::make_unique<FakeProbe>();
    FakeProbe& probe = *owned;
    probe.present = false;
    QtShell shell(std::move(owned));

    NOTIFYICONDATA data = Record(window, "Bayminder");
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
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST_F(QtShellTest, MessagesStopWhenAHandlerDeletesTheIcon) {
    Window window;
    QtShell shell(std::make_unique<FakeProbe>());
    NOTIFYICONDATA data = Record(window, "Bayminder");
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
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

class MenuWindow : public Window, public TrayMenuOwner {
  public:
    MenuWindow() {
        menu.addAction(QStringLiteral("&About"));
        menu.addSeparator();
        menu.setDefaultAction(menu.addAction(QStringLiteral("&Properties")));
    }
    QMenu* TrayMenu() override { return &menu; }
    QMenu menu;
};

TEST_F(QtShellTest, TheMenuGoesToQtOnlyWhereTheHostDrawsIt) {
    MenuWindow window;
    QtShell shell(std::make_unique<FakeProbe>());
    NOTIFYICONDATA data = Record(window, "Bayminder");
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(shell.NotifyIcon(NIM_ADD, data));
        // An XEmbed icon given a menu pops it up itself at the press: only a StatusNotifierItem
        // (which exports it over dbusmenu) gets one, and then with the window's own actions.
        const QMenu* exported = shell.ExportedMenu();
        EXPECT_EQ(shell.TrayIcon()->contextMenu(), exported);
        if (exported != nullptr) {
            EXPECT_NE(const_cast<QMenu*>(exported)->platformMenu(), nullptr);
            EXPECT_EQ(exported->actions(), window.menu.actions());
            EXPECT_EQ(exported->defaultAction(), window.menu.defaultAction());
        }
        shell.NotifyIcon(NIM_DELETE, data);
        EXPECT_EQ(shell.ExportedMenu(), nullptr);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

class PipeFeed : public ChangeFeed {
  public:
    PipeFeed() { EXPECT_EQ(::pipe2(ends, O_NONBLOCK | O_CLOEXEC), 0); }
    ~PipeFeed() override {
        ::close(ends[0]);
        ::close(ends[1]);
    }
    PipeFeed(const PipeFeed&) = delete;
    PipeFeed& operator=(const PipeFeed&) = delete;
    int Descriptor() const override { return ends[0]; }
    bool Drain() override {
        char buffer[64];
        bool media = false;
        for (ssize_t got; (got = ::read(ends[0], buffer, sizeof buffer)) > 0;) {
            media = media || std::memchr(buffer, 'm', static_cast<std::size_t>(got)) != nullptr;
        }
        ++drains;
        return media;
    }
    void Say(const char* what) const { EXPECT_GT(::write(ends[1], what, std::strlen(what)), 0); }
    int ends[2] = {-1, -1};
    int drains = 0;
};

TEST_F(QtShellTest, NoticesComeFromTheEventLoopOnePerBatchAndAreReadEvenUnwatched) {
    auto owned = std::make_unique<PipeFeed>();
    PipeFeed& feed = *owned;
    QtMediaNotices notices(std::move(owned));
    int told = 0;
    notices.Watch([&] { ++told; });
    // The bytes are in the pipe already: one pass of the loop sees them.
    const auto settle = [] { QCoreApplication::processEvents(); };
    feed.Say("mmm");
    EXPECT_EQ(told, 0) << "never from inside the feed's own code";
    settle();
    EXPECT_EQ(told, 1);
    feed.Say("x");  // read, but about nothing the drives hold
    settle();
    EXPECT_EQ(told, 1);
    notices.Watch(nullptr);
    feed.Say("m");
    settle();
    EXPECT_EQ(told, 1);
    EXPECT_EQ(feed.drains, 3) << "a descriptor left readable would spin the loop";

    QtMediaNotices none(nullptr);  // no feed: no notices, no failure
    none.Watch([&] { ++told; });
}

TEST_F(QtShellTest, ASoundThatCannotPlayRingsTheBellOnTheEventLoopInstead) {
    QEventLoop loop;
    std::vector<bool> onUiThread;
    {
        EventSound sound(
            [&] {
                onUiThread.push_back(QThread::currentThread() == qApp->thread());
                if (onUiThread.size() == 2) {
                    loop.quit();
                }
            },
            "no-such-driver");
        sound.Play(MB_OK);
        sound.Play(MB_ICONASTERISK);
        EXPECT_TRUE(onUiThread.empty()) << "Play must not wait for the sound";
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        loop.exec();
    }
    EXPECT_EQ(onUiThread, (std::vector<bool>{true, true}));
}

}  // namespace
}  // namespace bm::platform
