#include <initializer_list>

#include "app/session_end.h"
#include "platform/qt/session_machine.h"
#include "support/window_fixture.h"
#include "tray/frmSystemTray.h"

using namespace bm;
using namespace bm::modMain;
using bm::forms::FormRegistry;
using bm::platform::EndSource;
using bm::platform::EndWindows;
using bm::platform::SessionClock;

namespace {

class SessionEndTest : public test::WindowFixture {
  protected:
    // CD drives (with a disc or not, a label) and the user's choices for each; silent unless
    // the test listens for the beeps.
    struct Cd {
        char letter;
        bool disc;
        int monitor, notify, eject;
        const char* label = "";
    };
    void Start(std::initializer_list<Cd> cds, bool beep = false) {
        for (const Cd& cd : cds) {
            AddCd(cd.letter, cd.disc);
            drives.drives[cd.letter].label = cd.label;
        }
        InitOptions();
        gBeep = ToVb(beep);
        ASSERT_TRUE(FindDrives());
        FormRegistry::SetMainReturned();
        for (const Cd& cd : cds) {
            Choose(cd.letter, cd.monitor, cd.notify, cd.eject);
        }
    }
    void Choose(char letter, int monitor, int notify, int eject) {
        Drive(letter).Monitor = monitor;
        Drive(letter).Notify = notify;
        Drive(letter).Eject = eject;
    }
    int quits = 0;
    app::SessionEnd sessionEnd{[this] { ++quits; }};
    // The machine's decisions carried out by the program, as the session watch wires them; the
    // sources' answers are the machine's table's part.
    struct Wire : platform::SessionOutput {
        explicit Wire(app::SessionEnd& program) : end(program) {}
        void AskWindows(EndSource source) override { machine.Granted(source, true); }
        void GiveWindowsBack(EndSource) override {}
        void Answer(EndSource, bool) override {}
        void Check(bool withWindows, std::optional<SessionClock::time_point> deadline) override {
            end.Check(withWindows, deadline, [this] { return machine.Finishing(); });
        }
        void FinishCheck(bool sessionGone) override { end.FinishCheck(sessionGone); }
        void RestoreIcon() override { end.RestoreIcon(); }
        void TaskManagerClose() override { end.TaskManagerClose(); }
        void Quit() override { end.Quit(); }
        app::SessionEnd& end;
        platform::SessionMachine machine{*this};
    } wire{sessionEnd};
    platform::SessionMachine& machine = wire.machine;
    void Logout(EndWindows allowed = EndWindows::Allowed) {
        machine.Request(EndSource::Xsmp, allowed);
    }
    void CallOff() { machine.CalledOff(EndSource::Xsmp); }
};

TEST_F(SessionEndTest, MediaCheckListsEjectsAndGhostsThenWaitsForTheNotification) {
    Start({{'G', true, 1, 1, 0},              // index 0: the key with character code 0
           {'F', true, 2, 1, 1},              // greyed: skipped
           {'E', true, 1, 0, 1},              // ejected, not listed
           {'D', true, 1, 1, 1, "HOLIDAY"}},  // listed and ghosted
          true);
    mci.cds['G'].doorOpen = true;  // closed first by the check
    const long long start = host.Now();
    machine.Request(EndSource::Signal, EndWindows::Allowed, {}, true);  // systemd's SIGTERM

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
}

TEST_F(SessionEndTest, NothingToListHoldsTheEndUntilTheSplashHasHiddenItself) {
    Start({{'D', true, 1, 0, 1}, {'E', false, 1, 1, 1}}, true);
    const long long start = host.Now();
    Logout();
    EXPECT_EQ(host.Now() - start, 5000);
    EXPECT_TRUE(mci.cds['D'].doorOpen);
    EXPECT_EQ(FormRegistry::Find("frmSplash"), nullptr);
    EXPECT_EQ(Count(Lines(), "show frmSplash"), 1);
    EXPECT_TRUE(shell.beeps.empty());
    EXPECT_EQ(quits, 0);
}

TEST_F(SessionEndTest, ACancelledShutdownBringsTheIconBackAndExitThenStillEndsTheProgram) {
    Start({{'D', true, 1, 1, 0}, {'E', true, 1, 1, 0}});
    for (int round = 0; round < 2; ++round) {
        const long long start = host.Now();
        machine.Request(EndSource::Logind, EndWindows::Allowed);
        EXPECT_FALSE(shell.IconShown());
        EXPECT_EQ(Items().size(), 2U);  // not four the second time
        EXPECT_EQ(host.Now() - start, 11000) << "a full countdown again, not one that never ends";
        machine.CalledOff(EndSource::Logind);
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
    Start({{'D', true, 1, 1, 0}});
    // While the notification counts down: answered at once as with OK.
    host.Later(3000, [&] { CallOff(); });
    const long long early = host.Now();
    Logout();
    EXPECT_EQ(host.Now() - early, 4000);
    EXPECT_TRUE(shell.IconShown());
    // Before it is shown: not shown, and nothing ejected after the call.
    Choose('D', 1, 1, 1);
    host.Post([&] { CallOff(); });  // during the first door command
    const int shown = Count(Lines(), "show frmMonitor");
    Logout();
    EXPECT_EQ(Count(Lines(), "show frmMonitor"), shown);
    EXPECT_EQ(Count(mci.sent, "set cd door open"), 0);
    EXPECT_TRUE(shell.IconShown());

    const long long bare = host.Now();
    Logout(EndWindows::None);
    EXPECT_EQ(host.Now(), bare);
    EXPECT_TRUE(mci.cds['D'].doorOpen);
    EXPECT_EQ(FormRegistry::Find(frmMonitor::kName), nullptr);
    EXPECT_EQ(FormRegistry::Find("frmSplash"), nullptr);
    EXPECT_EQ(quits, 0);
    // The same end told again (the end-session phase's save, logind) moves nothing; Die ends.
    Logout(EndWindows::None);
    machine.Request(EndSource::Logind, EndWindows::Allowed);
    EXPECT_EQ(Count(mci.sent, "set cd door open"), 1);
    EXPECT_EQ(quits, 0);
    machine.Confirmed(EndSource::Xsmp);
    EXPECT_EQ(quits, 1);
    EXPECT_EQ(host.Now(), bare);
}

// logind's delay: the trays first, then a countdown that fits in what is left (less a second
// for the hide and a margin), or none.
TEST_F(SessionEndTest, ACountdownFitsLogindsDelayOrIsNotShown) {
    Start({{'D', true, 1, 1, 1}});
    const struct {
        int delayMs;
        long long heldMs;  // the check's time on the program's clock
        int notifications;
    } cases[] = {{60000, 11000, 1}, {4600, 4000, 1}, {2400, 0, 0}};
    for (const auto& c : cases) {
        const int shown = Count(Lines(), "show frmMonitor");
        const long long start = host.Now();
        machine.Request(EndSource::Logind, EndWindows::Allowed,
                        SessionClock::now() + std::chrono::milliseconds(c.delayMs));
        EXPECT_EQ(host.Now() - start, c.heldMs) << c.delayMs;
        EXPECT_EQ(Count(Lines(), "show frmMonitor") - shown, c.notifications) << c.delayMs;
        // Closed by the notification's end; left open as ejected where none could show.
        EXPECT_EQ(mci.cds['D'].doorOpen, c.notifications == 0) << c.delayMs;
        machine.CalledOff(EndSource::Logind);
    }
    EXPECT_EQ(Count(mci.sent, "set cd door open"), 3) << "ejected first, every time";
}

// A click on the icon lets events run between its doors; a check that runs in between leaves
// the click nothing more to move.
TEST_F(SessionEndTest, ACheckDuringATrayClickEndsTheClicksDoorLoop) {
    Start({{'E', true, 1, 0, 1}, {'D', true, 1, 0, 1}});
    Drive('D').TrayToggle = Drive('E').TrayToggle = 1;
    host.Post([&] { Logout(EndWindows::None); });
    ToggleTrayDoors();
    EXPECT_EQ(Count(mci.sent, "set cd door open"), 2) << "the check's ejects, and no more";
    EXPECT_TRUE(mci.cds['D'].doorOpen);
    EXPECT_TRUE(mci.cds['E'].doorOpen);
}

// A disc whose tray stays shut (files open on the mounted disc) is listed but not ghosted,
// nothing is shown, and a click on it tries again.
TEST_F(SessionEndTest, ARefusedEjectIsListedUnghostedAndAClickTriesAgain) {
    Start({{'E', true, 1, 1, 1, "HOLIDAY"}, {'D', true, 1, 1, 1, "MY DATA"}});
    mci.cds['D'].ejectError = platform::kMciDiscInUse;
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
    Logout();

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
