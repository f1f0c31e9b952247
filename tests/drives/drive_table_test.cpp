#include <gmock/gmock.h>

#include "drives/modCode.h"
#include "support/model_fixture.h"

using namespace bm;
using namespace bm::modMain;

using DriveTable = bm::test::ModelFixture;
using DriveSettings = bm::test::ModelFixture;
using SettingsStore = bm::test::ModelFixture;

TEST_F(DriveTable, KeepsWatchedDrivesHighestLetterFirst) {
    drives.drives['A'] = {platform::kDriveRemovable, true};
    drives.drives['B'] = {platform::kDriveRemovable, false};
    drives.drives['C'] = {platform::kDriveFixed, true};
    AddCd('D', true);
    drives.drives['E'] = {platform::kDriveRemovable, false};  // empty at start
    drives.drives['F'] = {platform::kDriveRemote, true};
    drives.drives['G'] = {platform::kDriveRamDisk, true};
    drives.drives['H'] = {platform::kDriveRemovable, true, {"README", "DRVSPACE.000"}};
    drives.drives['I'] = {platform::kDriveUnknown, true};

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
        {"2ND disc", "2nd Disc"},
        {"caf\xc3\xa9 BAR", "Caf\xc3\xa9 Bar"},  // other bytes are kept
        {"HOLIDAY", "Holiday"},
    };
    for (const auto& [label, shown] : labels) {
        drives.drives['D'].label = label;
        host.Advance(1000);
        RefreshDriveStatus(d);
        EXPECT_EQ(d.VolumeLabel, shown) << label;
    }
    EXPECT_EQ(d.SerialNumber, static_cast<std::int32_t>(0xDEADBEEF));

    // The medium goes between the probe and the label read: the last label stays.
    drives.drives['D'].labelFails = true;
    host.Advance(1000);
    EXPECT_NO_THROW(RefreshDriveStatus(d));
    EXPECT_EQ(d.VolumeLabel, "Holiday");
}

// Damaged sections and the stores that fail are the corpora's and the dialogs' part.
TEST_F(DriveSettings, DefaultsByKindOfDriveAreStoredAndBelievedAtTheNextStart) {
    drives.drives['A'] = {platform::kDriveRemovable, false};
    AddCd('D', true, true);
    AddCd('F', true, false);
    AddCd('G', false);
    mci.cds['G'].openError = 5;  // the device cannot be opened
    drives.drives['E'] = {platform::kDriveRemovable, true};
    ASSERT_TRUE(FindDrives());
    const auto section = [&](char letter) {
        std::string out;
        for (const char* key : {"1", "2", "3", "4", "5", "6", "7", "8"}) {
            out += settings.Value(std::string(1, letter), key).value_or("-") + " ";
        }
        return out;
    };
    const std::string cannotEject = "3 1 0 1 False False 0 0 ";
    const std::pair<char, std::string> defaults[] = {{'D', "3 1 1 1 True True 1 1 "},
                                                     {'F', cannotEject},
                                                     {'G', cannotEject},
                                                     {'A', "2 1 0 1 False False 0 0 "},
                                                     {'E', "1 0 0 1 False False 0 0 "}};
    for (const auto& [letter, stored] : defaults) {
        EXPECT_EQ(section(letter), stored) << letter;
    }

    // The next start takes what is stored, without asking the drives what they can do.
    settings.SaveSetting("Bayminder", "D", "2", "0");
    mci.sent.clear();
    modMain::Reset();
    ASSERT_TRUE(FindDrives());
    EXPECT_EQ(Drive('D').Monitor, 0);
    EXPECT_EQ(Drive('D').CanEject, vbTrue);
    EXPECT_TRUE(mci.sent.empty());
}

TEST_F(SettingsStore, ReadsWritesAndDefaults) {
    EXPECT_EQ(modCode::ReadSetting("Q", "1", "0"), "0");
    EXPECT_EQ(modCode::ReadSetting("Q", "1", 42), "42");
    EXPECT_THAT([] { modCode::ReadSetting("Q", "1"); },
                testing::Throws<RuntimeError>(testing::Property(&RuntimeError::Number, 6)));
    modCode::WriteSetting("@", "5", "/first");
    modCode::WriteSetting("@", "5", "/second");
    ASSERT_EQ(settings.sections["@"].size(), 1U);
    EXPECT_EQ(modCode::ReadSetting("@", "5"), "/second");
    modCode::WriteSetting("D", "7", "");
    EXPECT_EQ(modCode::ReadSetting("D", "7", "default"), "");
    modCode::WriteSetting("D", "01", "x");
    EXPECT_THROW(modCode::ReadSetting("D", "1"), RuntimeError);
    EXPECT_EQ(Lines(), (std::vector<std::string>{"write @ 5 \"/first\"", "delete @ 5",
                                                 "write @ 5 \"/second\"", "write D 7 \"\"",
                                                 "write D 01 \"x\""}));
}
