// Damaged settings files, read at start-up through the real store: every drive section that still
// holds a sound record keeps it, every other one gets its drive's defaults back, a file that does
// not parse is put aside, and the repaired file loads the next time without another repair.
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include <gmock/gmock.h>

#include "drives/modMain.h"
#include "platform/settings/qt_settings_backing.h"
#include "support/model_fixture.h"

namespace fs = std::filesystem;
using bm::DriveRecord;
using bm::platform::QtSettingsBacking;
using bm::platform::SettingsBacking;

namespace {

struct Outcome {
    std::string kept;  // the letters whose sections survive as written; the others are defaulted
    bool damaged;      // put aside as Bayminder.ini.damaged
};

const std::map<std::string, Outcome> kSettings = {
    {"valid-all-kept.ini", {"ADEZ", false}},
    {"empty.ini", {"", false}},
    {"only-blank-lines.ini", {"", false}},
    {"garbage-text.ini", {"AZ", true}},
    {"binary-random.ini", {"", true}},
    {"binary-zeros.ini", {"", true}},
    {"binary-nul-in-value.ini", {"AZ", false}},
    {"binary-high-bytes-in-value.ini", {"AE", false}},
    {"binary-after-valid.ini", {"ADEZ", true}},
    {"utf16.ini", {"", true}},
    {"utf8-bom.ini", {"ADEZ", true}},
    {"crlf-line-ends.ini", {"ADE", false}},
    {"cr-only-line-ends.ini", {"AD", false}},
    {"truncated-mid-section.ini", {"AZ", false}},
    {"truncated-mid-key.ini", {"AZ", true}},
    {"truncated-mid-header.ini", {"ADZ", true}},
    {"truncated-mid-value.ini", {"AZ", false}},
    {"truncated-mid-quote.ini", {"AZ", false}},
    {"huge-number.ini", {"AE", false}},
    {"huge-negative-type.ini", {"AE", false}},
    {"out-of-range-check.ini", {"EZ", false}},
    {"fraction-and-spaces.ini", {"ADE", false}},
    {"wrong-type-drive-type.ini", {"AZ", false}},
    {"wrong-type-bool.ini", {"EZ", false}},
    {"wrong-type-empty-values.ini", {"EZ", false}},
    {"wrong-type-list.ini", {"D", false}},
    {"wrong-type-variants.ini", {"Z", false}},
    {"wrong-type-variants-readable.ini", {"ADE", false}},
    {"quoted-and-commented.ini", {"ADE", true}},  // "#" starts no comment,
    {"escaped-newline-value.ini", {"D", false}},
    {"missing-key.ini", {"AZ", false}},
    {"duplicate-keys.ini", {"ADE", false}},
    {"duplicate-sections.ini", {"ADE", false}},
    {"odd-section-names.ini", {"AEZ", false}},
    {"odd-key-names.ini", {"ADE", false}},
    {"odd-header-brackets.ini", {"AZ", true}},
    {"app-section-damaged.ini", {"ADE", false}},
    {"keys-without-section.ini", {"AD", false}},
    {"line-without-equals.ini", {"ADZ", true}},
};

// The records the corpus writes for the sections meant to survive; each differs from the
// drive's defaults.
DriveRecord Profile(char letter) {
    DriveRecord r;
    r.CanEject = r.CanClose = letter == 'D' ? bm::vbTrue : bm::vbFalse;
    switch (letter) {
        case 'A':
            r.DriveType = 2, r.Monitor = 0, r.Eject = 0, r.Notify = 1, r.StatusToolTip = 1;
            break;
        case 'D':
            r.DriveType = 3, r.Monitor = 1, r.Eject = 0, r.Notify = 1, r.TrayToggle = 1;
            break;
        default:
            r.DriveType = 1, r.Monitor = 1, r.Eject = 1, r.Notify = 0, r.StatusToolTip = 1;
    }
    return r;
}
const SettingsBacking::Entries kZ = {{"1", "3"},    {"2", "0"},    {"3", "0"}, {"4", "0"},
                                     {"5", "True"}, {"6", "True"}, {"7", "0"}, {"8", "0"}};

DriveRecord Defaults(char letter) {
    DriveRecord r;
    r.Notify = 1;
    switch (letter) {
        case 'A':
            r.DriveType = 2, r.Monitor = 1;
            break;
        case 'D':
            r.DriveType = 3, r.CanEject = r.CanClose = bm::vbTrue;
            r.Monitor = r.Eject = r.StatusToolTip = r.TrayToggle = 1;
            break;
        default:
            r.DriveType = 1;
    }
    return r;
}

std::string Describe(const DriveRecord& r) {
    return std::to_string(r.DriveType) + " eject " + std::to_string(r.CanEject) + " close " +
           std::to_string(r.CanClose) + " " + std::to_string(r.Monitor) + std::to_string(r.Eject) +
           std::to_string(r.Notify) + std::to_string(r.StatusToolTip) +
           std::to_string(r.TrayToggle);
}

// Counts the writes that reach the store.
class Counting : public SettingsBacking {
  public:
    explicit Counting(SettingsBacking& inner) : inner_(inner) {}
    Entries GetAllSettings(const std::string& app, const std::string& section) override {
        return inner_.GetAllSettings(app, section);
    }
    void SaveSetting(const std::string& app, const std::string& section, const std::string& key,
                     const std::string& value) override {
        ++saves;
        inner_.SaveSetting(app, section, key, value);
    }
    void DeleteSetting(const std::string& app, const std::string& section,
                       const std::string& key) override {
        inner_.DeleteSetting(app, section, key);
    }
    void BeginBatch() override { inner_.BeginBatch(); }
    void EndBatch() override { inner_.EndBatch(); }
    int saves = 0;

