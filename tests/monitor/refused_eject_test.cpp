// The end of the session with a disc whose tray stays shut (files open on the mounted disc): it is
// listed but not ghosted, nothing is shown, and a click on it tries again.
#include <memory>

#include "app/session_end.h"
#include "drives/modMain.h"
#include "monitor/frmMonitor.h"
#include "support/window_fixture.h"
#include "tray/frmSystemTray.h"

using namespace bm;
using namespace bm::modMain;
using bm::forms::FormRegistry;

namespace {

class RefusedEjectTest : public test::WindowFixture {
  protected:
    void SetUp() override {
        WindowFixture::SetUp();
        AddCd('E', true);
        AddCd('D', true);
        drives.drives['D'].label = "MY DATA";
        drives.drives['E'].label = "HOLIDAY";
        // Drive D's unmount is busy while `busy` holds; the script sees which drive is open.
        mci.script = [this](const std::string& cmd, std::string&) -> std::optional<int> {
            if (cmd.rfind("open ", 0) == 0) {
                open_ = cmd[5];
            }
            if (cmd == "set cd door open" && open_ == 'D' && busy) {
                return platform::kMciDiscInUse;
            }
            return std::nullopt;
        };
        InitOptions();
        ASSERT_TRUE(FindDrives());
        FormRegistry::SetMainReturned();
        for (char letter : {'D', 'E'}) {
            Drive(letter).Monitor = Drive(letter).Notify = Drive(letter).Eject = 1;
        }
        gBeep = vbFalse;
    }
    // Runs once, that many milliseconds into the wait for the notification.
    void During(int ms, std::function<void()> what) {
        auto timer = host.CreateTimer();
        platform::Timer* t = timer.get();
        t->SetInterval(ms);
        t->SetHandler([t, what = std::move(what)] {
            t->SetEnabled(false);
            what();
        });
        t->SetEnabled(true);
        timers_.push_back(std::move(timer));
    }
    static void Click(char letter) {
        frmMonitor& monitor = forms::Ref<frmMonitor>();
        const std::size_t index = static_cast<std::size_t>(
            std::find_if(gDrives.begin(), gDrives.end(),
                         [letter](const DriveRecord& d) { return d.Letter[0] == letter; }) -
            gDrives.begin());
        monitor.lvwDrive_ItemClick(monitor.lvwDrive->Find(Chr(static_cast<int>(index))));
    }

    bool busy = true;
    int quits = 0;
    app::SessionEnd sessionEnd{[this] { ++quits; }};

  private:
    char open_ = 0;
    std::vector<std::unique_ptr<platform::Timer>> timers_;
};

TEST_F(RefusedEjectTest, ARefusedEjectIsListedUnghostedAndAClickTriesAgain) {
    std::vector<std::string> atStart, afterBusyClick, afterClick;
    bool dOpenAfterBusyClick = true;
    During(2000, [&] {
        atStart = Items();
        Click('D');  // still busy: nothing moves, nothing is shown
        afterBusyClick = Items();
        dOpenAfterBusyClick = mci.cds['D'].doorOpen;
    });
    During(4000, [&] {
        busy = false;  // the user closed the file on the disc
        Click('D');
        afterClick = Items();
    });
    sessionEnd.Ending(platform::SessionEndSource::Xsmp);

    // Table order: E (index 0) then D. E's tray opened and is ghosted; D's stayed shut.
    EXPECT_EQ(atStart, (std::vector<std::string>{"Holiday (E:) ghosted", "My Data (D:)"}));
    EXPECT_EQ(afterBusyClick, atStart);
    EXPECT_FALSE(dOpenAfterBusyClick);
    EXPECT_TRUE(host.boxes.empty());  // the end of the session shows no fault, it traces it
    EXPECT_NE(std::find_if(Lines().begin(), Lines().end(),
                           [](const std::string& l) {
                               return l.rfind(
                                          "not shown: 48 \"Bayminder\" \"Bayminder cannot "
                                          "open the tray of drive D: (My Data).",
                                          0) == 0;
                           }),
              Lines().end());
    // The click that worked opened the tray; with the disc gone from the drive's status the
    // item left the list.
    EXPECT_EQ(afterClick, (std::vector<std::string>{"Holiday (E:) ghosted"}));
    EXPECT_EQ(quits, 0);  // the session manager ends the program, with Die
    sessionEnd.Die();
    EXPECT_EQ(quits, 1);
}

}  // namespace
