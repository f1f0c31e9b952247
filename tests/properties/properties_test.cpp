#include <QAccessible>
#include <QTest>
#include <algorithm>
#include <vector>

#include "drives/modMain.h"
#include "properties/frmProperties.h"
#include "support/window_fixture.h"

using namespace bm;
using namespace bm::modMain;
using bm::forms::FormRegistry;

namespace {

class Properties : public test::WindowFixture {
  protected:
    frmProperties& Open() {
        InitOptions();
        EXPECT_TRUE(FindDrives());
        frmProperties& dialog = forms::Ref<frmProperties>();
        dialog.Show();
        return dialog;
    }
};

// The CD drives' rules (E: ejecting only, D: both) are the desktop tests' part. The rules run
// on every change of a value: from code, from a click, from a screen reader's action.
TEST_F(Properties, TheFloppysRulesHoldHoweverAValueChangesAndClicksNeverGiveGreyed) {
    drives.drives['A'] = test::Disk(platform::kDriveRemovable, true);
    frmProperties& dialog = Open();
    // Eject and tray toggle disabled, and notify cannot be cleared.
    EXPECT_FALSE(dialog.chkEject->isEnabled());
    EXPECT_FALSE(dialog.chkTrayToggle->isEnabled());
    dialog.chkNotify->SetValue(0);
    EXPECT_EQ(dialog.chkNotify->Value(), 1);
    QAccessible::queryAccessibleInterface(dialog.chkNotify)
        ->actionInterface()
        ->doAction(QAccessibleActionInterface::toggleAction());
    EXPECT_EQ(dialog.chkNotify->Value(), 1);
    // Clearing the monitor box hides the two below it; their values stay.
    QAccessible::queryAccessibleInterface(dialog.chkMonitor)
        ->actionInterface()
        ->doAction(QAccessibleActionInterface::toggleAction());
    EXPECT_TRUE(dialog.fraNotEmpty->isHidden());
    EXPECT_EQ(dialog.chkNotify->Value(), 1);

    // Greyed, from a hand-edited file, shows and reads as such; clicks then give only 1 and 0.
    dialog.chkStatusToolTip->SetValue(2);
    const QAccessible::State greyed =
        QAccessible::queryAccessibleInterface(dialog.chkStatusToolTip)->state();
    EXPECT_TRUE(greyed.checkStateMixed && !greyed.checked);
    std::vector<int> seen;
    for (int click = 0; click < 3; ++click) {
        dialog.chkStatusToolTip->click();
        seen.push_back(dialog.chkStatusToolTip->Value());
    }
    EXPECT_EQ(seen, (std::vector<int>{1, 0, 1}));
}

// Cancel, Esc and OK are the desktop tests' part.
TEST_F(Properties, EnterPressesNothingAndTheCloseBoxKeepsTheChangesUnwritten) {
    AddCd('E', true);
    AddCd('D', true);
    frmProperties& dialog = Open();
    QApplication::setActiveWindow(&dialog);
    const int before = settings.writes;
    QTest::keyClick(&dialog, Qt::Key_Return);
    EXPECT_NE(FormRegistry::Find("frmProperties"), nullptr);
    dialog.chkStatusToolTip->SetValue(0);
    dialog.tabDrive->setCurrentIndex(1);
    dialog.close();
    EXPECT_EQ(FormRegistry::Find("frmProperties"), nullptr);
    EXPECT_EQ(gDrives[0].StatusToolTip, 0);
    EXPECT_EQ(settings.writes, before);
}

TEST_F(Properties, StatusLinesFollowTheDoorAndStopWhenHidden) {
    AddCd('D', true);
    frmProperties& dialog = Open();
    EXPECT_EQ(dialog.txtMediaStatus->text(), QStringLiteral("Unknown"));
    EXPECT_EQ(dialog.txtTrayStatus->text(), QStringLiteral("Unknown"));
    host.Advance(1000);
    EXPECT_EQ(dialog.txtMediaStatus->text(), QStringLiteral("Loaded"));
    EXPECT_EQ(dialog.txtTrayStatus->text(), QStringLiteral("Closed"));
    OpenDoor(gDrives[0]);
    host.Advance(1000);
    EXPECT_EQ(dialog.txtTrayStatus->text().left(4), QStringLiteral("Open"));
    EXPECT_EQ(dialog.txtMediaStatus->text(), QStringLiteral("Empty"));
    dialog.Hide();
    dialog.txtMediaStatus->setText(QStringLiteral("x"));
    host.Advance(1000);
    EXPECT_EQ(dialog.txtMediaStatus->text(), QStringLiteral("x"));
}

// How often the floppy is probed is the door tests' part.
TEST_F(Properties, TheFloppyShowsNoTrayLine) {
    drives.drives['A'] = test::Disk(platform::kDriveRemovable, true);
    frmProperties& dialog = Open();
    host.Advance(1000);
    EXPECT_EQ(dialog.txtMediaStatus->text(), QStringLiteral("Loaded"));
    EXPECT_TRUE(dialog.txtTrayStatus->isHidden());
}

TEST_F(Properties, ATickSeesTabSwitchesCloseAndTheAdvancedDialogInsideTheRefresh) {
    AddCd('E', true);
    AddCd('D', false);
    frmProperties& dialog = Open();
    // A tab switch inside the refresh: the tick shows the newly selected drive.
    host.Post([&] { dialog.tabDrive->setCurrentIndex(1); });
    host.Advance(1000);
    EXPECT_EQ(dialog.txtMediaStatus->text(), QStringLiteral("Empty"));

    // The advanced dialog opened from elsewhere disables the button within one tick.
    modMain::gAdvancedOpen = vbTrue;
    host.Advance(1000);
    EXPECT_FALSE(dialog.cmdAdvanced->isEnabled());
    modMain::gAdvancedOpen = vbFalse;
    host.Advance(1000);
    EXPECT_TRUE(dialog.cmdAdvanced->isEnabled());

    // Cancel inside the refresh: the tick ends without touching the gone dialog.
    host.Post([&] { dialog.cmdCancel->click(); });
    host.Advance(1000);
    EXPECT_EQ(FormRegistry::Find("frmProperties"), nullptr);
    host.Advance(2000);
}

TEST_F(Properties, AStoreThatFailsOnOkIsToldAndNothingCrashes) {
    AddCd('E', true);
    AddCd('D', true);
    frmProperties& dialog = Open();
    dialog.chkStatusToolTip->SetValue(0);
    settings.failAfterWrites = 8;  // the first drive saves, the second fails
    dialog.cmdOkay->click();
    EXPECT_EQ(settings.Value("E", "7"), "0");
    ASSERT_EQ(host.boxes.size(), 1U);
    EXPECT_EQ(host.boxes[0].style, 48);
    EXPECT_NE(host.boxes[0].prompt.find("Bayminder.ini: Permission denied"), std::string::npos);
    EXPECT_EQ(FormRegistry::Find("frmProperties"), nullptr);
}

}  // namespace
