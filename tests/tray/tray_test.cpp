#include <QMenu>
#include <algorithm>

#include "drives/modMain.h"
#include "monitor/frmMonitor.h"
#include "support/window_fixture.h"
#include "tray/frmSystemTray.h"

using namespace bm;
using namespace bm::modMain;
using bm::forms::FormRegistry;

namespace {

class Tray : public test::WindowFixture {
  protected:
    void TearDown() override {
        frmSystemTray::PopupRunner = nullptr;
        WindowFixture::TearDown();
    }
    // A CD R: with the disc "HOLIDAY" and a floppy A: with an unlabelled disk.
    void HolidayMachine() {
        AddCd('R', true);
        drives.drives['R'].label = "HOLIDAY";
        drives.drives['A'] = test::Disk(platform::kDriveRemovable, true);
        drives.drives['A'].label = "";
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
};

TEST_F(Tray, TooltipNamesTheDrivesWithMediaInEachWording) {
    HolidayMachine();
    Start();
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

TEST_F(Tray, TooltipRebuildsAtMostOncePerSecondAndFitsTheTipField) {
    for (char letter : {'D', 'E', 'F', 'G', 'H'}) {
        AddCd(letter, true);
        drives.drives[letter].label = "A VERY LONG LABEL";
    }
    frmSystemTray& tray = Start();
    shell.Send(platform::kWmMouseMove);
    host.Advance(200);
    shell.Send(platform::kWmMouseMove);
    EXPECT_EQ(Count(Lines(), "NIM_MODIFY " + platform::TraceQuote(shell.Tip())), 1);
    host.Advance(800);
    shell.Send(platform::kWmMouseMove);
    EXPECT_EQ(Count(Lines(), "NIM_MODIFY " + platform::TraceQuote(shell.Tip())), 2);
    const std::string tip = shell.Tip();
    EXPECT_EQ(tip.size(), 63U);
    EXPECT_EQ(tip.rfind("A Very Long Label in CD, A Very Long Label in CD, A Very", 0), 0U);
    EXPECT_EQ(tray.TrayIconRecord().szTip[63], '\0');
}

TEST_F(Tray, SingleClickTogglesAfterTheReleaseDoubleClickOpensProperties) {
    HolidayMachine();
    AddCd('S', true, false);  // can eject only: never toggled
    Start();
    mci.sent.clear();
    shell.Click();
    host.Advance(499);
    EXPECT_EQ(Count(mci.sent, "set cd door open"), 0);
    host.Advance(1);
    EXPECT_EQ(Count(mci.sent, "set cd door open"), 1);
    EXPECT_TRUE(mci.cds['R'].doorOpen);
    EXPECT_FALSE(mci.cds['S'].doorOpen);

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
    EXPECT_EQ(forms::FormRegistry::LoadedCount(), 2);  // the same window, shown again
}

TEST_F(Tray, RightClickCancelsTheClickAndTheMenuGoesAwayAfterFourSeconds) {
    HolidayMachine();
    frmSystemTray& tray = Start();
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

TEST_F(Tray, ExitRemovesTheIconThenShowsAboutAsTheLastWindow) {
    HolidayMachine();
    frmSystemTray& tray = Start();
    tray.mnuPopupProperties_Click();
    tray.mnuPopupAdvanced_Click();
    FormRegistry::SetMainReturned();
    tray.mnuPopupExit->trigger();
    EXPECT_EQ(shell.calls.back().message, platform::NIM_DELETE);
    EXPECT_EQ(FormRegistry::Find("frmProperties"), nullptr);
    EXPECT_EQ(FormRegistry::Find("frmPropertiesAdvanced"), nullptr);
    host.Advance(999);
    EXPECT_NE(forms::Loaded<frmSystemTray>(), nullptr);
    host.Advance(1);
    EXPECT_EQ(forms::Loaded<frmSystemTray>(), nullptr);
    EXPECT_EQ(Count(Lines(), "unload frmSystemTray 1"), 1);
    EXPECT_EQ(Count(Lines(), "NIM_DELETE"), 1) << "the unload found the icon gone already";
    forms::Form* about = FormRegistry::Find("frmAbout");
    ASSERT_NE(about, nullptr);
    EXPECT_TRUE(about->Visible());
    EXPECT_EQ(programEnds, 0);
    FormRegistry::Unload(*about);
    host.Advance(6000);  // the splash that About read its version from goes too
    EXPECT_EQ(programEnds, 1);
}

}  // namespace
