#include "drives/modCode.h"
#include "drives/modMain.h"
#include "support/model_fixture.h"

using namespace bm;
using namespace bm::modMain;
using bm::test::FakeDrive;
using bm::test::ModelFixture;

using DriveTable = ModelFixture;

TEST_F(DriveTable, KeepsWatchedDrivesHighestLetterFirst) {
    drives.drives['A'] = bm::test::Disk(platform::kDriveRemovable, true);
    drives.drives['B'] = bm::test::Disk(platform::kDriveRemovable, false);
    drives.drives['C'] = bm::test::Disk(platform::kDriveFixed, true);
    AddCd('D', true);
    drives.drives['E'] = bm::test::Disk(platform::kDriveRemovable, false);  // empty at start
    drives.drives['F'] = bm::test::Disk(platform::kDriveRemote, true);
    drives.drives['G'] = bm::test::Disk(platform::kDriveRamDisk, true);
    drives.drives['H'] =
        bm::test::Disk(platform::kDriveRemovable, true, {"README", "DRVSPACE.000"});
    drives.drives['I'] = bm::test::Disk(platform::kDriveUnknown, true);

    ASSERT_TRUE(FindDrives());
    std::vector<std::string> letters;
    for (const auto& d : gDrives) {
        letters.push_back(d.Letter + d.TypeName + d.MediaName + std::to_string(d.DriveType));
    }
    EXPECT_EQ(letters, (std::vector<std::string>{"ERemovableMedia1", "DCDDisc3", "BFloppyDisk2",
                                                 "AFloppyDisk2"}));
    EXPECT_EQ(tmrDriveStatusTimeout.Item('E')->Interval(), 1000);
    EXPECT_EQ(tmrDriveStatusTimeout.Item('D')->Interval(), 1000);
    EXPECT_EQ(tmrDriveStatusTimeout.Item('A')->Interval(), 6000);
    EXPECT_FALSE(tmrDriveStatusTimeout.Item('A')->Enabled());
    EXPECT_EQ(tmrDriveStatusTimeout.Item('H'), nullptr);
    // A floppy is never searched for a compressed volume; a removable drive is.
    EXPECT_EQ(std::count(drives.listings.begin(), drives.listings.end(), "H:\\???space.000"), 1);
    EXPECT_EQ(std::count(drives.listings.begin(), drives.listings.end(), "A:\\???space.000"), 0);
}

TEST_F(DriveTable, NoDriveLeavesOneEmptyRecord) {
    drives.drives['C'] = bm::test::Disk(platform::kDriveFixed, true);
    EXPECT_FALSE(FindDrives());
    ASSERT_EQ(gDrives.size(), 1U);
    EXPECT_TRUE(gDrives[0].Letter.empty());
    EXPECT_EQ(gDrives[0].DriveType, 0);
}

TEST_F(DriveTable, TheWindowLoadsAtTheFirstAcceptedDrive) {
    AddCd('D', false);
    AddCd('E', false);
    int loads = 0;
    tmrDriveStatusTimeout.OnFirstLoad = [&] { ++loads; };
    FindDrives();
    EXPECT_EQ(loads, 1);
}

TEST_F(DriveTable, VolumeInfoInProperCase) {
    AddCd('D', true);
    drives.drives['D'].label = "MY DATA";
    drives.drives['D'].serial = 0xDEADBEEF;
    FindDrives();
    DriveRecord& d = gDrives[0];
    EXPECT_EQ(d.VolumeLabel, "");  // nothing read before a refresh finds media
    RefreshDriveStatus(d);
    EXPECT_EQ(d.VolumeLabel, "My Data");
    EXPECT_EQ(d.SerialNumber, static_cast<std::int32_t>(0xDEADBEEF));

    drives.drives['D'].label = "Audio CD";
    ReadVolumeInfo(d);
    EXPECT_EQ(d.VolumeLabel, "Audio Disc");
    drives.drives['D'].label = "";
    ReadVolumeInfo(d);
    EXPECT_EQ(d.VolumeLabel, "");
    drives.drives['D'].label = std::string("A\nB\r\x01\x7f\0C", 8);
    ReadVolumeInfo(d);
    EXPECT_EQ(d.VolumeLabel, "A B    C");

    // The medium goes between the probe and the label read: the last label stays.
    drives.drives['D'].label = "HOLIDAY";
    ReadVolumeInfo(d);
    drives.drives['D'].labelFails = true;
    drives.drives['D'].serial = 7;
    host.Advance(1000);
    EXPECT_NO_THROW(RefreshDriveStatus(d));
    EXPECT_EQ(d.VolumeLabel, "Holiday");
}

TEST_F(DriveTable, AnUnwritableStoreIsToldOnceAndTheRunGoesOn) {
    settings.failAfterWrites = 0;
    AddCd('D', true);
    AddCd('E', true);
    InitOptions();
    ASSERT_TRUE(FindDrives());
    ASSERT_EQ(gDrives.size(), 2U);
    EXPECT_EQ(gDrives[1].CanEject, vbTrue);  // the defaults are there, in memory
    EXPECT_EQ(gDrives[1].TrayToggle, 1);
    ASSERT_EQ(host.boxes.size(), 1U);
    EXPECT_NE(host.boxes[0].prompt.find("Bayminder.ini: Permission denied"), std::string::npos);
    EXPECT_EQ(host.boxes[0].title, "Bayminder");
}
