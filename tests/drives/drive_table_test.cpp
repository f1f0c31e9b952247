#include "drives/modMain.h"
#include "support/model_fixture.h"

using namespace bm;
using namespace bm::modMain;
using bm::test::Disk;

using DriveTable = bm::test::ModelFixture;

TEST_F(DriveTable, KeepsWatchedDrivesHighestLetterFirst) {
    drives.drives['A'] = Disk(platform::kDriveRemovable, true);
    drives.drives['B'] = Disk(platform::kDriveRemovable, false);
    drives.drives['C'] = Disk(platform::kDriveFixed, true);
    AddCd('D', true);
    drives.drives['E'] = Disk(platform::kDriveRemovable, false);  // empty at start
    drives.drives['F'] = Disk(platform::kDriveRemote, true);
    drives.drives['G'] = Disk(platform::kDriveRamDisk, true);
    drives.drives['H'] = Disk(platform::kDriveRemovable, true, {"README", "DRVSPACE.000"});
    drives.drives['I'] = Disk(platform::kDriveUnknown, true);

    ASSERT_TRUE(FindDrives());
    std::vector<std::string> letters;
    letters.reserve(gDrives.size());
    for (const auto& d : gDrives) {
        letters.push_back(d.Letter + d.TypeName + d.MediaName + std::to_string(d.DriveType) + " " +
                          std::to_string(tmrDriveStatusTimeout.Item(d.Letter[0])->Interval()));
    }
    EXPECT_EQ(letters, (std::vector<std::string>{"ERemovableMedia1 1000", "DCDDisc3 1000",
                                                 "BFloppyDisk2 6000", "AFloppyDisk2 6000"}));
    EXPECT_FALSE(tmrDriveStatusTimeout.Item('A')->Enabled());
    EXPECT_EQ(tmrDriveStatusTimeout.Item('H'), nullptr);
    // A floppy is never searched for a compressed volume; a removable drive is.
    EXPECT_EQ(Count(drives.listings, "H:\\???space.000"), 1);
    EXPECT_EQ(Count(drives.listings, "A:\\???space.000"), 0);
}

TEST_F(DriveTable, VolumeInfoInProperCase) {
    AddCd('D', true);
    drives.drives['D'].serial = 0xDEADBEEF;
    FindDrives();
    DriveRecord& d = gDrives[0];
    const std::pair<std::string, std::string> labels[] = {
        {"MY DATA", "My Data"},
        {"Audio CD", "Audio Disc"},
        {"", ""},
        {std::string("A\nB\r\x01\x7f\0C", 8), "A B    C"},  // the medium's text, not ours
        {"HOLIDAY", "Holiday"},
    };
    for (const auto& [label, shown] : labels) {
        drives.drives['D'].label = label;
        host.Advance(1000);
        RefreshDriveStatus(d);
        EXPECT_EQ(d.VolumeLabel, shown);
    }
    EXPECT_EQ(d.SerialNumber, static_cast<std::int32_t>(0xDEADBEEF));

    // The medium goes between the probe and the label read: the last label stays.
    drives.drives['D'].labelFails = true;
    host.Advance(1000);
    EXPECT_NO_THROW(RefreshDriveStatus(d));
    EXPECT_EQ(d.VolumeLabel, "Holiday");
}
