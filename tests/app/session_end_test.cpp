#include <algorithm>

#include "app/session_end.h"
#include "drives/modMain.h"
#include "monitor/frmMonitor.h"
#include "support/window_fixture.h"
#include "tray/frmSystemTray.h"

using namespace bm;
using namespace bm::modMain;
using bm::forms::FormRegistry;
using bm::platform::SessionEndSource;

namespace {

class SessionEndTest : public test::WindowFixture {
  protected:
    void Start() {
        InitOptions();
        ASSERT_TRUE(FindDrives());
        FormRegistry::SetMainReturned();
    }
    void Choose(char letter, int monitor, int notify, int eject) {
        Drive(letter).Monitor = monitor;
        Drive(letter).Notify = notify;
        Drive(letter).Eject = eject;
    }
    int quits = 0;
    app::SessionEnd sessionEnd{[this] { ++quits; }};
};

TEST_F(SessionEndTest, MediaCheckListsEjectsAndGhostsThenWaitsForTheNotification) {
    for (char letter : {'G', 'F', 'E', 'D'}) {
        AddCd(letter, true);
    }
    drives.drives['D'].label = "HOLIDAY";
    Start();
    Choose('G', 1, 1, 0);          // index 0: the key with character code 0
    Choose('F', 2, 1, 1);          // greyed: skipped
    Choose('E', 1, 0, 1);          // ejected, not listed
    Choose('D', 1, 1, 1);          // listed and ghosted
    mci.cds['G'].doorOpen = true;  // closed first by the check
    const long long start = host.Now();
    sessionEnd.Ending(SessionEndSource::ServiceManager);

    EXPECT_FALSE(shell.IconShown());
    EXPECT_TRUE(mci.cds['F'].doorOpen == false);
    // The wait ran the whole countdown: nine beeps, the asterisk, then hidden a second later.
    EXPECT_EQ(shell.beeps, (std::vector<int>{0, 0, 0, 0, 0, 0, 0, 0, 0, 64}));
    EXPECT_EQ(host.Now() - start, 11000);
    EXPECT_EQ(quits, 1);
    frmMonitor* monitor = forms::Loaded<frmMonitor>();
    ASSERT_NE(monitor, nullptr);
    EXPECT_FALSE(monitor->Visible());
    EXPECT_EQ(Items(), (std::vector<std::string>{" (G:)", "Holiday (D:) ghosted"}));
    EXPECT_NE(monitor->lvwDrive->Find(std::string(1, '\0')), nullptr);
    // The countdown's OK closed every door, the ejected ones too.
    EXPECT_FALSE(mci.cds['D'].doorOpen);
    EXPECT_FALSE(mci.cds['E'].doorOpen);
    EXPECT_EQ(Count(Lines(), "unload frmSystemTray 2"), 1);
}

TEST_F(SessionEndTest, NothingToListHoldsTheEndUntilTheSplashHasHiddenItself) {
    AddCd('D', true);
    AddCd('E', false);
    Start();
    Choose('D', 1, 0, 1);
    Choose('E', 1, 1, 1);
    const long long start = host.Now();
    sessionEnd.Ending(SessionEndSource::Xsmp);
    EXPECT_EQ(host.Now() - start, 5000);
    EXPECT_TRUE(mci.cds['D'].doorOpen);
    EXPECT_EQ(FormRegistry::Find("frmSplash"), nullptr);
    EXPECT_EQ(Count(Lines(), "show frmSplash"), 1);
    EXPECT_TRUE(shell.beeps.empty());
    EXPECT_EQ(quits, 0);
}

TEST_F(SessionEndTest, ACancelledShutdownBringsTheIconBackAndExitThenStillEndsTheProgram) {
    AddCd('D', true);
    AddCd('E', true);
    Start();
    Choose('D', 1, 1, 0);
    Choose('E', 1, 1, 0);
    gBeep = vbFalse;
    for (int round = 0; round < 2; ++round) {
        const long long start = host.Now();
        sessionEnd.Ending(SessionEndSource::Logind);
        EXPECT_FALSE(shell.IconShown());
        EXPECT_EQ(Items().size(), 2U);  // not four the second time
        EXPECT_EQ(host.Now() - start, 11000) << "a full countdown again, not one that never ends";
        sessionEnd.Cancelled();
        EXPECT_TRUE(shell.IconShown());
        EXPECT_EQ(shell.calls.back().message, platform::NIM_ADD);
        EXPECT_EQ(shell.Tip(), "Bayminder");
    }
    EXPECT_TRUE(shell.beeps.empty());
    EXPECT_EQ(quits, 0);

    // Exit takes the icon away and closes the dialogs at once, then shows About as the last
    // window; the notification of the shutdown called off does not keep the program alive.
    frmSystemTray& tray = *forms::Loaded<frmSystemTray>();
    tray.mnuPopupProperties_Click();
    tray.mnuPopupAdvanced_Click();
    tray.mnuPopupExit->trigger();
    EXPECT_EQ(shell.calls.back().message, platform::NIM_DELETE);
    EXPECT_EQ(FormRegistry::Find("frmProperties"), nullptr);
    EXPECT_EQ(FormRegistry::Find("frmPropertiesAdvanced"), nullptr);
    host.Advance(999);
    EXPECT_NE(forms::Loaded<frmSystemTray>(), nullptr);
    host.Advance(1);
    EXPECT_EQ(forms::Loaded<frmSystemTray>(), nullptr);
    EXPECT_EQ(Count(Lines(), "unload frmSystemTray 1"), 1);
    EXPECT_EQ(Count(Lines(), "NIM_DELETE"), 3) << "the unload found Exit's icon gone already";
    forms::Form* about = FormRegistry::Find("frmAbout");
    ASSERT_NE(about, nullptr);
    EXPECT_TRUE(about->Visible());
    EXPECT_EQ(programEnds, 0);
    FormRegistry::Unload(*about);
    host.Advance(5000);  // the splash that About read its version from goes too
    EXPECT_EQ(FormRegistry::LoadedCount(), 0);
    EXPECT_EQ(programEnds, 1);
}

// The session manager's protocol around these calls is the session tests' part, a real logout
// the Xfce tests'; what they cannot time is a call-off during the check.
TEST_F(SessionEndTest, ACallOffDuringTheCheckEndsItAndAnEndWithoutWindowsOnlyEjects) {
    AddCd('D', true);
    Start();
    Choose('D', 1, 1, 0);
    gBeep = vbFalse;
    // While the notification counts down: answered at once as with OK.
    host.Later(3000, [&] { sessionEnd.Cancelled(); });
    const long long early = host.Now();
    sessionEnd.Ending(SessionEndSource::Xsmp);
    EXPECT_EQ(host.Now() - early, 4000);
    sessionEnd.Cancelled();
    EXPECT_TRUE(shell.IconShown());
    // Before it is shown: not shown.
    host.Post([&] { sessionEnd.Cancelled(); });  // during the first probe
    const int shown = Count(Lines(), "show frmMonitor");
    sessionEnd.Ending(SessionEndSource::Xsmp);
    EXPECT_EQ(Count(Lines(), "show frmMonitor"), shown);
    sessionEnd.Cancelled();
    EXPECT_TRUE(shell.IconShown());

    Choose('D', 1, 1, 1);
    const long long bare = host.Now();
    sessionEnd.Ending(SessionEndSource::Xsmp, false);
    EXPECT_EQ(host.Now(), bare);
    EXPECT_TRUE(mci.cds['D'].doorOpen);
    EXPECT_EQ(FormRegistry::Find(frmMonitor::kName), nullptr);
    EXPECT_EQ(FormRegistry::Find("frmSplash"), nullptr);
    EXPECT_EQ(quits, 0);
    // The shutdown goes on: the service manager's SIGTERM ends the program without a second
    // check, and so does the session manager's Die.
    sessionEnd.Ending(SessionEndSource::ServiceManager);
    EXPECT_EQ(quits, 1);
    EXPECT_EQ(host.Now(), bare);
    sessionEnd.Die();
    EXPECT_EQ(quits, 2);
}

// A disc whose tray stays shut (files open on the mounted disc) is listed but not ghosted,
// nothing is shown, and a click on it tries again.
TEST_F(SessionEndTest, ARefusedEjectIsListedUnghostedAndAClickTriesAgain) {
    AddCd('E', true);
    AddCd('D', true);
    drives.drives['D'].label = "MY DATA";
    drives.drives['E'].label = "HOLIDAY";
    mci.cds['D'].ejectError = platform::kMciDiscInUse;
    Start();
    Choose('D', 1, 1, 1);
    Choose('E', 1, 1, 1);
    gBeep = vbFalse;
    const auto clickD = [] { forms::Ref<frmMonitor>().lvwDrive_ItemClick(Item(1)); };
    std::vector<std::string> atStart, afterBusyClick, afterClick;
    host.Later(2000, [&] {
        atStart = Items();
        clickD();  // still busy: nothing moves, nothing is shown
        afterBusyClick = Items();
    });
    host.Later(4000, [&] {
        mci.cds['D'].ejectError = 0;  // the user closed the file on the disc
        clickD();
        afterClick = Items();
    });
    sessionEnd.Ending(SessionEndSource::Xsmp);

    // Table order: E (index 0) then D. E's tray opened and is ghosted; D's stayed shut.
    EXPECT_EQ(atStart, (std::vector<std::string>{"Holiday (E:) ghosted", "My Data (D:)"}));
    EXPECT_EQ(afterBusyClick, atStart);
    EXPECT_TRUE(host.boxes.empty());  // the end of the session shows no fault, it traces it
    EXPECT_NE(Traced("not shown: 48 \"Bayminder\" \"Bayminder cannot open the tray of drive D: "
                     "(My Data)."),
              0);
    // The click that worked opened the tray; with the disc gone from the drive's status the
    // item left the list.
    EXPECT_EQ(afterClick, (std::vector<std::string>{"Holiday (E:) ghosted"}));
}

}  // namespace
