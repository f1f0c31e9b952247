// The simulated machine: drive queries, CD devices, write-back of the door and re-reading.
#include "platform/sim/sim_machine.h"

#include <sys/stat.h>

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <filesystem>

#include <gmock/gmock.h>

#include "platform/errors.h"
#include "temp_machine.h"

namespace bm::platform::sim {
namespace {

const char* const kMachine = R"({
  "drives": [
    { "letter": "A", "type": "removable",
      "medium": { "label": "", "serial": 305419896, "files": ["readme.txt", "drvspace.000"] } },
    { "letter": "B", "type": "removable", "medium": null },
    { "letter": "C", "type": "fixed" },
    { "letter": "D", "type": "cdrom", "canEject": true, "door": "closed",
      "disc": { "label": "HOLIDAY", "serial": 1234 }, "mciOpenError": 0 },
    { "letter": "E", "type": "removable", "medium": { "label": "STACKER", "files": ["DBLSPACE.000"] } },
    { "letter": "F", "type": "remote", "medium": { "label": "SHARE", "files": [] } },
    { "letter": "G", "type": "cdrom", "door": "open", "disc": { "label": "Audio CD" } },
    { "letter": "H", "type": "cdrom" },
    { "letter": "I", "type": "cdrom", "canEject": false, "disc": {} },
    { "letter": "J", "type": "cdrom", "mciOpenError": 291 },
    { "letter": "R", "type": "ramdisk" },
    { "letter": "U", "type": "unknown" }
  ]
})";

void Replace(std::string& text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
}

class SimMachineTest : public TempMachine {
  protected:
    void SetUp() override {
        TempMachine::SetUp();
        Write(kMachine);
        machine_ = SimMachine::Load(path_);
    }
    int ErrorOfDir(const std::string& pattern, int attributes = 0) {
        try {
            machine_->Dir(pattern, attributes);
        } catch (const RuntimeError& e) {
            return e.Number();
        }
        return 0;
    }
    std::unique_ptr<CdDevice> Device(char letter) {
        int error = -1;
        auto device = machine_->Open(letter, true, error);
        EXPECT_EQ(error, kMciOk);
        return device;
    }
    QJsonObject DriveInFile(int index) {
        const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(Read()));
        return doc.object().value(QLatin1String("drives")).toArray().at(index).toObject();
    }
    std::unique_ptr<SimMachine> machine_;
};

TEST_F(SimMachineTest, DriveTypes) {
    EXPECT_EQ(machine_->GetDriveType("A:"), kDriveRemovable);
    EXPECT_EQ(machine_->GetDriveType("C:"), kDriveFixed);
    EXPECT_EQ(machine_->GetDriveType("D:"), kDriveCdRom);
    EXPECT_EQ(machine_->GetDriveType("F:"), kDriveRemote);
    EXPECT_EQ(machine_->GetDriveType("R:"), kDriveRamDisk);
    EXPECT_EQ(machine_->GetDriveType("U:"), kDriveUnknown);
    EXPECT_EQ(machine_->GetDriveType("Z:"), kDriveNoRootDir);
    EXPECT_EQ(machine_->GetDriveType("d:\\"), kDriveCdRom);
    EXPECT_EQ(machine_->GetDriveType(""), kDriveNoRootDir);
}

TEST_F(SimMachineTest, DirPatternsAndMasks) {
    // The compressed-volume probe matches in any case.
    EXPECT_EQ(machine_->Dir("A:\\???space.000", 7), "drvspace.000");
    EXPECT_EQ(machine_->Dir("E:\\???space.000", 7), "DBLSPACE.000");
    EXPECT_EQ(machine_->Dir("F:\\???space.000", 7), "");
    EXPECT_EQ(machine_->Dir("A:\\*.exe", 0), "");
    // The root itself: its first file, or "" when empty.
    EXPECT_EQ(machine_->Dir("A:\\", 0), "readme.txt");
    EXPECT_EQ(machine_->Dir("F:\\", 0), "");
    EXPECT_EQ(machine_->Dir("C:\\", 0), "");
    // Only the volume bit alone asks for the label.
    EXPECT_EQ(machine_->Dir("E:\\", kAttrVolume), "STACKER");
    EXPECT_EQ(machine_->Dir("A:\\", kAttrVolume), "");
    EXPECT_EQ(machine_->Dir("D:\\", kAttrVolume), "HOLIDAY");
    EXPECT_EQ(machine_->Dir("I:\\", kAttrVolume), "");
    EXPECT_EQ(machine_->Dir("E:\\", kAttrVolume | 7), "DBLSPACE.000");

    std::uint32_t serial = 7;
    EXPECT_TRUE(machine_->GetVolumeSerial("A:\\", serial));
    EXPECT_EQ(serial, 305419896u);
    EXPECT_TRUE(machine_->GetVolumeSerial("C:\\", serial));
    EXPECT_EQ(serial, 0u);
}

