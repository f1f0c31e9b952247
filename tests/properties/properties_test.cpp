// The properties dialogs. Their captions and keyboard, Esc, the drive dialog's OK and Cancel,
// and each kind of drive's rules as a screen reader meets them are the desktop tests' part.
#include <QTest>
#include <tuple>

#include "properties/frmProperties.h"
#include "properties/frmPropertiesAdvanced.h"
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

// The rules run on every change of a value, from code too, not only on a click.
TEST_F(Properties, TheRulesHoldWhenCodeSetsAValueTheMonitorBoxHidesTheTwoBelowItNoClickGivesGrey) {
    drives.drives['A'] = {platform::kDriveRemovable, true};
    frmProperties& dialog = Open();
    dialog.chkNotify->SetValue(0);
    EXPECT_EQ(dialog.chkNotify->Value(), 1);
    dialog.chkMonitor->SetValue(0);
    EXPECT_TRUE(dialog.fraNotEmpty->isHidden());
    EXPECT_EQ(dialog.chkNotify->Value(), 1);  // their values stay
    dialog.chkStatusToolTip->SetValue(2);     // greyed, from a hand-edited file
    for (const int value : {1, 0, 1}) {
        dialog.chkStatusToolTip->click();
        EXPECT_EQ(dialog.chkStatusToolTip->Value(), value);
    }
}

TEST_F(Properties, EnterPressesNothingTheCloseBoxWritesNothingAndAFailedStoreIsTold) {
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

    frmProperties& again = forms::Ref<frmProperties>();
    again.Show();
    again.chkStatusToolTip->SetValue(0);
    settings.failAfterWrites = 8;  // the first drive saves, the second fails
    again.cmdOkay->click();
    EXPECT_EQ(settings.Value("E", "7"), "0");
    ASSERT_EQ(host.boxes.size(), 1U);
    EXPECT_EQ(host.boxes[0].style, 48);
    EXPECT_NE(host.boxes[0].prompt.find("Bayminder.ini: Permission denied"), std::string::npos);
    EXPECT_EQ(FormRegistry::Find("frmProperties"), nullptr);
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

TEST_F(Properties, ATickSeesTabSwitchesCloseAndTheAdvancedDialogInsideTheRefresh) {
    AddCd('E', true);
    AddCd('D', false);
    frmProperties& dialog = Open();
    // A tab switch inside the refresh: the tick shows the newly selected drive.
    host.Post([&] { dialog.tabDrive->setCurrentIndex(1); });
    host.Advance(1000);
    EXPECT_EQ(dialog.txtMediaStatus->text(), QStringLiteral("Empty"));

    // The advanced dialog opened from elsewhere disables the button within one tick.
    gAdvancedOpen = vbTrue;
    host.Advance(1000);
    EXPECT_FALSE(dialog.cmdAdvanced->isEnabled());
    gAdvancedOpen = vbFalse;
    host.Advance(1000);
    EXPECT_TRUE(dialog.cmdAdvanced->isEnabled());

    // Cancel inside the refresh: the tick ends without touching the gone dialog.
    host.Post([&] { dialog.cmdCancel->click(); });
    host.Advance(1000);
    EXPECT_EQ(FormRegistry::Find("frmProperties"), nullptr);
    host.Advance(2000);
}

// A drive plugged in or pulled while the dialog is up: a tab in its place, a tab marked gone,
// no edit lost, and Cancel and OK reach every drive, the new one too.
TEST_F(Properties, DrivesComingAndGoingWhileOpenGetTheirTabsAndLoseNoEdit) {
    test::FakeDriveSet set{drives, mci};
    platform::Install({&drives, &mci, &settings, &host, &shell, &windows, nullptr, &set});
    set.Attach("int", platform::kDriveCdRom, 'D');
    set.Attach("stick", platform::kDriveRemovable, 'F');
    frmProperties& dialog = Open();
    const auto tabs = [&dialog] {
        QStringList texts;
        for (int i = 0; i < dialog.tabDrive->count(); ++i) {
            texts << dialog.tabDrive->tabText(i);
        }
        return texts.join(QLatin1Char(' ')).toStdString() + " shown " +
               dialog.tabDrive->tabText(dialog.tabDrive->currentIndex()).toStdString();
    };
    dialog.chkMonitor->SetValue(1);  // on the stick's tab, not saved
    set.Attach("usb", platform::kDriveCdRom, 'E');
    FollowMachine();
    EXPECT_EQ(tabs(), "(F:) (E:) (D:) shown (F:)");
    EXPECT_EQ(dialog.chkMonitor->Value(), 1);
    set.Detach("int");
    FollowMachine();
    EXPECT_EQ(tabs(), "(F:) (E:) (D:) gone shown (F:)");
    dialog.tabDrive->setCurrentIndex(2);
    host.Advance(1000);
    EXPECT_EQ(dialog.txtMediaStatus->text(), QStringLiteral("Drive removed"));
    dialog.chkMonitor->SetValue(0);
    dialog.tabDrive->setCurrentIndex(1);
    dialog.chkEject->SetValue(0);

    mci.sent.clear();
    dialog.cmdCancel->click();
    EXPECT_EQ(Drive('F').Monitor, 0);
    EXPECT_EQ(Drive('D').Monitor, 1);
    EXPECT_EQ(Drive('E').Eject, 1);
    EXPECT_TRUE(mci.sent.empty());  // stored values, nothing asked

    frmProperties& again = forms::Ref<frmProperties>();
    again.Show();
    again.tabDrive->setCurrentIndex(1);
    again.chkEject->SetValue(0);
    again.tabDrive->setCurrentIndex(2);
    again.chkMonitor->SetValue(0);
    again.cmdOkay->click();
    EXPECT_EQ(settings.Value("E", "3"), "0");
    EXPECT_EQ(settings.Value("D", "2"), "0");
    EXPECT_TRUE(host.boxes.empty());
}

using Options = std::tuple<std::int32_t, VbBool, VbBool, VbBool>;

Options Current() {
    return {gWaitTime, gBeep, gShowMediaType, gShowDriveType};
}

class Advanced : public test::WindowFixture {
  protected:
    // Opened on the given options, or on the defaults.
    frmPropertiesAdvanced& Open(const Options& options = {10000, vbTrue, vbFalse, vbTrue}) {
        std::tie(gWaitTime, gBeep, gShowMediaType, gShowDriveType) = options;
        auto& form = forms::Ref<frmPropertiesAdvanced>();
        form.Show();
        return form;
    }
    static bool IsLoaded() { return forms::Loaded<frmPropertiesAdvanced>() != nullptr; }
    static void ClickBox(QAbstractButton* button) {
        // On the box itself: the widget may be wider than its box and caption.
        QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(4, button->height() / 2));
    }
};

