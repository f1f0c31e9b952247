// The simulated machine: drive queries, CD devices, write-back of the door, re-reading, bad files.
#include "platform/sim/sim_machine.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <filesystem>

#include <gmock/gmock.h>

#include "platform/errors.h"
#include "platform/sim/machine_watch.h"
#include "support/temp_dir.h"

namespace bm::platform::sim {
namespace {

using namespace ::testing;  // NOLINT: matchers

const std::string kMachine = test::ReadFile(BM_SIM_TESTS "/machine.json");
const std::string kNotReady = "error " + std::to_string(kErrDiskNotReady);

// A machine file in a fresh folder per test, with explicit file times so changes need no sleep.
class SimMachineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Write(kMachine);
        machine_ = SimMachine::Load(path_);
    }
    void Write(const std::string& text) {
        test::WriteFile(path_, text);
        const timespec times[2] = {{++tick_, 0}, {tick_, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path_.c_str(), times, 0), 0);
    }
    std::string Read() const { return test::ReadFile(path_); }
    std::string InFile(int drive, const char* field) const {
        const auto doc = QJsonDocument::fromJson(QByteArray::fromStdString(Read()));
        const auto object = doc.object().value(QLatin1String("drives")).toArray().at(drive);
        return object.toObject().value(QLatin1String(field)).toVariant().toString().toStdString();
    }
    std::string Dir(const std::string& pattern, int attributes = 0) {
        try {
            return machine_->Dir(pattern, attributes);
        } catch (const RuntimeError& e) {
            return "error " + std::to_string(e.Number());
        }
    }
    std::unique_ptr<CdDevice> Device(char letter) {
        int error = -1;
        auto device = machine_->Open(letter, true, error);
        EXPECT_EQ(error, kMciOk);
        return device;
    }
    test::TempDir dir_;
    std::string path_ = dir_ / "machine.json";
    long tick_ = 0;
    std::unique_ptr<SimMachine> machine_;
};

TEST_F(SimMachineTest, DriveTypesDirPatternsAndMasks) {
    const int types[] = {kDriveRemovable, kDriveFixed,   kDriveCdRom,     kDriveRemote,
                         kDriveRamDisk,   kDriveUnknown, kDriveNoRootDir, kDriveNoRootDir};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(machine_->GetDriveType(std::string("ACdFRUZ").substr(i, 1) + ":"), types[i]) << i;
    }
    const std::tuple<const char*, int, std::string> dirs[] = {
        {"A:\\???space.000", 7, "drvspace.000"},  // in any case
        {"E:\\???space.000", 7, "DBLSPACE.000"},
        {"A:\\", 0, "readme.txt"},         // the root: its first file
        {"E:\\", kAttrVolume, "STACKER"},  // only the volume bit alone asks for the label
        {"E:\\", kAttrVolume | 7, "DBLSPACE.000"},
        {"D:\\", kAttrVolume, "HOLIDAY"},
        {"B:\\", kAttrVolume, kNotReady},  // medium null
        {"G:\\", 0, kNotReady},            // door open
        {"H:\\", 0, kNotReady},            // no disc
        {"Z:\\", 0, "error " + std::to_string(kErrBadFileName)},
    };
    for (const auto& [pattern, attributes, result] : dirs) {
        EXPECT_EQ(Dir(pattern, attributes), result) << pattern;
    }
    std::uint32_t serial = 7;
    EXPECT_FALSE(machine_->GetVolumeSerial("G:\\", serial));
    EXPECT_EQ(serial, 7u);
    EXPECT_TRUE(machine_->GetVolumeSerial("A:\\", serial));
    EXPECT_EQ(serial, 305419896u);
}

