// The notification on its own; the end of the session that fills and shows it is the session end
// tests' part.
#include "monitor/frmMonitor.h"

#include <QLineEdit>
#include <QTest>

#include "support/window_fixture.h"

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
};

// The whole countdown is the session end tests' part.
TEST_F(MonitorTest, OkAndTheCloseBoxStopTheCountdownCloseTheDoorsAndHideASecondLater) {
    const std::function<void(frmMonitor&)> answers[] = {
        [](frmMonitor& m) { QTest::mouseClick(m.cmdOkay, Qt::LeftButton); },
        [](frmMonitor& m) { m.close(); },
    };
    for (const auto& answer : answers) {
        frmMonitor& monitor = Open();
        shell.beeps.clear();
        mci.cds['E'].doorOpen = true;
        EXPECT_EQ(monitor.prgTimeout->text(), QStringLiteral("10 s"));
        monitor.tmrTick->SetEnabled(true);
        host.Advance(3500);
        answer(monitor);
        EXPECT_FALSE(monitor.tmrTick->Enabled());
        EXPECT_FALSE(mci.cds['E'].doorOpen);
        EXPECT_TRUE(monitor.Visible());
        // The end of the session is held until the window hides.
        const long long answered = host.Now();
        EXPECT_TRUE(FormRegistry::Unload(monitor, forms::vbAppWindows));
        EXPECT_EQ(host.Now() - answered, 1000);
        EXPECT_EQ(shell.beeps, std::vector<int>(3, 0));
    }

    // Silent this time, and 2.5 s: no beep, and the end still comes.
    shell.beeps.clear();
    gBeep = vbFalse;
    gWaitTime = 2500;
    frmMonitor& again = Open();
    again.tmrTick->SetEnabled(true);
    host.Advance(1000);
    EXPECT_EQ(again.prgTimeout->text(), QStringLiteral("2 s"));
    host.Advance(3000);
    EXPECT_TRUE(shell.beeps.empty());
    EXPECT_FALSE(again.Visible());
    EXPECT_FALSE(again.tmrUnload->Enabled()) << "hidden: the hide's timer stops";
}

TEST_F(MonitorTest, ClicksOpenAndGhostCloseAndShowAgainAndDropDrivesWithoutMedia) {
    frmMonitor& monitor = Open();
    ListView& list = *monitor.lvwDrive;

    // A mouse click, probed just before as the end of the session does: the open keeps the media
    // status, and nothing is left selected.
    RefreshDriveStatus(gDrives[0]);
    list.doItemsLayout();
    const QRect place = list.visualItemRect(Item(0));
    ASSERT_FALSE(place.isEmpty());
    QTest::mouseClick(list.viewport(), Qt::LeftButton, Qt::NoModifier, place.center());
    EXPECT_TRUE(mci.cds['F'].doorOpen);
    EXPECT_FALSE(mci.cds['E'].doorOpen);
    EXPECT_TRUE(list.selectedItems().isEmpty());
    EXPECT_EQ(Items(), (std::vector<std::string>{"F ghosted", "E", "D"}));

    host.Advance(1000);
    monitor.lvwDrive_ItemClick(Item(0));
    EXPECT_FALSE(mci.cds['F'].doorOpen);
    EXPECT_EQ(Items(), (std::vector<std::string>{"F", "E", "D"}));

    // Opened with a fresh probe: the open drive reports no media and leaves the list.
    host.Advance(1000);
    monitor.lvwDrive_ItemClick(Item(1));
    EXPECT_TRUE(mci.cds['E'].doorOpen);
    EXPECT_EQ(Items(), (std::vector<std::string>{"F", "D"}));

    // No door command: a refresh only, and the item goes once the disc has.
    monitor.lvwDrive_ItemClick(Item(2));
    EXPECT_EQ(Items(), (std::vector<std::string>{"F", "D"}));
    mci.cds['D'].disc = false;
    host.Advance(1000);
    monitor.lvwDrive_ItemClick(Item(2));
    EXPECT_EQ(Items(), (std::vector<std::string>{"F"}));
    EXPECT_FALSE(mci.cds['D'].doorOpen);
    EXPECT_TRUE(monitor.Visible());
}

TEST_F(MonitorTest, ItemTextsCannotBeEdited) {
    ListView& list = *Open().lvwDrive;
    list.setCurrentItem(Item(1));
    QTest::keyClick(&list, Qt::Key_F2);
    EXPECT_EQ(list.viewport()->findChild<QLineEdit*>(), nullptr);
    EXPECT_EQ(Item(1)->text(), QStringLiteral("E"));

    // The same key does edit a list whose handler lets it.
    ListView free;
    free.BeforeLabelEdit = [](std::int16_t&) {};
    free.setCurrentItem(free.Add("k", "text", 1, 1));
    free.show();
    QTest::keyClick(&free, Qt::Key_F2);
    EXPECT_NE(free.viewport()->findChild<QLineEdit*>(), nullptr);
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
