// Letters kept by identity, and a table that follows drives attached and taken away.
#include <map>
#include <string>
#include <vector>

#include "drives/letters.h"
#include "support/model_fixture.h"

using namespace bm;
using namespace bm::modMain;

namespace {

platform::Device Dev(const std::string& id, char native, bool floppy = false, bool pinned = false) {
    return {id, floppy ? platform::kDriveRemovable : platform::kDriveCdRom, floppy, pinned, native};
}

std::string Shown(const std::map<std::string, char>& given) {
    std::string out;
    for (const auto& [id, letter] : given) {
        out += id + ":" + letter + " ";
    }
    return out;
}

}  // namespace

TEST(Letters, GivenByTheRules) {
    std::vector<letters::Claim> full;  // D: to Z: all held by drives that are away
    for (char l = 'D'; l <= 'Z'; ++l) {
        full.push_back({l, std::string("o") + l, l == 'K' ? 5 : 100 + l});
    }
    struct Case {
        const char* what;
        std::vector<platform::Device> present;
        std::vector<letters::Claim> claims;
        std::map<std::string, char> kept;
        std::string given;
    } cases[] = {
        // clang-format off
        {"first start: the machine's letters", {Dev("x", 'E'), Dev("y", 'D')}, {}, {}, "x:E y:D "},
        {"first start over old sections: still the machine's letters", {Dev("x", 'D'), Dev("y", 'E')}, {{'D', ""}, {'E', ""}}, {}, "x:D y:E "},
        {"a drive away keeps its letter; a new one takes the first free", {Dev("x", 'D'), Dev("y", 'E')}, {{'D', "x"}, {'E', "z"}}, {}, "x:D y:F "},
        {"own letter although the machine now gives another", {Dev("y", 'D')}, {{'D', "x"}, {'E', "y"}}, {}, "y:E "},
        {"old sections of drives away are kept too", {Dev("y", 'D')}, {{'D', ""}, {'F', "x"}}, {}, "y:E "},
        {"no letter free: the one away longest is given", {Dev("new", 'D')}, full, {}, "new:K "},
        {"the machine's own letter wins", {Dev("p", 'E', false, true), Dev("y", 'F')}, {{'E', "q"}}, {}, "p:E y:D "},
        {"letters of this run's records stay theirs, gone or not", {Dev("x", 'E'), Dev("y", 'D')}, {{'D', "g"}, {'E', "x"}}, {{"g", 'D'}, {"x", 'E'}}, "x:E y:F "},
        {"floppies: A: and B: only", {Dev("f1", 'A', true), Dev("f2", 'B', true), Dev("f3", 0, true)}, {{'D', "f3"}}, {}, "f1:A f2:B "},
        {"a section twice with one identity: the first", {Dev("x", 'F')}, {{'D', "x"}, {'E', "x"}}, {}, "x:D "},
        // clang-format on
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Shown(letters::Give(c.present, c.claims, c.kept)), c.given) << c.what;
    }
}

namespace {

class DriveFollow : public bm::test::ModelFixture {
  protected:
    void SetUp() override {
        ModelFixture::SetUp();
        platform::Install({&drives, &mci, &settings, &host, nullptr, nullptr, nullptr, &set});
        OnTableChanged = [this](const std::vector<TableChange>& c) {
            for (const auto& change : c) {
                changes += change.change + " " + change.letter + ", ";
            }
        };
    }
    // The table: letter, identity, "(gone)".
    static std::string Table() {
        std::string out;
        for (const auto& d : gDrives) {
            out += d.Letter + ":" + d.Identity + (d.Gone ? "(gone)" : "") + " ";
        }
        return out;
    }
    // A new run over the same store.
    void Restart() {
        const auto handler = OnTableChanged;
        Reset();
        OnTableChanged = handler;
        FindDrives();
    }
    std::string Stored(char letter, const char* key) {
        return settings.Value(std::string(1, letter), key).value_or("-");
    }

    bm::test::FakeDriveSet set{drives, mci};
    std::string changes;
};

}  // namespace

