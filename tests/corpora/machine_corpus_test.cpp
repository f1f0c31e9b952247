// Bad and odd machine files, read through the loader the programs use: each bad one is refused
// with one line naming the file and the fault; each odd one loads and the drive model runs on it.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gmock/gmock.h>

#include "corpora/corpus.h"
#include "platform/sim/sim_machine.h"
#include "support/model_fixture.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using namespace ::testing;  // NOLINT: matchers
using bm::platform::sim::SimFileError;
using bm::platform::sim::SimMachine;

namespace {

class MachineCorpus : public bm::test::ModelFixture {
  protected:
    static void ExpectRefused(const std::string& path, const std::string& fault) {
        std::string message = "(accepted)";
        try {
            SimMachine::Load(path);
        } catch (const SimFileError& e) {
            message = e.what();
        }
        EXPECT_THAT(message, AllOf(StartsWith(path + ": "), HasSubstr(fault), Not(HasSubstr("\n")),
                                   Not(HasSubstr("\r"))));
    }
    // Discovery, a status refresh of every drive and its label, on the machine in the file.
    void RunModel(const std::string& path) {
        std::unique_ptr<SimMachine> machine;
        ASSERT_NO_THROW(machine = SimMachine::Load(path));
        bm::modMain::Reset();
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
        bm::modMain::Reset();
        bm::platform::Install({&drives, &mci, &settings, &host});
    }
    bm::test::TempDir dir_;
};

TEST_F(MachineCorpus, EveryFileIsRefusedWithItsFaultOrRuns) {
    bm::test::ForEachCase("machines", [&](const std::string& file, const std::string& fault) {
        // A copy: a door move of the model would write the file back.
        const std::string path = dir_ / fs::path(file).filename().string();
        fs::copy_file(file, path, fs::copy_options::overwrite_existing);
        if (fault == "loads") {
            RunModel(path);
        } else {
            ExpectRefused(path, fault);
        }
    });
}

TEST_F(MachineCorpus, LargeFilesAndThingsThatAreNotFiles) {
    // 10,000 names in a root load, and a listing still finds the last one.
    std::string files = "\"100000.txt\"";
    for (int i = 1; i < 10000; ++i) {
        files += ", \"" + std::to_string(100000 + i) + ".txt\"";
    }
    const std::string many = dir_ / "many.json";
    std::ofstream(many)
        << R"({"drives": [{"letter": "E", "type": "removable", "medium": {"files": [)" << files
        << R"(]}}, {"letter": "D", "type": "cdrom", "disc": {"files": [)" << files << "]}}]}";
    EXPECT_EQ(SimMachine::Load(many)->Dir("E:\\109999.txt", 0), "109999.txt");
    RunModel(many);

    // Too big to be read into memory: refused while reading, whatever the size said before.
    const std::string big = dir_ / "big.json";
    std::ofstream(big) << R"({"drives": [], "pad": ")" << std::string(17 << 20, 'x') << "\"}";
    ExpectRefused(big, "is larger than 16 MiB");

    // Read without blocking: a FIFO with no writer, a folder, a device.
    const std::string fifo = dir_ / "fifo.json";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ExpectRefused(fifo, "is not a regular file");
    ExpectRefused(dir_.path, "is not a regular file");
    ExpectRefused("/dev/zero", "is not a regular file");
    ExpectRefused(dir_ / "absent.json", "cannot be read: No such file or directory");
    const std::string loop = dir_ / "loop.json";
    fs::create_symlink(loop, loop);
    ExpectRefused(loop, "cannot be read: Too many levels of symbolic links");

    // A long list fails at its first fault, not after working through it all.
    std::ofstream twice(dir_ / "twice.json");
    twice << R"({"drives": [{"letter": "A", "type": "fixed"})";
    for (int i = 0; i < 50000; ++i) {
        twice << R"(, {"letter": "A", "type": "fixed"})";
    }
    twice << "]}";
    twice.close();
    ExpectRefused(dir_ / "twice.json", "drive 2: letter \"A\" appears twice");
}

}  // namespace