TEST_F(SimMachineTest, DrivesThatAreNotReady) {
    EXPECT_EQ(ErrorOfDir("B:\\"), kErrDiskNotReady);  // medium null
    EXPECT_EQ(ErrorOfDir("B:\\", kAttrVolume), kErrDiskNotReady);
    EXPECT_EQ(ErrorOfDir("G:\\"), kErrDiskNotReady);         // door open
    EXPECT_EQ(ErrorOfDir("H:\\"), kErrDiskNotReady);         // no disc
    EXPECT_EQ(ErrorOfDir("U:\\"), kErrDiskNotReady);         // no medium given
    EXPECT_EQ(ErrorOfDir("Z:\\"), kErrBadFileName);          // no such drive
    EXPECT_EQ(ErrorOfDir("???space.000"), kErrBadFileName);  // no drive named
    std::uint32_t serial = 7;
    for (const char* root : {"B:\\", "G:\\", "H:\\", "Z:\\"}) {
        EXPECT_FALSE(machine_->GetVolumeSerial(root, serial)) << root;
    }
    EXPECT_EQ(serial, 7u);
}

TEST_F(SimMachineTest, DoorMovesAreWrittenBackAtomically) {
    ASSERT_EQ(::chmod(path_.c_str(), 0640), 0);
    struct stat before {};
    ASSERT_EQ(::stat(path_.c_str(), &before), 0);
    auto d = Device('D');
    ASSERT_EQ(d->SetDoor(true), kMciOk);
    EXPECT_FALSE(d->MediaPresent());
    EXPECT_EQ(ErrorOfDir("D:\\"), kErrDiskNotReady);
    EXPECT_EQ(d->SetDoor(true), kMciOk);  // already open

    // Replaced by rename, with its permissions, and no temporary left behind.
    struct stat after {};
    ASSERT_EQ(::stat(path_.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_),
                            std::filesystem::directory_iterator()),
              1);

    // Still a good machine file, with only the door changed.
    EXPECT_EQ(DriveInFile(3).value(QLatin1String("door")).toString(), QLatin1String("open"));
    EXPECT_EQ(DriveInFile(3).value(QLatin1String("disc")).toObject().value(QLatin1String("label")),
              QLatin1String("HOLIDAY"));
    EXPECT_EQ(DriveInFile(9).value(QLatin1String("mciOpenError")).toInt(), 291);
    auto reread = SimMachine::Load(path_);
    EXPECT_EQ(reread->Dir("A:\\???space.000", 7), "drvspace.000");
    EXPECT_EQ(reread->GetDriveType("U:"), kDriveUnknown);
    EXPECT_FALSE(Device('D')->MediaPresent());

    // A door missing from the file is added on its first move; closing puts the disc back.
    ASSERT_EQ(Device('H')->SetDoor(true), kMciOk);
    EXPECT_EQ(DriveInFile(7).value(QLatin1String("door")).toString(), QLatin1String("open"));
    ASSERT_EQ(d->SetDoor(false), kMciOk);
    EXPECT_EQ(machine_->Dir("D:\\", kAttrVolume), "HOLIDAY");
    EXPECT_EQ(SimMachine::Load(path_)->Dir("D:\\", kAttrVolume), "HOLIDAY");

    // A drive that cannot eject refuses and the file is not touched.
    const std::string text = Read();
    EXPECT_EQ(Device('I')->SetDoor(true), kMciHardware);
    EXPECT_EQ(Device('I')->SetDoor(false), kMciHardware);
    EXPECT_EQ(Read(), text);
}

TEST_F(SimMachineTest, EditsOfTheFileAreSeenAtTheNextQuery) {
    auto d = Device('D');
    std::string text = kMachine;
    Replace(text, R"("disc": { "label": "HOLIDAY", "serial": 1234 })", R"("disc": null)");
    Write(text);
    EXPECT_FALSE(d->MediaPresent());
    EXPECT_EQ(ErrorOfDir("D:\\"), kErrDiskNotReady);

    // Same size and inode, new content.
    Replace(text, "STACKER", "STICKER");
    Write(text);
    EXPECT_EQ(machine_->Dir("E:\\", kAttrVolume), "STICKER");

    // The drive's type changed under an open device.
    Write(R"({"drives":[{"letter":"D","type":"fixed"}]})");
    EXPECT_EQ(machine_->GetDriveType("D:"), kDriveFixed);
    EXPECT_EQ(machine_->LastReloadError(), "");
    EXPECT_FALSE(d->MediaPresent());
    EXPECT_EQ(d->SetDoor(true), kMciHardware);
}

