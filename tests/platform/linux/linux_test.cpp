// The Linux backend on fixture trees: letters, media, listings, CD devices, labels, bad input.
#include <cstring>
#include <tuple>

#include <gtest/gtest.h>

#include "linux_test_support.h"

namespace bm::platform::linux_::testing {
namespace {

TEST(LinuxDriveMap, LettersFollowDeviceKindsAndNumericOrder) {
    Rig rig;
    // The fixed disk, the stick that calls itself fixed and the loop device get no letter.
    const std::string names[] = {"fd0", "fd1", "/", "sr0", "sr1", "sdb", "mmcblk0", ""};
    const int types[] = {2, 2, 3, 5, 5, 2, 2, kDriveNoRootDir};
    for (int i = 0; i < 8; ++i) {
        const char letter = static_cast<char>('A' + i);
        EXPECT_EQ(rig.machine->DeviceName(letter), names[i]) << letter;
        EXPECT_EQ(rig.machine->GetDriveType(std::string(1, letter) + ":\\"), types[i]) << letter;
    }
    EXPECT_EQ(rig.machine->GetDriveType("f:"), kDriveRemovable);
    EXPECT_EQ(rig.Dir("Z:\\"), "error " + std::to_string(kErrBadFileName));
    Rig order("order");
    EXPECT_EQ(order.machine->DeviceName('D'), "sr2");
    EXPECT_EQ(order.machine->DeviceName('E'), "sr10");
}

TEST(LinuxDriveMap, MediaTestsAndRootListing) {
    Rig rig;
    const std::pair<const char*, std::string> cases[] = {
        {"F:\\???space.000", "abcspace.000"},  // the mounted stick
        {"f:\\???SPACE.000", "abcspace.000"},
        {"F:\\*.txt", "readme.txt"},
        {"F:\\do*", ""},             // a directory, not asked for
        {"F:\\docs\\note.txt", ""},  // the root only
        {"D:\\*", "setup.txt"},      // the mounted disc
        {"C:\\", ""},                // the root file system
        {"A:\\", ""},                // a floppy that opens
        {"G:\\", kNotReady},         // card reader without a card: size 0
    };
    for (const auto& [pattern, result] : cases) {
        EXPECT_EQ(rig.Dir(pattern), result) << pattern;
    }
    EXPECT_EQ(rig.Dir("F:\\.*", kAttrDirectory), ".hidden");  // never "." or ".."
    // The floppy is probed with a blocking open: only that makes the driver look for a disk.
    EXPECT_EQ(rig.io->lastFlags & (O_NONBLOCK | O_ACCMODE), O_RDONLY);
    rig.Node("fd1").openErrno = ENXIO;
    EXPECT_EQ(rig.Dir("B:\\"), kNotReady);
    for (int status : {CDS_TRAY_OPEN, CDS_NO_DISC, CDS_DRIVE_NOT_READY, -EIO}) {
        rig.Node("sr1").driveStatus = status;
        EXPECT_EQ(rig.Dir("E:\\"), kNotReady) << status;
    }
    EXPECT_TRUE(rig.io->openFds.empty());
}

TEST(LinuxDriveMap, GarbageInputNeverCrashes) {
    Rig rig("garbage");
    LinuxMachine& m = *rig.machine;
    EXPECT_EQ(m.DeviceName('D'), "sdb");
    EXPECT_EQ(m.DeviceName('E'), "sdd");
    EXPECT_EQ(m.DeviceName('F'), "sde");
    EXPECT_EQ(m.DeviceName('G'), "");
    EXPECT_EQ(rig.Dir("D:\\"), kNotReady);   // size unreadable: no medium
    EXPECT_EQ(rig.Dir("F:\\*"), kNotReady);  // its mount point is gone
    EXPECT_EQ(m.Dir("F:\\", kAttrVolume), "");
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        std::uint32_t serial = 0;
        m.GetVolumeSerial(std::string(1, letter) + ":\\", serial);
    }
}

// The doors, mounted disc or not, are udisks_test.cpp's.
TEST(LinuxCd, OpenPathsStatusAndCapability) {
    Rig rig;
    const std::string openD = "open D: type cdaudio alias cd shareable wait";
    ASSERT_EQ(rig.Send(openD), kMciOk);
    EXPECT_EQ(rig.io->lastFlags & O_NONBLOCK, O_NONBLOCK);
    EXPECT_EQ(rig.Send("close cd"), kMciOk);
    // sr0 is mounted: the kernel's exclusive claim is the mount's, so the disc is shared.
    rig.Node("sr0").exclusiveErrno = EBUSY;
    ASSERT_EQ(rig.Send(openD), kMciOk);
    EXPECT_EQ(rig.io->lastFlags & O_EXCL, 0);
    EXPECT_EQ(rig.Send("close cd"), kMciOk);
    // sr1 is not mounted: another program holds it.
    FakeNode& sr1 = rig.Node("sr1");
    sr1.exclusiveErrno = EBUSY;
    EXPECT_EQ(rig.Send("open e: type cdaudio alias cd"), kMciMustUseShareable);
    sr1.exclusiveErrno = EACCES;
    EXPECT_EQ(rig.Send("open e: type cdaudio alias cd"), kMciCannotOpenDevice);
    EXPECT_EQ(rig.Send("open F: type cdaudio alias cd"), kMciInvalidDeviceName);
    EXPECT_TRUE(rig.io->openFds.empty());

    sr1.exclusiveErrno = 0;
    ASSERT_EQ(rig.Send("open E: type cdaudio alias cd"), kMciOk);
    EXPECT_EQ(rig.Send("status cd media present"), kMciOk);
    EXPECT_EQ(rig.reply, "true");
    sr1.driveStatus = CDS_TRAY_OPEN;
    rig.Send("status cd media present wait");
    EXPECT_EQ(rig.reply, "false");
    EXPECT_EQ(rig.Send("capability cd can eject"), kMciOk);
    EXPECT_EQ(rig.reply, "true");
    sr1.capability = CDC_CLOSE_TRAY | CDC_LOCK;
    rig.Send("capability cd can eject");
    EXPECT_EQ(rig.reply, "false");
}

std::vector<unsigned char> FatSector(const std::string& label, std::uint32_t serial,
                                     unsigned char extended = 0x29) {
    std::vector<unsigned char> s(512, 0);
    s[12] = 0x02, s[13] = 1, s[14] = 1, s[16] = 2, s[21] = 0xF0, s[22] = 9;  // a floppy's BPB
    s[0x26] = extended;
    std::memcpy(&s[0x27], &serial, 4);
    const std::string padded = (label + std::string(11, ' ')).substr(0, 11);
    std::copy(padded.begin(), padded.end(), s.begin() + 0x2B);
    s[510] = 0x55, s[511] = 0xAA;
    return s;
}

TEST(LinuxVolume, LabelsAndSerials) {
    Rig rig;
    std::uint32_t serial = 0;
    EXPECT_EQ(rig.Dir("F:\\", kAttrVolume), "MY DATA");
    ASSERT_TRUE(rig.machine->GetVolumeSerial("F:\\", serial));
    EXPECT_EQ(serial, 0x1234ABCDu);
    EXPECT_EQ(rig.Dir("D:\\", kAttrVolume), "HOLIDAY");
    ASSERT_TRUE(rig.machine->GetVolumeSerial("D:\\", serial));
    EXPECT_EQ(serial, 0x8850A980u);                       // the published FNV-1a of the disc's UUID
    EXPECT_EQ(rig.Dir("E:\\", kAttrVolume), "Audio CD");  // known from udev
    rig.Node("sr0").discStatus = CDS_AUDIO;               // or from the drive
    EXPECT_EQ(rig.Dir("D:\\", kAttrVolume), "Audio CD");
    // Floppies: the boot sector, read only when it looks like FAT.
    const std::tuple<std::vector<unsigned char>, std::string, std::uint32_t> floppies[] = {
        {FatSector("FLOPPY 1", 0xCAFEF00D), "FLOPPY 1", 0xCAFEF00D},
        {FatSector("NO NAME", 0x01020304), "", 0x01020304},
        {FatSector("OLD", 0x01020304, 0x28), "", 0x01020304},  // serial but no label field
        {std::vector<unsigned char>(512, 0), "", 0},
        {std::vector<unsigned char>(100, 0x29), "", 0},  // short read
    };
    for (const auto& [sector, label, number] : floppies) {
        rig.Node("fd0").data = sector;
        EXPECT_EQ(rig.Dir("A:\\", kAttrVolume), label);
        ASSERT_TRUE(rig.machine->GetVolumeSerial("A:\\", serial));
        EXPECT_EQ(serial, number) << label;
    }
    // The disc leaves after its status was read: the re-check catches it.
    rig.Node("sr0").onDiscStatus = [&rig] { rig.Node("sr0").driveStatus = CDS_NO_DISC; };
    EXPECT_THROW(rig.machine->Dir("D:\\", kAttrVolume), RuntimeError);
    EXPECT_TRUE(rig.io->openFds.empty());
}

TEST(LinuxVolume, TextParsers) {
    EXPECT_EQ(DecodeUdevText("a\\x5cb\\x2|\\xZZ|x\\x00y"), "a\\b\\x2|\\xZZ|xy");
    EXPECT_EQ(SerialFromUuid("1234-abcd"), 0x1234ABCDu);
    EXPECT_EQ(SerialFromUuid(""), 0u);
    EXPECT_EQ(SerialFromUuid("12G4-ABCD"), Fnv1a("12G4-ABCD"));
    EXPECT_EQ(Fnv1a("foobar"), 0xBF9CF968u);
    EXPECT_EQ(ParseDevNum("8:17"), (DevNum{8, 17}));
    for (const char* bad : {"8", ":1", "8:17x", "-1:2", "99999999999:1", ""}) {
        EXPECT_FALSE(ParseDevNum(bad)) << bad;
    }
}

}  // namespace
}  // namespace bm::platform::linux_::testing
