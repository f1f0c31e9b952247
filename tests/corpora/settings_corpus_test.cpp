// Damaged settings files, read at start-up through the real store: every drive section that still
// holds a sound record keeps it, every other one gets its drive's defaults back, a file that does
// not parse is put aside, and the repaired file loads the next time without another repair.
#include <filesystem>
#include <map>
#include <string>

#include <gmock/gmock.h>

#include "corpora/corpus.h"
#include "platform/settings/qt_settings_backing.h"
#include "support/model_fixture.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using bm::DriveRecord;
using bm::platform::QtSettingsBacking;
using bm::platform::SettingsBacking;
using ::testing::IsSupersetOf;

namespace {

// Type, CanEject, CanClose, then Monitor Eject Notify StatusToolTip TrayToggle: as the corpus
// writes the sections meant to survive, and as each drive's defaults (every one differs).
const std::map<char, std::string> kWritten = {
    {'A', "2 0 0 00110"}, {'D', "3 -1 -1 10101"}, {'E', "1 0 0 11010"}};
const std::map<char, std::string> kDefaults = {
    {'A', "2 0 0 10100"}, {'D', "3 -1 -1 11111"}, {'E', "1 0 0 00100"}};
const SettingsBacking::Entries kZ = {{"1", "3"},    {"2", "0"},    {"3", "0"}, {"4", "0"},
                                     {"5", "True"}, {"6", "True"}, {"7", "0"}, {"8", "0"}};

std::string Describe(const DriveRecord& r) {
    std::string checks;
    for (std::int32_t v : {r.Monitor, r.Eject, r.Notify, r.StatusToolTip, r.TrayToggle}) {
        checks += std::to_string(v);
    }
    return std::to_string(r.DriveType) + " " + std::to_string(r.CanEject) + " " +
           std::to_string(r.CanClose) + " " + checks;
}

class SettingsCorpus : public bm::test::ModelFixture {
  protected:
    void SetUp() override {
        ModelFixture::SetUp();
        drives.drives['A'] = {bm::platform::kDriveRemovable, true};
        AddCd('D', true);
        drives.drives['E'] = {bm::platform::kDriveRemovable, true};
    }
    // A configuration folder holding the bytes as Bayminder.ini; the file's path.
    std::string Prepare(const std::string& bytes) {
        dir_ = std::make_unique<bm::test::TempDir>();
        fs::create_directories(*dir_ / "Bayminder");
        bm::test::WriteFile(Ini(), bytes);
        return Ini();
    }
    std::string Ini() const { return *dir_ / "Bayminder/Bayminder.ini"; }
    // A start of the drive model on the store; the records and the number of writes.
    std::pair<std::vector<std::string>, long> Start() {
        QtSettingsBacking store(dir_->path);
        bm::modMain::Reset();
        bm::platform::Install({&drives, &mci, &store, &host});
        Lines().clear();
        bm::modMain::InitOptions();
        EXPECT_TRUE(bm::modMain::FindDrives());
        bm::platform::Install({&drives, &mci, &settings, &host});
        std::vector<std::string> records;
        records.reserve(bm::modMain::gDrives.size());
        for (const DriveRecord& r : bm::modMain::gDrives) {
            records.push_back(r.Letter + " " + Describe(r));
        }
        return {records, std::count_if(Lines().begin(), Lines().end(),
                                       [](const auto& l) { return l.rfind("write ", 0) == 0; })};
    }
    // The records when the sections of the letters kept survive as written.
    static std::vector<std::string> Expected(const std::string& kept) {
        std::vector<std::string> out;
        for (char letter : std::string("EDA")) {
            const bool keeps = kept.find(letter) != std::string::npos;
            out.push_back(std::string(1, letter) + " " + (keeps ? kWritten : kDefaults).at(letter));
        }
        return out;
    }
    void Check(const std::string& kept, bool damaged) {
        host.boxes.clear();
        const auto first = Start().first;
        EXPECT_EQ(first, Expected(kept));
        EXPECT_EQ(fs::exists(Ini() + ".damaged"), damaged);
        EXPECT_THAT(host.boxes, ::testing::IsEmpty()) << "a repair is silent";
        QtSettingsBacking reread(dir_->path);
        EXPECT_EQ(reread.GetAllSettings("Bayminder", "@"),
                  (SettingsBacking::Entries{{"5", host.appPath}}));
        if (kept.find('Z') != std::string::npos) {
            EXPECT_THAT(reread.GetAllSettings("Bayminder", "Z"), IsSupersetOf(kZ));
        }

        // Repaired for good: the next start loads every drive as it stands and fixes nothing.
        fs::remove(Ini() + ".damaged");
        EXPECT_EQ(Start(), std::make_pair(first, 1L)) << "only the program's folder is written";
        EXPECT_FALSE(fs::exists(Ini() + ".damaged"));
    }
    std::unique_ptr<bm::test::TempDir> dir_;
};

TEST_F(SettingsCorpus, EveryDamagedFileRepairsItselfAndKeepsTheSoundSections) {
    bm::test::ForEachCase("settings", [&](const std::string& file, const std::string& outcome) {
        Prepare(bm::test::ReadFile(file));
        Check(outcome.substr(0, outcome.find('\t')),
              outcome.find("\tdamaged") != std::string::npos);
    });
}

TEST_F(SettingsCorpus, HugeFilesAndAFileThatIsAFolder) {
    const std::string a = bm::test::ReadFile(BM_CORPORA "/settings/valid-all-kept.ini");
    std::string many;
    for (int i = 0; i < 10000; ++i) {
        many += "[S" + std::to_string(i) + "]\n1=3\n2=junk\n\n";
    }
    const std::pair<std::string, std::string> cases[] = {
        {a + "[D]\n2=" + std::string(8 << 20, '1') + "\n", "AEZ"},  // an 8 MiB value
        {many + a, "ADEZ"},                                         // 10,000 sections
    };
    for (const auto& [bytes, kept] : cases) {
        Prepare(bytes);
        Check(kept, false);
    }

    const std::string ini = Prepare("");
    fs::remove(ini);
    fs::create_directory(ini);
    host.boxes.clear();
    EXPECT_EQ(Start().first, Expected(""));
    ASSERT_EQ(host.boxes.size(), 1U) << "told once, and the run goes on";
    EXPECT_THAT(host.boxes[0].prompt, ::testing::HasSubstr(ini + ": Is a directory"));
}

}  // namespace
