#include "drives/modMain.h"
#include "support/model_fixture.h"

using namespace bm;
using namespace bm::modMain;

using DriveSettings = bm::test::ModelFixture;

// Damaged sections and the stores that fail are the corpora's and the dialogs' part.
TEST_F(DriveSettings, DefaultsByKindOfDriveAreStoredAndBelievedAtTheNextStart) {
    drives.drives['A'] = bm::test::Disk(platform::kDriveRemovable, false);
    AddCd('D', true, true);
    AddCd('F', true, false);
    AddCd('G', false);
    mci.cds['G'].openError = 5;  // the device cannot be opened
    drives.drives['E'] = bm::test::Disk(platform::kDriveRemovable, true);
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