// The fault that set this going: with the USB CD drive away, the stick took its letter and the
// CD drive's settings, and the next start gave the CD drive the stick's.
TEST_F(DriveFollow, EveryDriveKeepsItsLetterAndSettingsThroughRestartsAndPlugs) {
    set.Attach("int", platform::kDriveCdRom, 'D');
    set.Attach("usb", platform::kDriveCdRom, 'E');
    set.Attach("stick", platform::kDriveRemovable, 'F');
    Restart();
    EXPECT_EQ(Table(), "F:stick E:usb D:int ");
    settings.SaveSetting("Bayminder", "E", "3", "0");  // the user's choice for the USB drive

    set.Detach("usb");
    set.attached["stick"].device.native = 'E';
    Restart();
    EXPECT_EQ(Table(), "F:stick D:int ");
    EXPECT_EQ(Stored('E', "3") + Stored('E', "9"), "0usb");

    const struct {
        const char* step;
        const char* changes;
        const char* table;
    } steps[] = {
        {"+usb", "added E, ", "F:stick E:usb D:int "},
        {"-stick", "gone F, ", "F:stick(gone) E:usb D:int "},
        {"+stick", "added F, ", "F:stick E:usb D:int "},
        {"-int", "gone D, ", "F:stick E:usb D:int(gone) "},
        {"+new", "added G, ", "G:new F:stick E:usb D:int(gone) "},
        {"nothing", "", "G:new F:stick E:usb D:int(gone) "},
    };
    for (const auto& s : steps) {
        const std::string step = s.step;
        if (step[0] == '+') {
            set.Attach(step.substr(1), platform::kDriveCdRom, 'D');
        } else if (step[0] == '-') {
            set.Detach(step.substr(1));
        }
        changes.clear();
        FollowMachine();
        EXPECT_EQ(changes, s.changes) << step;
        EXPECT_EQ(Table(), s.table) << step;
    }
    EXPECT_EQ(Drive('E').Eject, 0);  // its own settings came back with it
    EXPECT_EQ(Drive('G').Eject, 1);
    EXPECT_EQ(tmrDriveStatusTimeout.Item('G')->Interval(), 1000);
    Restart();
    EXPECT_EQ(Table(), "G:new F:stick E:usb ");
}

TEST_F(DriveFollow, TheFirstStartAdoptsTheOldSectionsOfTheDrivesThere) {
    const char* values[] = {"3", "0", "1", "1", "True", "True", "1", "1"};
    for (int key = 1; key <= 8; ++key) {
        for (const char* section : {"D", "F"}) {  // F: a drive away today
            settings.SaveSetting("Bayminder", section, std::to_string(key), values[key - 1]);
        }
    }
    set.Attach("int", platform::kDriveCdRom, 'D');
    Restart();
    EXPECT_EQ(Drive('D').Monitor, 0);
    EXPECT_EQ(Stored('D', "9"), "int");
    EXPECT_EQ(Stored('F', "9"), "-");
    // From now on a new drive takes a free letter, not the old section of another.
    set.Attach("usb", platform::kDriveCdRom, 'F');
    FollowMachine();
    EXPECT_EQ(Table(), "E:usb D:int ");
    EXPECT_EQ(Stored('F', "2"), "0");
}

TEST_F(DriveFollow, AGoneDriveIsNeverAskedAndTheTableWaitsForOperationsToEnd) {
    set.Attach("int", platform::kDriveCdRom, 'D');
    set.Attach("usb", platform::kDriveCdRom, 'E');
    Restart();
    set.Detach("usb");
    // A notice while an operation lets events run: records are held there, so the change
    // waits, and comes within moments.
    host.Post([] { FollowMachine(); });
    host.Advance(1000);
    RefreshDriveStatus(Drive('D'));
    EXPECT_FALSE(Drive('E').Gone);
    host.Advance(200);
    EXPECT_TRUE(Drive('E').Gone);
    EXPECT_EQ(changes, "gone E, ");

    mci.sent.clear();
    host.Advance(5000);
    for (auto& d : gDrives) {
        RefreshDriveStatus(d);
    }
    ToggleTrayDoors();
    CloseAllDoors();
    LoadAllDriveSettings();
    for (const auto& command : mci.sent) {
        EXPECT_EQ(command.find("E:"), std::string::npos) << command;
    }
    EXPECT_TRUE(host.boxes.empty());
    EXPECT_EQ(Drive('E').MediaPresent, vbFalse);
}
