// Bad and odd machine files, read through the loader the programs use: each bad one is refused
// with one line naming the file and the fault; each odd one loads and the drive model runs on it.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include <gmock/gmock.h>

#include "drives/modMain.h"
#include "platform/sim/sim_machine.h"
#include "support/model_fixture.h"

namespace fs = std::filesystem;
using namespace ::testing;  // NOLINT: matchers
using bm::platform::sim::SimFileError;
using bm::platform::sim::SimMachine;

namespace {

// File name, and the fault its message must hold ("" for a file that is to load).
const std::map<std::string, std::string> kMachines = {
    {"not-json-empty.json", "not JSON: illegal value"},
    {"not-json-text.json", "not JSON: "},
    {"not-json-truncated.json", "not JSON: "},
    {"not-json-trailing-comma.json", "not JSON: "},
    {"not-json-comment.json", "not JSON: "},
    {"not-json-two-documents.json", "not JSON: garbage at the end of the document"},
    {"not-json-binary.json", "not JSON: "},
    {"not-json-nul-after.json", "not JSON: garbage at the end of the document"},
    {"not-json-deep.json", "not JSON: too deeply nested document"},
    {"not-json-huge-number.json", "not JSON: illegal number"},
    {"not-json-utf16.json", "not JSON: "},
    {"not-json-single-quotes.json", "not JSON: "},
    {"invalid-utf8-label.json", "not JSON: invalid UTF8 string"},
    {"invalid-utf8-overlong.json", "not JSON: invalid UTF8 string"},
    {"invalid-utf8-surrogate.json", "not JSON: invalid UTF8 string"},
    {"invalid-utf8-cut-sequence.json", "not JSON: invalid UTF8 string"},
    {"invalid-utf8-file-name.json", "not JSON: invalid UTF8 string"},
    {"lone-surrogate-escape.json", "drive 1: disc: label is not valid Unicode"},
    {"control-nul-escape.json", "drive 1: disc: label \"A\\x00B\" contains a control character"},
    {"control-escape-sequence.json", "contains a control character"},
    {"control-del.json", "label \"DEL\\x7f\" contains a control character"},
    {"control-c1-next-line.json", "contains a control character"},
    {"control-raw-tab.json", "label \"TAB\\tTAB\" contains a control character"},
    {"control-raw-newline.json", "label \"LINE\\nBREAK\" contains a control character"},
    {"control-in-file-name.json", "medium: files[0] \"a\\nb.txt\" contains a control character"},
    {"huge-label.json", "drive 1: disc: label is longer than 255 bytes"},
    {"huge-label-multibyte.json", "label is longer than 255 bytes"},
    {"huge-label-20k.json", "label is longer than 255 bytes"},
    {"huge-file-name.json", "medium: files[0] is longer than 255 bytes"},
    {"duplicate-letter.json", "drive 2: letter \"D\" appears twice"},
    {"duplicate-letter-far.json", "drive 5: letter \"A\" appears twice"},
    {"wrong-type-drives-object.json", "drives is an object, not an array"},
    {"wrong-type-top-array.json", "the top level is not an object"},
    {"wrong-type-top-string.json", "not JSON: "},
    {"wrong-type-letter-number.json", "drive 1: letter is a number, not a string"},
    {"wrong-type-letter-lower.json", "letter \"d\" is not one upper-case letter A to Z"},
    {"wrong-type-letter-two.json", "letter \"DE\" is not one upper-case letter A to Z"},
    {"wrong-type-letter-colon.json", "letter \"D:\" is not one upper-case letter A to Z"},
    {"wrong-type-letter-non-ascii.json", "is not one upper-case letter A to Z"},
    {"wrong-type-type-number.json", "type a number is not removable, fixed"},
    {"wrong-type-type-case.json", "type \"CDROM\" is not removable, fixed"},
    {"wrong-type-can-eject-string.json", "canEject is a string, not true or false"},
    {"wrong-type-door-bool.json", "door a boolean is not \"open\" or \"closed\""},
    {"wrong-type-serial-negative.json", "serial -1 is not an integer from 0 to 4294967295"},
    {"wrong-type-serial-fraction.json", "serial 1.5 is not an integer"},
    {"wrong-type-serial-string.json", "serial is a string, not an integer"},
    {"wrong-type-serial-too-big.json", "is not an integer from 0 to 4294967295"},
    {"wrong-type-open-error-too-big.json", "mciOpenError 2147483648 is not an integer"},
    {"wrong-type-medium-array.json", "medium is an array, not an object or null"},
    {"wrong-type-label-number.json", "disc: label is a number, not a string"},
    {"wrong-type-files-string.json", "files is a string, not an array"},
    {"wrong-type-files-entry-number.json", "files[0] is a number, not a string"},
    {"bad-file-name-slash.json", "files[0] \"dir/a.txt\" is not a file name"},
    {"bad-file-name-empty.json", "files[0] \"\" is not a file name"},
    {"unknown-field-top.json", "unknown field \"drive\""},
    {"unknown-field-disc-on-removable.json", "unknown field \"disc\" for a removable drive"},
    {"unknown-field-misspelt.json", "medium: unknown field \"lable\""},
    {"missing-letter.json", "drive 1: letter is missing"},
    {"missing-type.json", "drive 1: type is missing"},
    {"missing-drives.json", "drives is missing"},
    {"drive-null.json", "drive 1: is null, not an object"},
    // Odd but sound: they load.
    {"odd-utf8-bom.json", ""},
    {"odd-label-255-bytes.json", ""},
    {"odd-unicode-label.json", ""},
    {"odd-all-26-letters.json", ""},
    {"odd-duplicate-field.json", ""},  // JSON's last value wins, as for any JSON reader
    {"odd-open-error-code.json", ""},
};

class MachineCorpus : public bm::test::ModelFixture {
  protected:
    void SetUp() override {
        ModelFixture::SetUp();
        ASSERT_NE(::mkdtemp(dir_.data()), nullptr);
    }
    void TearDown() override {
        ModelFixture::TearDown();
        fs::remove_all(dir_);
    }
    // The loader's message for a file that must be refused.
    static std::string Refusal(const std::string& path) {
        try {
            SimMachine::Load(path);
        } catch (const SimFileError& e) {
            return e.what();
        }
        return "(accepted)";
    }
    static void ExpectRefused(const std::string& path, const std::string& fault) {
        const std::string message = Refusal(path);
        EXPECT_THAT(message, AllOf(StartsWith(path + ": "), HasSubstr(fault), Not(HasSubstr("\n")),
                                   Not(HasSubstr("\r"))));
    }
    // Discovery, a status refresh of every drive and its label, on the machine in the file.
    void RunModel(const std::string& path) {
        std::unique_ptr<SimMachine> machine;
        ASSERT_NO_THROW(machine = SimMachine::Load(path));
        bm::modMain::ResetForTests();
        bm::platform::Install({&machine->Drives(), &machine->MciDevice(), &settings, &host});
        const bool found = bm::modMain::FindDrives();
        for (auto& drive : bm::modMain::gDrives) {
            if (found) {
                bm::modMain::RefreshDriveStatus(drive);
            }
            for (unsigned char c : drive.VolumeLabel) {
                EXPECT_FALSE(c < 0x20 || c == 0x7f) << drive.Letter;
            }
        }
        EXPECT_EQ(machine->LastReloadError(), "");
        bm::modMain::ResetForTests();
        bm::platform::Install({&drives, &mci, &settings, &host});
    }
    std::string Copy(const fs::path& from) const {
        std::string to = dir_ + "/" + from.filename().string();
        fs::copy_file(from, to, fs::copy_options::overwrite_existing);
        return to;
    }
    std::string dir_ = "/tmp/bm-machines-XXXXXX";
};

TEST_F(MachineCorpus, EveryFileIsRefusedWithItsFaultOrRuns) {
    std::set<std::string> seen;
    for (const auto& entry : fs::directory_iterator(fs::path(BM_CORPORA) / "machines")) {
        const std::string name = entry.path().filename().string();
        seen.insert(name);
        const auto expected = kMachines.find(name);
        if (expected == kMachines.end()) {
            ADD_FAILURE() << name << " has no expected outcome";
            continue;
        }
        SCOPED_TRACE(name);
        // A copy: a door move of the model would write the file back.
        const std::string path = Copy(entry.path());
        if (expected->second.empty()) {
            RunModel(path);
        } else {
            ExpectRefused(path, expected->second);
        }
    }
    for (const auto& [name, fault] : kMachines) {
        EXPECT_TRUE(seen.count(name) != 0) << name << " is missing from the corpus";
    }
    EXPECT_GE(seen.size(), 60U);
}

TEST_F(MachineCorpus, LargeFilesAndThingsThatAreNotFiles) {
    // 10,000 names in a root load, and a listing still finds the last one.
    std::string files;
    for (int i = 0; i < 10000; ++i) {
        files += (i == 0 ? "\"" : ", \"") + std::to_string(100000 + i) + ".txt\"";
    }
    const std::string many = dir_ + "/many.json";
    std::ofstream(many)
        << R"({"drives": [{"letter": "E", "type": "removable", "medium": {"files": [)" << files
        << R"(]}}, {"letter": "D", "type": "cdrom", "disc": {"files": [)" << files << "]}}]}";
    {
        std::unique_ptr<SimMachine> machine;
        ASSERT_NO_THROW(machine = SimMachine::Load(many));
        EXPECT_EQ(machine->Dir("E:\\109999.txt", 0), "109999.txt");
        EXPECT_EQ(machine->Dir("E:\\*.000", 0), "");
    }
    RunModel(many);

    // Too big to be read into memory: refused while reading, whatever the size said before.
    const std::string big = dir_ + "/big.json";
    std::ofstream(big) << R"({"drives": [], "pad": ")" << std::string(17 << 20, 'x') << "\"}";
    ExpectRefused(big, "is larger than 16 MiB");

    // Read without blocking: a FIFO with no writer, a folder, a device.
    const std::string fifo = dir_ + "/fifo.json";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ExpectRefused(fifo, "is not a regular file");
    ExpectRefused(dir_, "is not a regular file");
    ExpectRefused("/dev/zero", "is not a regular file");
    ExpectRefused(dir_ + "/absent.json", "cannot be read: No such file or directory");
    const std::string loop = dir_ + "/loop.json";
    fs::create_symlink(loop, loop);
    ExpectRefused(loop, "cannot be read: Too many levels of symbolic links");

    // A long list fails at its first fault, not after working through it all.
    std::ofstream twice(dir_ + "/twice.json");
    twice << R"({"drives": [{"letter": "A", "type": "fixed"})";
    for (int i = 0; i < 50000; ++i) {
        twice << R"(, {"letter": "A", "type": "fixed"})";
    }
    twice << "]}";
    twice.close();
    ExpectRefused(dir_ + "/twice.json", "drive 2: letter \"A\" appears twice");
}

}  // namespace