TEST_F(Advanced, ShowsTheOptionsUnchangedEachChoiceSetsItsOptionAndTheCloseBoxKeepsThem) {
    const Options other(7000, vbFalse, vbTrue, vbFalse);
    frmPropertiesAdvanced& form = Open(other);
    EXPECT_EQ(Current(), other);
    EXPECT_EQ(gAdvancedOpen, vbTrue);
    EXPECT_EQ(form.sldWait->value(), 7);
    EXPECT_EQ(form.lblWaitTime->text(), QStringLiteral("7 Seconds"));
    EXPECT_FALSE(form.chkBeep->isChecked());
    EXPECT_EQ(form.lblToolTipSample->text(), QStringLiteral("Disc in (R:)"));
    const std::tuple<QRadioButton*, QRadioButton*, const char*> cases[] = {
        {form.optMediaType, form.optDriveType, "Disc in CD"},
        {form.optMediaType, form.optDriveLetter, "Disc in (R:)"},
        {form.optMediaLabel, form.optDriveType, "Office_95 in CD"},
        {form.optMediaLabel, form.optDriveLetter, "Office_95 in (R:)"}};
    for (const auto& [media, drive, sample] : cases) {
        ClickBox(media);
        ClickBox(drive);
        EXPECT_EQ(form.lblToolTipSample->text(), QString::fromLatin1(sample));
        EXPECT_EQ(gShowMediaType, ToVb(media == form.optMediaType)) << sample;
        EXPECT_EQ(gShowDriveType, ToVb(drive == form.optDriveType)) << sample;
    }
    ClickBox(form.chkBeep);
    EXPECT_EQ(gBeep, vbTrue);

    // Enter presses nothing; the close box keeps the choices.
    QTest::keyClick(form.cmdOkay, Qt::Key_Return);
    QTest::keyClick(form.sldWait, Qt::Key_Enter);
    EXPECT_TRUE(IsLoaded());
    form.close();
    EXPECT_FALSE(IsLoaded());
    EXPECT_EQ(Count(Lines(), "unload frmPropertiesAdvanced 0"), 1);
    EXPECT_EQ(gAdvancedOpen, vbFalse);
    EXPECT_EQ(Current(), Options(7000, vbTrue, vbFalse, vbFalse));
}

TEST_F(Advanced, TheWaitFollowsTheSliderOkKeepsTheChoicesAndCancelRestoresTheDefaults) {
    frmPropertiesAdvanced& form = Open();
    form.sldWait->setValue(15);
    EXPECT_EQ(form.lblWaitTime->text(), QStringLiteral("15 Seconds"));
    EXPECT_EQ(gWaitTime, 15000);
    form.optMediaType->click();
    form.optDriveLetter->click();
    form.chkBeep->click();
    QTest::keyClick(form.sldWait, Qt::Key_Home);
    QTest::mouseClick(form.cmdOkay, Qt::LeftButton);
    EXPECT_FALSE(IsLoaded());
    EXPECT_EQ(gAdvancedOpen, vbFalse);
    EXPECT_EQ(Current(), Options(5000, vbFalse, vbTrue, vbFalse));
    EXPECT_LT(std::find(Lines().begin(), Lines().end(), "hide frmPropertiesAdvanced"),
              std::find(Lines().begin(), Lines().end(), "unload frmPropertiesAdvanced 1"));
    Open(Current()).cmdCancel->click();
    EXPECT_FALSE(IsLoaded());
    EXPECT_EQ(Current(), Options(10000, vbTrue, vbFalse, vbTrue));
}

}  // namespace
