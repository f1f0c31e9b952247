#include "drives/modMain.h"
#include "support/model_fixture.h"

using namespace bm;
using namespace bm::modMain;
using bm::test::FakeDrive;
using bm::test::ModelFixture;

using DriveSettings = ModelFixture;

namespace {
std::string Section(const bm::test::MemorySettings& s, const std::string& letter) {
    std::string out;
    for (const char* key : {"1", "2", "3", "4", "5", "6", "7", "8"}) {
        out += std::string(key) + "=" + s.Value(letter, key).value_or("-") + " ";
    }
    return out;
}
}  // namespace

TEST_F(DriveSettings, DefaultsByKindOfDriveAndTheirStoredTexts) {
    drives.drives['A'] = bm::test::Disk(platform::kDriveRemovable, false);
    AddCd('D', true, true);
    AddCd('F', true, false);
    AddCd('G', false);
    mci.cds['G'].openError = 5;  // the device cannot be opened
    drives.drives['E'] = bm::test::Disk(platform::kDriveRemovable, true);
    ASSERT_TRUE(FindDrives());
    EXPECT_EQ(Section(settings, "D"), "1=3 2=1 3=1 4=1 5=True 6=True 7=1 8=1 ");
    EXPECT_EQ(Section(settings, "F"), "1=3 2=1 3=0 4=1 5=False 6=False 7=0 8=0 ");
    EXPECT_EQ(Section(settings, "G"), "1=3 2=1 3=0 4=1 5=False 6=False 7=0 8=0 ");
    EXPECT_EQ(Section(settings, "A"), "1=2 2=1 3=0 4=1 5=False 6=False 7=0 8=0 ");
    EXPECT_EQ(Section(settings, "E"), "1=1 2=0 3=0 4=1 5=False 6=False 7=0 8=0 ");
    // Keys in the order they are saved.
    std::vector<std::string> order;
    for (const auto& [k, v] : settings.sections["D"]) {
        order.push_back(k);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"1", "5", "6", "2", "3", "4", "7", "8"}));
}

TEST_F(DriveSettings, StoredSettingsLoadAndCapabilitiesAreNotAskedAgain) {
    AddCd('D', true);
    FindDrives();
    gDrives[0].Monitor = 0;
    gDrives[0].StatusToolTip = 0;
    SaveAllDriveSettings();
    mci.sent.clear();
    modMain::ResetForTests();
    platform::Install({&drives, &mci, &settings, &host});
    FindDrives();
    EXPECT_EQ(gDrives[0].Monitor, 0);
    EXPECT_EQ(gDrives[0].StatusToolTip, 0);
    EXPECT_EQ(gDrives[0].CanEject, vbTrue);
    EXPECT_TRUE(mci.sent.empty());
}

TEST_F(DriveSettings, DamagedOrIncompleteSectionsRepairThemselves) {
    AddCd('D', true);
    drives.drives['E'] = bm::test::Disk(platform::kDriveRemovable, true);
    AddCd('F', true);
    AddCd('G', true);
    AddCd('H', true);
    FindDrives();
    const std::string healthy = Section(settings, "D");
    settings.DeleteSetting("Bayminder", "D", "7");
    settings.SaveSetting("Bayminder", "E", "2", "lots");
    settings.SaveSetting("Bayminder", "F", "1", "1");  // another kind of drive than probed
    settings.SaveSetting("Bayminder", "G", "5", "maybe");
    settings.SaveSetting("Bayminder", "H", "8", "7");  // no check box holds 7
    for (auto& d : gDrives) {
        d.Monitor = 0;
    }
    modMain::ResetForTests();
    platform::Install({&drives, &mci, &settings, &host});
    FindDrives();
    EXPECT_EQ(Section(settings, "D"), healthy);
    EXPECT_EQ(Section(settings, "E"), "1=1 2=0 3=0 4=1 5=False 6=False 7=0 8=0 ");
    EXPECT_EQ(Section(settings, "F"), healthy);
    EXPECT_EQ(Section(settings, "G"), healthy);
    EXPECT_EQ(Section(settings, "H"), healthy);
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(DriveSettings, CancelReloadsEveryDriveAndWritesNothing) {
    AddCd('D', true);
    drives.drives['A'] = bm::test::Disk(platform::kDriveRemovable, true);
    FindDrives();
    const int writes = settings.writes;
    for (auto& d : gDrives) {
        d.Monitor ^= 1;
        d.Eject ^= 1;
        d.TrayToggle ^= 1;
    }
    LoadAllDriveSettings();
    EXPECT_EQ(settings.writes, writes);
    EXPECT_EQ(gDrives[0].Monitor, 1);
    EXPECT_EQ(gDrives[0].TrayToggle, 1);
    EXPECT_EQ(gDrives[1].Eject, 0);

    // A save that fails half way reaches the caller; the keys already written keep their values.
    gDrives[0].Monitor = 0;
    settings.failAfterWrites = 4;
    EXPECT_THROW(SaveAllDriveSettings(), RuntimeError);
    EXPECT_EQ(settings.Value("D", "2"), "0");
    EXPECT_EQ(settings.Value("D", "1"), "3");
}
