// Tests of the advanced properties dialog.
#include <QAccessible>
#include <QTest>
#include <algorithm>
#include <tuple>
#include <vector>

#include "drives/modMain.h"
#include "properties/frmPropertiesAdvanced.h"
#include "support/window_fixture.h"

using namespace bm;
using namespace bm::modMain;
using bm::forms::FormRegistry;

namespace {

using Options = std::tuple<std::int32_t, VbBool, VbBool, VbBool>;

Options Current() {
    return {gWaitTime, gBeep, gShowMediaType, gShowDriveType};
}

class Advanced : public test::WindowFixture {
  protected:
    frmPropertiesAdvanced& Open() {
        auto& form = forms::Ref<frmPropertiesAdvanced>();
        form.Show();
        return form;
    }
    static bool IsLoaded() { return forms::Loaded<frmPropertiesAdvanced>() != nullptr; }
    long long Count(const std::string& line) {
        return std::count(Lines().begin(), Lines().end(), line);
    }
};

TEST_F(Advanced, OpensOnTheDefaultsAndLeavesThemAlone) {
    InitOptions();
    frmPropertiesAdvanced& form = Open();
    EXPECT_EQ(form.sldWait->value(), 10);
    EXPECT_EQ(form.lblWaitTime->text(), QStringLiteral("10 Seconds"));
    EXPECT_TRUE(form.chkBeep->isChecked());
    EXPECT_TRUE(form.optMediaLabel->isChecked());
    EXPECT_TRUE(form.optDriveType->isChecked());
    EXPECT_EQ(form.lblToolTipSample->text(), QStringLiteral("Office_95 in CD"));
    EXPECT_EQ(Current(), Options(10000, vbTrue, vbFalse, vbTrue));
    EXPECT_EQ(gAdvancedOpen, vbTrue);

    const QPalette& tip = form.lblToolTipSample->palette();
    EXPECT_EQ(tip.color(QPalette::Window), tip.color(QPalette::ToolTipBase));
    EXPECT_EQ(tip.color(QPalette::WindowText), tip.color(QPalette::ToolTipText));
    EXPECT_FALSE(form.cmdOkay->isDefault() || form.cmdOkay->autoDefault());
    EXPECT_FALSE(form.cmdCancel->isDefault() || form.cmdCancel->autoDefault());
}

TEST_F(Advanced, LoadingOtherOptionsShowsThemWithoutWritingAnyOnTheWay) {
    gWaitTime = 7000;
    gBeep = vbFalse;
    gShowMediaType = vbTrue;
    gShowDriveType = vbFalse;
    const Options before = Current();
    // Every signal that filling the controls raises, seen right after the dialog's own handler.
    std::vector<Options> seen;
    FormRegistry::Register(frmPropertiesAdvanced::kName, [&seen] {
        auto* form = new frmPropertiesAdvanced;
        const auto look = [&seen] { seen.push_back(Current()); };
        QObject::connect(form->sldWait, &QSlider::valueChanged, look);
        for (QAbstractButton* button : std::initializer_list<QAbstractButton*>{
                 form->chkBeep, form->optMediaType, form->optMediaLabel, form->optDriveType,
                 form->optDriveLetter}) {
            QObject::connect(button, &QAbstractButton::toggled, look);
        }
        return form;
    });
    frmPropertiesAdvanced& form = Open();
    EXPECT_FALSE(seen.empty());
    for (const Options& options : seen) {
        EXPECT_EQ(options, before);
    }
    EXPECT_EQ(Current(), before);
    EXPECT_EQ(form.sldWait->value(), 7);
    EXPECT_EQ(form.lblWaitTime->text(), QStringLiteral("7 Seconds"));
    EXPECT_FALSE(form.chkBeep->isChecked());
    EXPECT_EQ(form.lblToolTipSample->text(), QStringLiteral("Disc in (R:)"));
}

TEST_F(Advanced, EachChoiceSetsItsOptionAndTheSampleAtOnce) {
    InitOptions();
    frmPropertiesAdvanced& form = Open();
    const std::tuple<QRadioButton*, QRadioButton*, const char*> cases[] = {
        {form.optMediaType, form.optDriveType, "Disc in CD"},
        {form.optMediaType, form.optDriveLetter, "Disc in (R:)"},
        {form.optMediaLabel, form.optDriveType, "Office_95 in CD"},
        {form.optMediaLabel, form.optDriveLetter, "Office_95 in (R:)"}};
    for (const auto& [media, drive, sample] : cases) {
        QTest::mouseClick(media, Qt::LeftButton, {}, QPoint(4, media->height() / 2));
        QTest::mouseClick(drive, Qt::LeftButton, {}, QPoint(4, drive->height() / 2));
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

    // On the box itself: the widget may be wider than its box and caption.
    QTest::mouseClick(form.chkBeep, Qt::LeftButton, {}, QPoint(4, form.chkBeep->height() / 2));
    EXPECT_EQ(gBeep, vbFalse);
}

TEST_F(Advanced, TheSliderEndsByKeyboardAndByValue) {
    InitOptions();
    frmPropertiesAdvanced& form = Open();
    QTest::keyClick(form.sldWait, Qt::Key_End);
    EXPECT_EQ(form.lblWaitTime->text(), QStringLiteral("15 Seconds"));
    EXPECT_EQ(gWaitTime, 15000);
    QTest::keyClick(form.sldWait, Qt::Key_Home);
    EXPECT_EQ(form.lblWaitTime->text(), QStringLiteral("5 Seconds"));
    EXPECT_EQ(gWaitTime, 5000);

    form.sldWait->setValue(15);
    EXPECT_EQ(form.lblWaitTime->text(), QStringLiteral("15 Seconds"));
    EXPECT_EQ(gWaitTime, 15000);
    form.sldWait->setValue(5);
    EXPECT_EQ(form.lblWaitTime->text(), QStringLiteral("5 Seconds"));
    EXPECT_EQ(gWaitTime, 5000);

    // Dragging the thumb: the label follows the thumb.
    form.sldWait->setSliderDown(true);
    form.sldWait->setSliderPosition(8);
    EXPECT_EQ(form.lblWaitTime->text(), QStringLiteral("8 Seconds"));
    form.sldWait->setSliderDown(false);
    EXPECT_EQ(gWaitTime, 8000);
}

TEST_F(Advanced, ReopenedAfterOkItShowsTheChoicesAndChangesNothing) {
    InitOptions();
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

    frmPropertiesAdvanced& again = Open();
    EXPECT_EQ(gAdvancedOpen, vbTrue);
    EXPECT_EQ(Current(), chosen);
    EXPECT_FALSE(again.chkBeep->isChecked());
    EXPECT_EQ(again.lblWaitTime->text(), QStringLiteral("5 Seconds"));
    EXPECT_EQ(again.lblToolTipSample->text(), QStringLiteral("Disc in (R:)"));
}

TEST_F(Advanced, CancelRestoresTheDefaultsWhateverTheyWereBefore) {
    gWaitTime = 13000;
    gBeep = vbFalse;
    gShowMediaType = vbTrue;
    gShowDriveType = vbFalse;
    frmPropertiesAdvanced& form = Open();
    QTest::keyClick(form.sldWait, Qt::Key_End);
    form.optMediaLabel->click();
    QTest::mouseClick(form.cmdCancel, Qt::LeftButton);
    EXPECT_FALSE(IsLoaded());
    EXPECT_EQ(gAdvancedOpen, vbFalse);
    EXPECT_EQ(Current(), Options(10000, vbTrue, vbFalse, vbTrue));
    EXPECT_EQ(settings.Value("@", "5"), host.appPath);
    EXPECT_EQ(Count("hide frmPropertiesAdvanced"), 1);
}

TEST_F(Advanced, EscCancelsEnterPressesNothingTheCloseBoxKeepsTheChoices) {
    InitOptions();
    frmPropertiesAdvanced& form = Open();
    form.optDriveLetter->click();
    QTest::keyClick(form.cmdOkay, Qt::Key_Return);
    QTest::keyClick(form.sldWait, Qt::Key_Enter);
    EXPECT_TRUE(IsLoaded());
    EXPECT_EQ(gShowDriveType, vbFalse);

    // Esc from any control reaches the window: Cancel.
    QTest::keyClick(form.optDriveLetter, Qt::Key_Escape);
    EXPECT_FALSE(IsLoaded());
    EXPECT_EQ(gAdvancedOpen, vbFalse);
    EXPECT_EQ(gShowDriveType, vbTrue);

    frmPropertiesAdvanced& again = Open();
    again.optDriveLetter->click();
    again.close();
    EXPECT_FALSE(IsLoaded());
    EXPECT_EQ(Count("unload frmPropertiesAdvanced 0"), 1);
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

TEST_F(Advanced, AScreenReaderReadsEachControlWithItsCaption) {
    InitOptions();
    frmPropertiesAdvanced& form = Open();
    const auto name = [](QWidget* widget) {
        return QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name);
    };
    EXPECT_EQ(name(form.sldWait), QStringLiteral("Wait:"));
    EXPECT_EQ(name(form.optMediaLabel), QStringLiteral("Media Label"));
    EXPECT_EQ(name(form.cmdCancel), QStringLiteral("Cancel"));
    QAccessibleInterface* sample = QAccessible::queryAccessibleInterface(form.lblToolTipSample);
    EXPECT_EQ(sample->text(QAccessible::Name), QStringLiteral("Office_95 in CD"));
    const auto labels = sample->relations(QAccessible::Label);
    // Labelled by its caption (and by the frame around it).
    EXPECT_TRUE(std::any_of(labels.begin(), labels.end(), [&](const auto& label) {
        return label.first->object() == form.lblToolTip;
    }));
    form.optMediaType->click();
    EXPECT_EQ(sample->text(QAccessible::Name), QStringLiteral("Disc in CD"));
}

}  // namespace
