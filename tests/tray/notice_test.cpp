// The tooltip kept current from the machine's media notices, within its throttles, and no timer
// left running once it is.
#include <algorithm>

#include "drives/modMain.h"
#include "support/window_fixture.h"
#include "tray/frmSystemTray.h"

using namespace bm;
using namespace bm::modMain;

namespace {

class FakeNotices : public platform::MediaNotices {
  public:
    void Watch(std::function<void()> changed) override { changed_ = std::move(changed); }
    void Notify() const {
        if (changed_) {
            changed_();
        }
    }
    bool Watched() const { return static_cast<bool>(changed_); }

  private:
    std::function<void()> changed_;
};

class Notices : public test::WindowFixture {
  protected:
    void SetUp() override {
        WindowFixture::SetUp();
        platform::Install({&drives, &mci, &settings, &host, &shell, &windows, &notices});
    }
    frmSystemTray& Start() {
        InitOptions();
        EXPECT_TRUE(FindDrives());
        CloseAllDoors();
        return *forms::Loaded<frmSystemTray>();
    }
    int Modifies() const {
        return static_cast<int>(std::count_if(Lines().begin(), Lines().end(), [](const auto& l) {
            return l.rfind("NIM_MODIFY", 0) == 0;
        }));
    }
    void TakeOutDisc(char letter) {
        mci.cds[letter].disc = false;
        drives.drives[letter].medium = false;
    }
    FakeNotices notices;
};

TEST_F(Notices, RebuildTheTooltipOnceThrottleAndHoldOffAllowAndNeverLoseOne) {
    AddCd('R', true);
    drives.drives['R'].label = "HOLIDAY";
    AddCd('S', false);
    Start();
    ASSERT_TRUE(notices.Watched());
    EXPECT_EQ(shell.Tip(), "Bayminder");

    // Start-up has just probed R: within its hold-off the probe would see nothing new, so the
    // rebuild waits for the hold-off's end instead of showing the old state.
    notices.Notify();
    EXPECT_EQ(Modifies(), 0);
    host.Advance(1000);
    EXPECT_EQ(Modifies(), 1);
    EXPECT_EQ(shell.Tip(), "Holiday in CD");

    // Notices inside the rebuild's second: one rebuild when it ends, with what they told.
    host.Advance(300);
    TakeOutDisc('R');
    notices.Notify();
    AddCd('S', true);
    drives.drives['S'].label = "SUMMER";
    notices.Notify();
    EXPECT_EQ(Modifies(), 1);
    host.Advance(700);
    EXPECT_EQ(Modifies(), 2);
    EXPECT_EQ(shell.Tip(), "Summer in CD");

    // Then nothing runs until the machine speaks again.
    while (host.AdvanceToNextTimer(10000)) {
    }
    EXPECT_EQ(Modifies(), 2);
    notices.Notify();
    EXPECT_EQ(Modifies(), 3);

    // Pointer moves keep their own throttle, shared with the notices.
    shell.Send(platform::kWmMouseMove);
    EXPECT_EQ(Modifies(), 3);
}

TEST_F(Notices, BuiltAfterStartUpWaitWhileTheIconIsAwayAndStopWithTheWindow) {
    AddCd('R', true);
    frmSystemTray& tray = Start();
    host.Advance(1000);
    EXPECT_EQ(Modifies(), 1) << "the tip is built after start-up without a mouse message";
    tray.SessionEndCheck();  // the end of the session takes the icon away and ejects R
    notices.Notify();
    host.Advance(20000);
    EXPECT_EQ(Modifies(), 1);  // no icon, nothing to modify

    // Called off: the icon comes back, and so do the rebuilds.
    tray.RestoreIcon();
    host.Advance(10000);
    notices.Notify();
    host.Advance(10000);
    EXPECT_EQ(Modifies(), 2);

    forms::FormRegistry::Unload(tray, forms::vbFormCode);
    EXPECT_FALSE(notices.Watched());
}

}  // namespace
