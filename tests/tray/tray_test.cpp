// The tray window: the tooltip, kept current from pointer moves and the machine's media notices
// within its throttles, and the clicks on the icon. Exit is the session end tests' part.
#include <QMenu>

#include "support/window_fixture.h"
#include "tray/frmSystemTray.h"

using namespace bm;
using namespace bm::modMain;
using bm::forms::FormRegistry;

namespace {

struct FakeNotices : platform::MediaNotices {
    void Watch(std::function<void()> handler) override { changed = std::move(handler); }
    std::function<void()> changed;  // empty when nobody watches
};

class Tray : public test::WindowFixture {
  protected:
    void SetUp() override {
        WindowFixture::SetUp();
        platform::Install({&drives, &mci, &settings, &host, &shell, &windows, &notices});
    }
    void TearDown() override {
        frmSystemTray::PopupRunner = nullptr;
        WindowFixture::TearDown();
    }
    // Started on a CD R: with the disc "HOLIDAY" and a floppy A: with an unlabelled disk.
    frmSystemTray& StartHoliday() {
        AddCd('R', true);
        drives.drives['R'].label = "HOLIDAY";
        drives.drives['A'] = {platform::kDriveRemovable, true};
        return Start();
    }
    frmSystemTray& Start() {
        InitOptions();
        EXPECT_TRUE(FindDrives());
        frmSystemTray* tray = forms::Loaded<frmSystemTray>();
        EXPECT_NE(tray, nullptr);
        return *tray;
    }
    std::string Tooltip() {
        host.Advance(1000);  // past the throttle
        shell.Send(platform::kWmMouseMove);
        return shell.Tip();
    }
    static int Modifies() { return Traced("NIM_MODIFY"); }
    FakeNotices notices;
};

TEST_F(Tray, TooltipNamesTheDrivesWithMediaInEachWording) {
    StartHoliday();
    EXPECT_EQ(shell.calls.front().message, platform::NIM_ADD);
    EXPECT_EQ(shell.calls.front().tip, "Bayminder");
    Drive('A').StatusToolTip = 1;
    EXPECT_EQ(Tooltip(), "Holiday in CD, Disk in Floppy");
    gShowDriveType = vbFalse;
    EXPECT_EQ(Tooltip(), "Holiday in (R:), Disk in (A:)");
    gShowDriveType = vbTrue;
    gShowMediaType = vbTrue;
    EXPECT_EQ(Tooltip(), "Disc in CD, Disk in Floppy");

    // A drive chosen but empty adds nothing, not even a separator; none left: the name.
    gShowMediaType = vbFalse;
    mci.cds['R'].disc = false;
    drives.drives['R'].medium = false;
    EXPECT_EQ(Tooltip(), "Disk in Floppy");
    Drive('A').StatusToolTip = 0;
    EXPECT_EQ(Tooltip(), "Bayminder");
}

TEST_F(Tray, TheTooltipFitsTheTipField) {
    for (char letter : {'D', 'E', 'F', 'G', 'H'}) {
        AddCd(letter, true);
        drives.drives[letter].label = "A VERY LONG LABEL";
    }
    frmSystemTray& tray = Start();
    const std::string tip = Tooltip();
    EXPECT_EQ(tip.size(), 63U);
    EXPECT_EQ(tip.rfind("A Very Long Label in CD, A Very Long Label in CD, A Very", 0), 0U);
    EXPECT_EQ(tray.TrayIconRecord().szTip[63], '\0');
}

TEST_F(Tray, NoticesRebuildTheTooltipOnceWithinTheThrottleAndHoldOffAndNeverLoseOne) {
    AddCd('R', true);
    drives.drives['R'].label = "HOLIDAY";
    AddCd('S', false);
    Start();
    CloseAllDoors();
    ASSERT_TRUE(static_cast<bool>(notices.changed));
    EXPECT_EQ(shell.Tip(), "Bayminder");

    // The doors were closed just now, with a probe of R: within its hold-off the probe would see
    // nothing new, so the rebuild waits for the hold-off's end instead of showing the old state.
    notices.changed();
    EXPECT_EQ(Modifies(), 0);
    host.Advance(1000);
    EXPECT_EQ(Modifies(), 1);
    EXPECT_EQ(shell.Tip(), "Holiday in CD");

    // Notices inside the rebuild's second: one rebuild when it ends, with what they told.
    host.Advance(300);
    mci.cds['R'].disc = false;
    drives.drives['R'].medium = false;
    notices.changed();
    AddCd('S', true);
    drives.drives['S'].label = "SUMMER";
    notices.changed();
    EXPECT_EQ(Modifies(), 1);
    host.Advance(700);
    EXPECT_EQ(Modifies(), 2);
    EXPECT_EQ(shell.Tip(), "Summer in CD");

    // Then nothing runs until the machine speaks again.
    while (host.AdvanceToNextTimer(10000)) {
    }
    EXPECT_EQ(Modifies(), 2);
    notices.changed();
    EXPECT_EQ(Modifies(), 3);

    // Pointer moves keep their own throttle, shared with the notices.
    shell.Send(platform::kWmMouseMove);
    EXPECT_EQ(Modifies(), 3);
}

TEST_F(Tray, TheTipIsBuiltAfterStartUpNoticesWaitWhileTheIconIsAwayAndStopWithTheWindow) {
    AddCd('R', true);
    frmSystemTray& tray = Start();
    CloseAllDoors();
    host.Advance(1000);
    EXPECT_EQ(Modifies(), 1) << "the tip is built after start-up without a mouse message";
    tray.SessionEndCheck();  // the end of the session takes the icon away and ejects R
    notices.changed();
    host.Advance(20000);
    EXPECT_EQ(Modifies(), 1);  // no icon, nothing to modify

    // Called off: the icon comes back, and so do the rebuilds.
    tray.RestoreIcon();
    host.Advance(10000);
    notices.changed();
    host.Advance(10000);
    EXPECT_EQ(Modifies(), 2);

    FormRegistry::Unload(tray, forms::vbFormCode);
    EXPECT_FALSE(static_cast<bool>(notices.changed));
}

// The desktop's end-of-session dialog is told what the notification lists, by label or by kind,
// and told again with nothing once the notification has closed.
TEST_F(Tray, TheEndOfTheSessionNamesTheListedMediaToTheDesktopWhileItsNotificationShows) {
    frmSystemTray& tray = StartHoliday();
    Drive('A').Monitor = 1;
    Drive('A').Notify = 1;
    tray.SessionEndCheck();
    EXPECT_EQ(shell.sessionEndMedia,
              (std::vector<std::vector<std::string>>{{"Holiday (R:)", "Disk (A:)"}, {}}));
}

TEST_F(Tray, SingleClickTogglesAfterTheReleaseDoubleClickOpensProperties) {
    StartHoliday();
    mci.sent.clear();
    shell.Click();
    host.Advance(499);
    EXPECT_EQ(Count(mci.sent, "set cd door open"), 0);
    host.Advance(1);
    EXPECT_EQ(Count(mci.sent, "set cd door open"), 1);
    EXPECT_TRUE(mci.cds['R'].doorOpen);

    // Double click: properties once, no door moves, the trailing release ignored.
    mci.sent.clear();
    host.Advance(2000);
    shell.DoubleClick();
    host.Advance(2000);
    EXPECT_EQ(Count(mci.sent, "set cd door closed"), 0);
    ASSERT_NE(FormRegistry::Find("frmProperties"), nullptr);
    EXPECT_TRUE(FormRegistry::Find("frmProperties")->Visible());
    EXPECT_EQ(Count(Lines(), "show frmProperties"), 1);

    // A second click later than 500 ms: the toggle has run, the double click still opens.
    shell.Click();
    host.Advance(600);
    shell.Send({platform::kWmLButtonDblClk, platform::kWmLButtonUp});
    host.Advance(600);
    EXPECT_EQ(Count(mci.sent, "set cd door closed"), 1);
    EXPECT_EQ(Count(Lines(), "show frmProperties"), 2);
    EXPECT_EQ(FormRegistry::LoadedCount(), 2);  // the same window, shown again
}

TEST_F(Tray, RightClickCancelsTheClickAndTheMenuGoesAwayAfterFourSeconds) {
    frmSystemTray& tray = StartHoliday();
    frmSystemTray::PopupRunner = [](QMenu& menu) { menu.popup(QPoint(0, 0)); };
    mci.sent.clear();
    shell.Send(platform::kWmLButtonUp);
    shell.RightClick();
    host.Advance(1000);
    EXPECT_EQ(Count(mci.sent, "set cd door open"), 0);
    EXPECT_TRUE(tray.mnuPopup->isVisible());
    host.Advance(2999);
    EXPECT_TRUE(tray.mnuPopup->isVisible());
    host.Advance(1);
    EXPECT_FALSE(tray.mnuPopup->isVisible());
    EXPECT_FALSE(tray.tmrRemovePopup->Enabled());
}

}  // namespace