TEST_F(SimMachineTest, FileGoneOrBadKeepsTheLastGoodState) {
    ASSERT_EQ(std::remove(path_.c_str()), 0);
    EXPECT_EQ(machine_->GetDriveType("D:"), kDriveCdRom);
    EXPECT_EQ(machine_->Dir("D:\\", kAttrVolume), "HOLIDAY");
    EXPECT_THAT(machine_->LastReloadError(), ::testing::HasSubstr("cannot be read"));
    // Nothing to write the door to: refused rather than recreating the file.
    EXPECT_EQ(Device('D')->SetDoor(true), kMciHardware);
    EXPECT_FALSE(std::filesystem::exists(path_));

    Write(R"({"drives":[{"letter":"D","type":"cdrom","door":"open"}]})");
    EXPECT_FALSE(Device('D')->MediaPresent());
    EXPECT_EQ(machine_->GetDriveType("A:"), kDriveNoRootDir);
    EXPECT_EQ(machine_->LastReloadError(), "");

    // Half-edited: the state stays and the user's text is not overwritten by a door move.
    Write(R"({"drives":[{"letter":"D","type":"cdrom","door":"open"},)");
    EXPECT_EQ(machine_->GetDriveType("D:"), kDriveCdRom);
    EXPECT_THAT(machine_->LastReloadError(), ::testing::StartsWith(path_ + ": not JSON"));
    EXPECT_EQ(Device('D')->SetDoor(false), kMciHardware);
    EXPECT_EQ(Read(), R"({"drives":[{"letter":"D","type":"cdrom","door":"open"},)");

    Write(kMachine);
    EXPECT_TRUE(Device('D')->MediaPresent());
}

TEST_F(SimMachineTest, RootOfTenThousandFiles) {
    std::string files;
    for (int i = 0; i < 10000; ++i) {
        files += (i ? ",\"file" : "\"file") + std::to_string(i) + ".dat\"";
    }
    Write(R"({"drives":[{"letter":"A","type":"removable","medium":{"files":[)" + files +
          R"(,"drvspace.000"]}}]})");
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(machine_->Dir("A:\\???space.000", 7), "drvspace.000");
    }
    EXPECT_EQ(machine_->Dir("A:\\", 0), "file0.dat");
    EXPECT_EQ(machine_->Dir("A:\\file9999.*", 0), "file9999.dat");
}

TEST_F(SimMachineTest, CommandStringsEndToEnd) {
    Mci& mci = machine_->MciDevice();
    std::string reply;
    EXPECT_EQ(mci.SendString("open D: type cdaudio alias cd shareable wait", reply), kMciOk);
    EXPECT_EQ(mci.SendString("status cd media present", reply), kMciOk);
    EXPECT_EQ(reply, "true");
    EXPECT_EQ(mci.SendString("capability cd can eject", reply), kMciOk);
    EXPECT_EQ(reply, "true");
    EXPECT_EQ(mci.SendString("open D: type cdaudio alias cd shareable wait", reply),
              kMciDuplicateAlias);
    EXPECT_EQ(mci.SendString("set cd door open wait", reply), kMciOk);
    EXPECT_EQ(mci.SendString("status cd media present", reply), kMciOk);
    EXPECT_EQ(reply, "false");
    EXPECT_EQ(DriveInFile(3).value(QLatin1String("door")).toString(), QLatin1String("open"));
    EXPECT_EQ(mci.SendString("set cd door closed wait", reply), kMciOk);
    EXPECT_EQ(mci.SendString("status cd media present", reply), kMciOk);
    EXPECT_EQ(reply, "true");
    EXPECT_EQ(mci.SendString("close cd", reply), kMciOk);
    EXPECT_EQ(mci.SendString("status cd media present", reply), kMciInvalidDeviceName);

    // No media with the door open (G) or no disc (H).
    for (const char* letter : {"G", "H"}) {
        EXPECT_EQ(mci.SendString("open " + std::string(letter) + ": type cdaudio alias x", reply),
                  kMciOk);
        EXPECT_EQ(mci.SendString("status x media present", reply), kMciOk);
        EXPECT_EQ(reply, "false") << letter;
        EXPECT_EQ(mci.SendString("capability x can eject", reply), kMciOk);
        EXPECT_EQ(reply, "true") << letter;  // the default
        EXPECT_EQ(mci.SendString("close x", reply), kMciOk);
    }
    EXPECT_EQ(mci.SendString("open J: type cdaudio alias cd shareable wait", reply),
              kMciMustUseShareable);
    EXPECT_EQ(mci.SendString("open Z: type cdaudio alias cd wait", reply), kMciInvalidDeviceName);
    EXPECT_EQ(mci.SendString("open A: type cdaudio alias cd wait", reply), kMciInvalidDeviceName);
    EXPECT_EQ(mci.SendString("open I: type cdaudio alias cd wait", reply), kMciOk);
    EXPECT_EQ(mci.SendString("set cd door open", reply), kMciHardware);
    EXPECT_EQ(mci.SendString("capability cd can eject", reply), kMciOk);
    EXPECT_EQ(reply, "false");
}

}  // namespace
}  // namespace bm::platform::sim
