// CD devices through the command strings, volume labels and serials, and the text parsers.
#include <gtest/gtest.h>

#include "linux_test_support.h"
#include "platform/errors.h"

namespace bm::platform::linux_::testing {
namespace {

constexpr const char* kOpenD = "open D: type cdaudio alias cd shareable wait";
constexpr const char* kOpenE = "open e: type cdaudio alias cd shareable wait";

TEST(LinuxCd, OpenPaths) {
    Rig rig;
    ASSERT_EQ(rig.Send(kOpenD), kMciOk);
    // The exclusive claim only tests for another holder; the device is kept shared.
    EXPECT_EQ(rig.io->LastFlags() & (O_EXCL | O_NONBLOCK), O_NONBLOCK);
    EXPECT_EQ(rig.Send("close cd"), kMciOk);
    EXPECT_TRUE(rig.io->openFds.empty());

    // sr0 is mounted: the kernel's exclusive claim is the mount's, so the disc is shared.
    rig.Node("/dev/sr0").exclusiveErrno = EBUSY;
    ASSERT_EQ(rig.Send(kOpenD), kMciOk);
    EXPECT_EQ(rig.io->LastFlags() & O_EXCL, 0);
    EXPECT_EQ(rig.Send("close cd"), kMciOk);
    rig.Node("/dev/sr0").openErrno = EACCES;
    EXPECT_EQ(rig.Send(kOpenD), kMciCannotOpenDevice);

    // sr1 is not mounted: another program holds it.
    rig.Node("/dev/sr1").exclusiveErrno = EBUSY;
    EXPECT_EQ(rig.Send(kOpenE), kMciMustUseShareable);
    for (int err : {EACCES, ENXIO, ENODEV, ENOMEDIUM}) {
        rig.Node("/dev/sr1").exclusiveErrno = err;
        EXPECT_EQ(rig.Send(kOpenE), kMciCannotOpenDevice) << err;
    }
    rig.io->nodes.erase("/dev/sr1");
    EXPECT_EQ(rig.Send(kOpenE), kMciCannotOpenDevice);
    EXPECT_TRUE(rig.io->openFds.empty());

    for (const char* notCd : {"open C: type cdaudio alias cd", "open F: type cdaudio alias cd",
                              "open A: type cdaudio alias cd", "open Q: type cdaudio alias cd"}) {
        EXPECT_EQ(rig.Send(notCd), kMciInvalidDeviceName) << notCd;
    }
}

TEST(LinuxCd, StatusCapabilityAndDoor) {
    Rig rig;
    FakeNode& sr0 = rig.Node("/dev/sr0");
    ASSERT_EQ(rig.Send(kOpenD), kMciOk);
    std::string reply;
    EXPECT_EQ(rig.Send("status cd media present", &reply), kMciOk);
    EXPECT_EQ(reply, "true");
    for (int status : {CDS_TRAY_OPEN, CDS_NO_DISC, CDS_DRIVE_NOT_READY, CDS_NO_INFO, -EIO}) {
        sr0.driveStatus = status;
        rig.Send("status cd media present wait", &reply);
        EXPECT_EQ(reply, "false") << status;
    }
    EXPECT_EQ(rig.Send("capability cd can eject", &reply), kMciOk);
    EXPECT_EQ(reply, "true");
    for (int caps : {CDC_CLOSE_TRAY | CDC_LOCK, -EINVAL}) {
        sr0.capability = caps;
        rig.Send("capability cd can eject", &reply);
        EXPECT_EQ(reply, "false") << caps;
    }

    EXPECT_EQ(rig.Send("set cd door open wait"), kMciOk);
    EXPECT_EQ(rig.Send("set cd door closed wait"), kMciOk);
    EXPECT_EQ(sr0.ejects, 1);
    EXPECT_EQ(sr0.trayCloses, 1);
    sr0.doorErrno = EBUSY;
    EXPECT_EQ(rig.Send("set cd door open"), kMciHardware);
    EXPECT_EQ(rig.Send("set cd door closed"), kMciHardware);
    EXPECT_EQ(rig.Send("close cd"), kMciOk);
    EXPECT_TRUE(rig.io->openFds.empty());
}

std::vector<unsigned char> FatSector(const std::string& label, std::uint32_t serial,
                                     unsigned char extended = 0x29, bool signature = true) {
    std::vector<unsigned char> s(512, 0);
    s[11] = 0x00, s[12] = 0x02;  // 512 bytes a sector
    s[13] = 1, s[14] = 1, s[16] = 2, s[21] = 0xF0, s[22] = 9;
    s[0x26] = extended;
    for (int i = 0; i < 4; ++i) {
        s[0x27 + i] = static_cast<unsigned char>(serial >> (8 * i));
    }
    const std::string padded = (label + std::string(11, ' ')).substr(0, 11);
    std::copy(padded.begin(), padded.end(), s.begin() + 0x2B);
    if (signature) {
        s[510] = 0x55, s[511] = 0xAA;
    }
    return s;
}

TEST(LinuxVolume, LabelsAndSerials) {
    Rig rig;
    LinuxMachine& m = *rig.machine;
    std::uint32_t serial = 0;
    EXPECT_EQ(m.Dir("F:\\", kAttrVolume), "MY DATA");
    ASSERT_TRUE(m.GetVolumeSerial("F:\\", serial));
    EXPECT_EQ(serial, 0x1234ABCDu);

    EXPECT_EQ(m.Dir("D:\\", kAttrVolume), "HOLIDAY");
    ASSERT_TRUE(m.GetVolumeSerial("D:\\", serial));
    EXPECT_EQ(serial, Fnv1a("2023-01-15-12-00-00-00"));
    EXPECT_EQ(m.Dir("C:\\", kAttrVolume), "system");

    // Audio tracks only, known from udev or from the drive.
    rig.Node("/dev/sr1").discStatus = -ENOSYS;
    EXPECT_EQ(m.Dir("E:\\", kAttrVolume), "Audio CD");
    serial = 5;
    ASSERT_TRUE(m.GetVolumeSerial("E:\\", serial));
    EXPECT_EQ(serial, 0u);
    rig.Node("/dev/sr0").discStatus = CDS_AUDIO;
    EXPECT_EQ(m.Dir("D:\\", kAttrVolume), "Audio CD");
    rig.Node("/dev/sr0").discStatus = CDS_MIXED;
    EXPECT_EQ(m.Dir("D:\\", kAttrVolume), "HOLIDAY");

    // Floppies: the boot sector, read only when it looks like FAT.
    struct Case {
        std::vector<unsigned char> sector;
        std::string label;
        std::uint32_t serial;
    };
    const std::vector<Case> floppies = {
        {FatSector("FLOPPY 1", 0xCAFEF00D), "FLOPPY 1", 0xCAFEF00D},
        {FatSector("NO NAME", 0x01020304), "", 0x01020304},
        {FatSector("OLD", 0x01020304, 0x28), "", 0x01020304},  // serial but no label field
        {FatSector("OLD", 0x01020304, 0x00), "", 0},           // neither
        {FatSector("NOSIG", 7, 0x29, false), "NOSIG", 7},      // a sane BPB suffices
        {FatSector(std::string("BAD\x01", 4), 9), "", 9},
        {std::vector<unsigned char>(512, 0), "", 0},
        {std::vector<unsigned char>(100, 0x29), "", 0},  // short read
    };
    for (const Case& c : floppies) {
        rig.Node("/dev/fd0").data = c.sector;
        EXPECT_EQ(m.Dir("A:\\", kAttrVolume), c.label);
        serial = 1;
        ASSERT_TRUE(m.GetVolumeSerial("A:\\", serial));
        EXPECT_EQ(serial, c.serial) << c.label;
    }
    rig.Node("/dev/fd1").openErrno = ENXIO;
    serial = 42;
    EXPECT_FALSE(m.GetVolumeSerial("B:\\", serial));
    EXPECT_EQ(serial, 42u);
    EXPECT_FALSE(m.GetVolumeSerial("H:\\", serial));
    EXPECT_TRUE(rig.io->openFds.empty());
}

TEST(LinuxVolume, Parsers) {
    EXPECT_EQ(DecodeUdevText("MY\\x20DATA"), "MY DATA");
    EXPECT_EQ(DecodeUdevText("a\\x5cb\\x2"), "a\\b\\x2");
    EXPECT_EQ(DecodeUdevText("\\xZZ|x\\x00y"), "\\xZZ|xy");

    EXPECT_EQ(SerialFromUuid("1234-abcd"), 0x1234ABCDu);
    EXPECT_EQ(SerialFromUuid(""), 0u);
    EXPECT_EQ(SerialFromUuid("12G4-ABCD"), Fnv1a("12G4-ABCD"));
}

}  // namespace
}  // namespace bm::platform::linux_::testing
