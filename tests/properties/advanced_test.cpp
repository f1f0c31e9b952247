// Tests of the advanced properties dialog; its captions and the keyboard on the slider are the
// desktop tests' part.
#include <QApplication>
#include <QTest>
#include <algorithm>
#include <tuple>

#include "drives/modMain.h"
#include "properties/frmPropertiesAdvanced.h"
#include "support/window_fixture.h"

using namespace bm;
using namespace bm::modMain;

namespace {

using Options = std::tuple<std::int32_t, VbBool, VbBool, VbBool>;
const Options kDefaults(10000, vbTrue, vbFalse, vbTrue);

Options Current() {
    return {gWaitTime, gBeep, gShowMediaType, gShowDriveType};
}

class Advanced : public test::WindowFixture {
  protected:
    // Opened on the given options, or on the defaults.
    frmPropertiesAdvanced& Open(const Options& options = kDefaults) {
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

TEST_F(Advanced, EachChoiceSetsItsOptionAndTheSampleAtOnce) {
    frmPropertiesAdvanced& form = Open();
    EXPECT_EQ(form.lblToolTipSample->text(), QStringLiteral("Office_95 in CD"));
    EXPECT_EQ(gAdvancedOpen, vbTrue);
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
    // The arrow keys move the choice within a group, as the mouse does.
    QCoreApplication::processEvents();  // the window becomes active
    form.optMediaLabel->setFocus();
    ASSERT_EQ(QApplication::focusWidget(), form.optMediaLabel);
    QTest::keyClick(form.optMediaLabel, Qt::Key_Up);
    EXPECT_EQ(gShowMediaType, vbTrue);
    EXPECT_EQ(form.lblToolTipSample->text(), QStringLiteral("Disc in (R:)"));
    ClickBox(form.chkBeep);
    EXPECT_EQ(gBeep, vbFalse);
}

TEST_F(Advanced, LoadingOtherOptionsShowsThemWithoutChangingThem) {
    const Options other(7000, vbFalse, vbTrue, vbFalse);
    frmPropertiesAdvanced& form = Open(other);
    EXPECT_EQ(Current(), other);
    EXPECT_EQ(form.sldWait->value(), 7);
    EXPECT_EQ(form.lblWaitTime->text(), QStringLiteral("7 Seconds"));
    EXPECT_FALSE(form.chkBeep->isChecked());
    EXPECT_EQ(form.lblToolTipSample->text(), QStringLiteral("Disc in (R:)"));
}

TEST_F(Advanced, TheLabelFollowsTheThumbAndTheWaitTheValue) {
    frmPropertiesAdvanced& form = Open();
    QTest::keyClick(form.sldWait, Qt::Key_Home);
    EXPECT_EQ(form.lblWaitTime->text(), QStringLiteral("5 Seconds"));
    EXPECT_EQ(gWaitTime, 5000);
    form.sldWait->setValue(15);
    EXPECT_EQ(form.lblWaitTime->text(), QStringLiteral("15 Seconds"));
    EXPECT_EQ(gWaitTime, 15000);
    form.sldWait->setSliderDown(true);
    form.sldWait->setSliderPosition(8);
    EXPECT_EQ(form.lblWaitTime->text(), QStringLiteral("8 Seconds"));
    form.sldWait->setSliderDown(false);
    EXPECT_EQ(gWaitTime, 8000);
}

TEST_F(Advanced, OkKeepsTheChoicesAndCancelRestoresTheDefaultsWhateverTheyWere) {
    frmPropertiesAdvanced& form = Open();
    form.optMediaType->click();
    form.optDriveLetter->click();
    form.chkBeep->click();
    QTest::keyClick(form.sldWait, Qt::Key_Home);
    QTest::mouseClick(form.cmdOkay, Qt::LeftButton);
    EXPECT_FALSE(IsLoaded());
    EXPECT_EQ(gAdvancedOpen, vbFalse);
    const Options chosen(5000, vbFalse, vbTrue, vbFalse);
    EXPECT_EQ(Current(), chosen);
    EXPECT_LT(std::find(Lines().begin(), Lines().end(), "hide frmPropertiesAdvanced"),
              std::find(Lines().begin(), Lines().end(), "unload frmPropertiesAdvanced 1"));

    frmPropertiesAdvanced& again = Open(chosen);
    EXPECT_EQ(Current(), chosen);
    EXPECT_EQ(again.lblWaitTime->text(), QStringLiteral("5 Seconds"));
    QTest::keyClick(again.sldWait, Qt::Key_End);
    again.optMediaLabel->click();
    QTest::mouseClick(again.cmdCancel, Qt::LeftButton);
    EXPECT_FALSE(IsLoaded());
    EXPECT_EQ(gAdvancedOpen, vbFalse);
    EXPECT_EQ(Current(), kDefaults);
    EXPECT_EQ(settings.Value("@", "5"), host.appPath);
}

TEST_F(Advanced, EscCancelsEnterPressesNothingTheCloseBoxKeepsTheChoices) {
    frmPropertiesAdvanced& form = Open();
    form.optDriveLetter->click();
    QTest::keyClick(form.cmdOkay, Qt::Key_Return);
    QTest::keyClick(form.sldWait, Qt::Key_Enter);
    EXPECT_TRUE(IsLoaded());
    EXPECT_EQ(gShowDriveType, vbFalse);
    // Esc from any control of the active window: Cancel.
    QApplication::setActiveWindow(&form);
    QTest::keyClick(form.optDriveLetter, Qt::Key_Escape);
    EXPECT_FALSE(IsLoaded());
    EXPECT_EQ(gShowDriveType, vbTrue);

    frmPropertiesAdvanced& again = Open();
    again.optDriveLetter->click();
    again.close();
    EXPECT_FALSE(IsLoaded());
    EXPECT_EQ(std::count(Lines().begin(), Lines().end(), "unload frmPropertiesAdvanced 0"), 1);
    EXPECT_EQ(gAdvancedOpen, vbFalse);
    EXPECT_EQ(gShowDriveType, vbFalse);
}

TEST_F(Advanced, ThePreloadAtStartUpLeavesTheOptionsAndTheFlagAlone) {
    gWaitTime = 7000;
    gBeep = vbFalse;
    gPreloading = vbTrue;
    windows.Load(frmPropertiesAdvanced::kName);
    EXPECT_EQ(gAdvancedOpen, vbFalse);
    windows.Unload(frmPropertiesAdvanced::kName);
    gPreloading = vbFalse;
    EXPECT_FALSE(IsLoaded());
    EXPECT_EQ(gAdvancedOpen, vbFalse);
    EXPECT_EQ(gWaitTime, 7000);
    EXPECT_EQ(gBeep, vbFalse);
}

}  // namespace