TEST_F(SimMachineTest, DoorMovesAreWrittenBackAtomicallyKeepingTheRest) {
    ASSERT_EQ(::chmod(path_.c_str(), 0640), 0);
    struct stat before = {}, after = {};
    ASSERT_EQ(::stat(path_.c_str(), &before), 0);
    auto d = Device('D');
    ASSERT_EQ(d->SetDoor(true), kMciOk);
    EXPECT_FALSE(d->MediaPresent());
    // Replaced by rename, with its permissions, and no temporary left behind.
    ASSERT_EQ(::stat(path_.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path), {}), 1);
    EXPECT_EQ(InFile(4, "door"), "open");
    EXPECT_EQ(InFile(9, "mciOpenError"), "291");
    EXPECT_EQ(SimMachine::Load(path_)->Dir("A:\\???space.000", 7), "drvspace.000");

    // A door missing from the file is added on its first move; closing puts the disc back.
    ASSERT_EQ(Device('H')->SetDoor(true), kMciOk);
    EXPECT_EQ(InFile(7, "door"), "open");
    ASSERT_EQ(d->SetDoor(false), kMciOk);
    EXPECT_EQ(SimMachine::Load(path_)->Dir("D:\\", kAttrVolume), "HOLIDAY");
    // A drive that cannot eject refuses and the file is not touched.
    const std::string text = Read();
    EXPECT_EQ(Device('I')->SetDoor(true), kMciHardware);
    EXPECT_EQ(Read(), text);
}

TEST_F(SimMachineTest, EditsAreSeenAndBadFilesKeepTheLastGoodState) {
    auto d = Device('D');
    std::string text = kMachine;
    text.replace(text.find("STACKER"), 7, "STICKER");  // same size and inode, new content
    Write(text);
    EXPECT_EQ(Dir("E:\\", kAttrVolume), "STICKER");
    Write(R"({"drives":[{"letter":"D","type":"cdrom","disc":null}]})");
    EXPECT_FALSE(d->MediaPresent());
    EXPECT_EQ(machine_->GetDriveType("A:"), kDriveNoRootDir);
    EXPECT_EQ(machine_->LastReloadError(), "");

    // Half-edited: the state stays and the user's text is not overwritten by a door move. (A
    // file gone meanwhile is the desktop tests' device_faults.)
    const std::string half = R"({"drives":[{"letter":"D","type":"cdrom","door":"open"},)";
    Write(half);
    EXPECT_EQ(Device('D')->SetDoor(true), kMciHardware);
    EXPECT_THAT(machine_->LastReloadError(), StartsWith(path_ + ": not JSON"));
    EXPECT_EQ(Read(), half);
    Write(R"({"drives":[{"letter":"D","type":"cdrom","door":"open"}]})");
    EXPECT_FALSE(Device('D')->MediaPresent());
}

TEST_F(SimMachineTest, TheWatchTellsEveryChangeOfTheFileAndOfNothingElse) {
    auto feed = WatchMachineFile(path_);
    ASSERT_GE(feed->Descriptor(), 0);
    EXPECT_FALSE(feed->Drain());
    Write(kMachine);  // edited in place
    EXPECT_TRUE(feed->Drain());
    EXPECT_FALSE(feed->Drain()) << "a notice is told once";
    std::ofstream(dir_ / "other.json") << "{}";
    std::filesystem::create_directory(dir_ / "sub");
    std::ofstream(dir_ / "sub/machine.json") << "{}";
    EXPECT_FALSE(feed->Drain()) << "other files, and a file of that name elsewhere";
    EXPECT_EQ(Device('D')->SetDoor(true), kMciOk);  // written anew and renamed over it
    EXPECT_TRUE(feed->Drain());
    ASSERT_EQ(std::remove(path_.c_str()), 0);
    EXPECT_TRUE(feed->Drain());
    EXPECT_EQ(WatchMachineFile(dir_ / "missing/machine.json")->Descriptor(), -1);
}

// The faults of bad files are the corpora's (tests/corpora); here, a path that is itself odd.
TEST_F(SimMachineTest, AnOddPathStaysOnOneLine) {
    EXPECT_THAT([&] { SimMachine::Load(dir_ / "new\nline"); },
                ThrowsMessage<SimFileError>(StartsWith(dir_ / "new\\x0aline: cannot be read")));
}

}  // namespace
}  // namespace bm::platform::sim
