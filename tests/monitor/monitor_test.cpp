#include "monitor/frmMonitor.h"

#include <QLineEdit>
#include <QTest>
#include <algorithm>

#include "drives/modMain.h"
#include "support/window_fixture.h"
#include "tray/frmSystemTray.h"

using namespace bm;
using namespace bm::modMain;
using bm::forms::FormRegistry;

namespace {

class MonitorTest : public test::WindowFixture {
  protected:
    void SetUp() override {
        WindowFixture::SetUp();
        AddCd('F', true);         // index 0: its key is the character with code 0
        AddCd('E', true);         // index 1
        AddCd('D', true, false);  // index 2: no door command works
        InitOptions();
        ASSERT_TRUE(FindDrives());
        ASSERT_EQ(gDrives.size(), 3U);
    }
    // The notification as the end of the session fills it, shown, its countdown not started.
    frmMonitor& Open() {
        frmMonitor& monitor = forms::Ref<frmMonitor>();
        CloseAllDoors();
        for (std::size_t i = 0; i < gDrives.size(); ++i) {
            monitor.lvwDrive->Add(Chr(static_cast<int>(i)), gDrives[i].Letter, gDrives[i].DriveType,
                                  gDrives[i].DriveType);
        }
        monitor.Show();
        // Past the status timers of the start, so the next refresh probes.
        host.Advance(1000);
        return monitor;
    }
    static QListWidgetItem* Item(frmMonitor& monitor, int index) {
        return monitor.lvwDrive->Find(Chr(index));
    }
};

TEST_F(MonitorTest, CountsDownWithNineBeepsThenTheAsteriskClosesTheDoorsAndHidesASecondLater) {
    frmMonitor& monitor = Open();
    mci.cds['E'].doorOpen = true;
    EXPECT_EQ(monitor.prgTimeout->value(), 10000);
    EXPECT_FALSE(monitor.prgTimeout->text().contains(QLatin1Char('%')));
    monitor.tmrTick->SetEnabled(true);

    host.Advance(9000);
    EXPECT_EQ(shell.beeps, std::vector<int>(9, 0));
    EXPECT_EQ(monitor.prgTimeout->value(), 1000);
    EXPECT_TRUE(mci.cds['E'].doorOpen);
    host.Advance(1000);
    EXPECT_EQ(shell.beeps.size(), 10U);
    EXPECT_EQ(shell.beeps.back(), 64);
    EXPECT_FALSE(monitor.tmrTick->Enabled());
    EXPECT_FALSE(mci.cds['E'].doorOpen);
    // Not at once: a second later.
    host.Advance(999);
    EXPECT_TRUE(monitor.Visible());
    host.Advance(1);
    EXPECT_FALSE(monitor.Visible());
    // Hidden, not unloaded; no beep after the end.
    EXPECT_EQ(forms::Loaded<frmMonitor>(), &monitor);
    host.Advance(5000);
    EXPECT_EQ(shell.beeps.size(), 10U);
}

TEST_F(MonitorTest, OkStopsTheCountdownAtOnceAndAWaitOfPartSecondsStillEnds) {
    frmMonitor& monitor = Open();
    monitor.tmrTick->SetEnabled(true);
    host.Advance(3500);
    QTest::mouseClick(monitor.cmdOkay, Qt::LeftButton);
    EXPECT_FALSE(monitor.tmrTick->Enabled());
    host.Advance(500);
    EXPECT_TRUE(monitor.Visible());
    host.Advance(500);
    EXPECT_FALSE(monitor.Visible());
    host.Advance(10000);
    EXPECT_EQ(shell.beeps, std::vector<int>(3, 0));
    EXPECT_EQ(monitor.prgTimeout->value(), 7000);

    // Silent this time, and 2.5 s: no beep, and the end still comes.
    FormRegistry::Unload(monitor);
    shell.beeps.clear();
    gBeep = vbFalse;
    gWaitTime = 2500;
    frmMonitor& again = Open();
    again.tmrTick->SetEnabled(true);
    host.Advance(4000);
    EXPECT_TRUE(shell.beeps.empty());
    EXPECT_FALSE(again.Visible());
}

TEST_F(MonitorTest, TheCloseBoxAnswersAsOkAndAnUnloadWaitsUntilHidden) {
    frmMonitor& monitor = Open();
    monitor.tmrTick->SetEnabled(true);
    const long long start = host.Now();
    monitor.close();
    EXPECT_FALSE(monitor.tmrTick->Enabled());
    EXPECT_TRUE(monitor.Visible());

    // The end of the session is held until the window hides.
    EXPECT_TRUE(FormRegistry::Unload(monitor, forms::vbAppWindows));
    EXPECT_EQ(host.Now() - start, 1000);
    EXPECT_EQ(forms::Loaded<frmMonitor>(), nullptr);
}

TEST_F(MonitorTest, ClicksOpenAndGhostCloseAndShowAgainAndDropDrivesWithoutMedia) {
    frmMonitor& monitor = Open();

    // Probed just before, as the end of the session does: the open keeps the media status.
    RefreshDriveStatus(gDrives[0]);
    monitor.lvwDrive_ItemClick(Item(monitor, 0));
    EXPECT_TRUE(mci.cds['F'].doorOpen);
    EXPECT_FALSE(mci.cds['E'].doorOpen);
    EXPECT_EQ(Items(), (std::vector<std::string>{"F ghosted", "E", "D"}));

    host.Advance(1000);
    monitor.lvwDrive_ItemClick(Item(monitor, 0));
    EXPECT_FALSE(mci.cds['F'].doorOpen);
    EXPECT_EQ(Items(), (std::vector<std::string>{"F", "E", "D"}));

    // Opened with a fresh probe: the open drive reports no media and leaves the list.
    host.Advance(1000);
    monitor.lvwDrive_ItemClick(Item(monitor, 1));
    EXPECT_TRUE(mci.cds['E'].doorOpen);
    EXPECT_EQ(Items(), (std::vector<std::string>{"F", "D"}));

    // No door command: a refresh only, and the item goes once the disc has.
    monitor.lvwDrive_ItemClick(Item(monitor, 2));
    EXPECT_EQ(Items(), (std::vector<std::string>{"F", "D"}));
    mci.cds['D'].disc = false;
    host.Advance(1000);
    monitor.lvwDrive_ItemClick(Item(monitor, 2));
    EXPECT_EQ(Items(), (std::vector<std::string>{"F"}));
    EXPECT_FALSE(mci.cds['D'].doorOpen);
    EXPECT_TRUE(monitor.Visible());
}

TEST_F(MonitorTest, AMouseClickOnAnItemActsAndLeavesNothingSelected) {
    frmMonitor& monitor = Open();
    ListView& list = *monitor.lvwDrive;
    RefreshDriveStatus(gDrives[0]);
    list.doItemsLayout();
    const QRect place = list.visualItemRect(Item(monitor, 0));
    ASSERT_FALSE(place.isEmpty());
    QTest::mouseClick(list.viewport(), Qt::LeftButton, Qt::NoModifier, place.center());
    EXPECT_TRUE(mci.cds['F'].doorOpen);
    EXPECT_TRUE(ListView::Ghosted(Item(monitor, 0)));
    EXPECT_TRUE(list.selectedItems().isEmpty());
}

TEST_F(MonitorTest, ItemTextsCannotBeEdited) {
    frmMonitor& monitor = Open();
    ListView& list = *monitor.lvwDrive;
    list.setCurrentItem(Item(monitor, 1));
    QTest::keyClick(&list, Qt::Key_F2);
    EXPECT_EQ(list.viewport()->findChild<QLineEdit*>(), nullptr);
    EXPECT_EQ(Item(monitor, 1)->text(), QStringLiteral("E"));

    // The same key does edit a list whose handler lets it.
    ListView free;
    free.BeforeLabelEdit = [](std::int16_t&) {};
    free.setCurrentItem(free.Add("k", "text", 1, 1));
    free.show();
    QTest::keyClick(&free, Qt::Key_F2);
    EXPECT_NE(free.viewport()->findChild<QLineEdit*>(), nullptr);
}

TEST_F(MonitorTest, WhilePreloadingTheLoadDoesNothing) {
    gPreloading = vbTrue;
    frmMonitor& monitor = forms::Ref<frmMonitor>();
    EXPECT_NE(monitor.prgTimeout->maximum(), gWaitTime);
    EXPECT_TRUE(monitor.lvwDrive->Add("k", "D", 3, 3)->icon().isNull());
    FormRegistry::Unload(monitor);
    gPreloading = vbFalse;
    frmMonitor& loaded = forms::Ref<frmMonitor>();
    EXPECT_EQ(loaded.prgTimeout->maximum(), gWaitTime);
    EXPECT_FALSE(loaded.lvwDrive->Add("k", "D", 3, 3)->icon().isNull());
    EXPECT_FALSE(loaded.tmrTick->Enabled());
    EXPECT_FALSE(loaded.tmrUnload->Enabled());
}

using ListViewTest = test::WindowFixture;

TEST_F(ListViewTest, KeysAreBytesAndGhostedPicturesAreDimmed) {
    forms::ImageList large(32);
    forms::ImageList small(16);
    for (int type = 1; type <= 3; ++type) {
        large.Add(forms::DriveIcon(type));
        small.Add(forms::DriveIcon(type));
    }
    ListView list;
    list.SetImageLists(&large, &small);
    const std::string nul(1, '\0');
    QListWidgetItem* first = list.Add(nul, "Holiday (D:)", 3, 3);
    list.Add(std::string(2, '\0'), "two", 2, 2);
    list.Add("", "empty", 1, 1);
    EXPECT_EQ(list.Find(nul), first);
    EXPECT_EQ(list.Find(std::string(2, '\0'))->text(), QStringLiteral("two"));
    EXPECT_EQ(list.Find("")->text(), QStringLiteral("empty"));

    const QImage normal = first->icon().pixmap(32, 32).toImage();
    ASSERT_FALSE(normal.isNull());
    list.SetGhosted(first, true);
    EXPECT_TRUE(ListView::Ghosted(first));
    EXPECT_NE(first->icon().pixmap(32, 32).toImage(), normal);
    list.SetGhosted(first, false);
    EXPECT_EQ(first->icon().pixmap(32, 32).toImage(), normal);

    // A key taken already is replaced; removal goes by key.
    list.Add(nul, "again", 3, 3);
    EXPECT_EQ(list.Count(), 3);
    EXPECT_EQ(list.Find(nul)->text(), QStringLiteral("again"));
    list.Remove(nul);
    list.Remove("missing");
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(list.Find(nul), nullptr);
}

}  // namespace