  private:
    SettingsBacking& inner_;
};

class SettingsCorpus : public bm::test::ModelFixture {
  protected:
    void SetUp() override {
        ModelFixture::SetUp();
        const char* old = std::getenv("XDG_CONFIG_HOME");
        oldConfig_ = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
        drives.drives['A'] = bm::test::Disk(bm::platform::kDriveRemovable, true);
        AddCd('D', true);
        drives.drives['E'] = bm::test::Disk(bm::platform::kDriveRemovable, true);
    }
    void TearDown() override {
        ModelFixture::TearDown();
        if (oldConfig_) {
            ::setenv("XDG_CONFIG_HOME", oldConfig_->c_str(), 1);
        } else {
            ::unsetenv("XDG_CONFIG_HOME");
        }
    }
    // A fresh configuration folder holding the bytes as Bayminder.ini.
    std::string Prepare(const std::string& bytes) {
        char tmpl[] = "/tmp/bm-corpus-XXXXXX";
        const std::string dir = ::mkdtemp(tmpl);
        dirs_.push_back(dir);
        fs::create_directories(dir + "/Bayminder");
        std::ofstream(dir + "/Bayminder/Bayminder.ini", std::ios::binary) << bytes;
        ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
        return dir + "/Bayminder/Bayminder.ini";
    }
    // A start of the drive model on the store in $XDG_CONFIG_HOME; the number of writes.
    int Start() {
        QtSettingsBacking store;
        Counting counting(store);
        bm::modMain::ResetForTests();
        bm::platform::Install({&drives, &mci, &counting, &host});
        bm::modMain::InitOptions();
        EXPECT_TRUE(bm::modMain::FindDrives());
        bm::platform::Install({&drives, &mci, &settings, &host});
        return counting.saves;
    }
    static std::vector<std::string> Records() {
        std::vector<std::string> out;
        out.reserve(bm::modMain::gDrives.size());
        for (const DriveRecord& r : bm::modMain::gDrives) {
            out.push_back(Describe(r));
        }
        return out;
    }
    void Check(const std::string& ini, const Outcome& outcome) {
        Start();
        ASSERT_EQ(bm::modMain::gDrives.size(), 3U);
        for (const DriveRecord& r : bm::modMain::gDrives) {
            const char letter = r.Letter.at(0);
            const bool kept = outcome.kept.find(letter) != std::string::npos;
            EXPECT_EQ(Describe(r), Describe(kept ? Profile(letter) : Defaults(letter)))
                << letter << (kept ? " kept" : " defaulted");
        }
        const std::vector<std::string> first = Records();
        EXPECT_EQ(fs::exists(ini + ".damaged"), outcome.damaged);
        EXPECT_THAT(host.boxes, ::testing::IsEmpty()) << "a repair is silent";
        QtSettingsBacking reread;
        EXPECT_EQ(reread.GetAllSettings("Bayminder", "@"),
                  (SettingsBacking::Entries{{"5", host.appPath}}));
        if (outcome.kept.find('Z') != std::string::npos) {
            EXPECT_THAT(reread.GetAllSettings("Bayminder", "Z"), ::testing::IsSupersetOf(kZ));
        }

        // Repaired for good: the next start loads every drive as it stands and fixes nothing.
        fs::remove(ini + ".damaged");
        EXPECT_EQ(Start(), 1) << "only the program's folder is written again";
        EXPECT_EQ(Records(), first);
        EXPECT_FALSE(fs::exists(ini + ".damaged"));
    }
    void RemoveFolders() {
        for (const std::string& dir : dirs_) {
            fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
            fs::remove_all(dir);
        }
        dirs_.clear();
    }
    std::optional<std::string> oldConfig_;
    std::vector<std::string> dirs_;
};

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST_F(SettingsCorpus, EveryDamagedFileRepairsItselfAndKeepsTheSoundSections) {
    std::set<std::string> seen;
    for (const auto& entry : fs::directory_iterator(fs::path(BM_CORPORA) / "settings")) {
        const std::string name = entry.path().filename().string();
        seen.insert(name);
        const auto expected = kSettings.find(name);
        if (expected == kSettings.end()) {
            ADD_FAILURE() << name << " has no expected outcome";
            continue;
        }
        SCOPED_TRACE(name);
        host.boxes.clear();
        Check(Prepare(ReadFile(entry.path())), expected->second);
    }
    for (const auto& [name, outcome] : kSettings) {
        EXPECT_TRUE(seen.count(name) != 0) << name << " is missing from the corpus";
    }
    EXPECT_GE(seen.size(), 35U);
    RemoveFolders();
}

TEST_F(SettingsCorpus, HugeFilesAndAFileThatIsAFolder) {
    const std::string a = ReadFile(fs::path(BM_CORPORA) / "settings/valid-all-kept.ini");
    {
        SCOPED_TRACE("an 8 MiB value");
        const std::string huge = "[D]\n2=" + std::string(8 << 20, '1') + "\n";
        Check(Prepare(a + huge), {"AEZ", false});
    }
    {
        SCOPED_TRACE("10,000 sections");
        std::string many;
        for (int i = 0; i < 10000; ++i) {
            many += "[S" + std::to_string(i) + "]\n1=3\n2=junk\n\n";
        }
        Check(Prepare(many + a), {"ADEZ", false});
    }
    {
        SCOPED_TRACE("a folder in the place of the file");
        const std::string ini = Prepare("");
        fs::remove(ini);
        fs::create_directory(ini);
        host.boxes.clear();
        Start();
        ASSERT_EQ(bm::modMain::gDrives.size(), 3U);
        for (const DriveRecord& r : bm::modMain::gDrives) {
            EXPECT_EQ(Describe(r), Describe(Defaults(r.Letter.at(0))));
        }
        ASSERT_EQ(host.boxes.size(), 1U) << "told once, and the run goes on";
        EXPECT_THAT(host.boxes[0].prompt, ::testing::HasSubstr(ini + ": Is a directory"));
    }
    RemoveFolders();
}

}  // namespace
