// The Linux backend on fixture trees (tests/support/fixture_source.h) under a mount table the
// test may change, with a scripted DeviceIo and udisks2 played by the test: letters, media,
// listings, CD devices, labels, bad input, and a tray that opens as the desktop's eject opens it
// (what the disc has mounted goes first; a disc that stays mounted is never ejected).
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "linux_fakes.h"  // with the backend it plays against

namespace bm::platform::linux_ {
namespace {

const std::string kNotReady = "error " + std::to_string(kErrDiskNotReady);

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

// The doors, mounted disc or not, are the LinuxMountedDisc tests'.
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
    EXPECT_EQ(rig.Ask("status cd media present"), "0 true");
    sr1.driveStatus = CDS_TRAY_OPEN;
    EXPECT_EQ(rig.Ask("status cd media present wait"), "0 false");
    EXPECT_EQ(rig.Ask("capability cd can eject"), "0 true");
    sr1.capability = CDC_CLOSE_TRAY | CDC_LOCK;
    EXPECT_EQ(rig.Ask("capability cd can eject"), "0 false");
}

using Bytes = std::vector<unsigned char>;

// The text into the image at that offset, cut or padded with spaces to the width if one is given.
void Put(Bytes& image, std::size_t at, const std::string& text, std::size_t width = 0) {
    const std::string field = width == 0 ? text : (text + std::string(width, ' ')).substr(0, width);
    std::copy(field.begin(), field.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
}

Bytes FatSector(const std::string& label, std::uint32_t serial, char extended = 0x29) {
    Bytes s(512, 0);
    Put(s, 12, std::string("\x02\1\1\0\2\0\0\0\0\xF0\x09", 11));  // a floppy's BPB
    Put(s, 0x26, std::string(1, extended));
    std::memcpy(&s[0x27], &serial, 4);
    Put(s, 0x2B, label, 11);
    Put(s, 510, "\x55\xAA");
    return s;
}

// Volume descriptors from sector 16 on: a primary one, optionally a Joliet one, a terminator.
Bytes IsoDescriptors(const std::string& label, const std::u16string& joliet,
                     const std::string& modified = "2024061512300000") {
    Bytes d(3 * 2048, 0);
    Put(d, 0, "\1CD001\1");
    Put(d, 40, label, 32);
    Put(d, 813, std::string(16, '0') + '\0' + modified);
    std::size_t next = 2048;
    if (!joliet.empty()) {
        std::string name;  // UCS-2, big-endian
        for (const char16_t c : (joliet + std::u16string(16, u' ')).substr(0, 16)) {
            name += {static_cast<char>(c >> 8), static_cast<char>(c & 0xFF)};
        }
        Put(d, next, "\2CD001\1");
        Put(d, next + 40, name);
        Put(d, next + 88, "%/E");
        next += 2048;
    }
    Put(d, next, "\377CD001\1");
    return d;
}

TEST(LinuxVolume, LabelsAndSerials) {
    Rig rig;
    using V = std::pair<std::string, std::uint32_t>;  // the label and the serial, which is read
    const auto volume = [&rig](const char* root) {
        V v{rig.Dir(root, kAttrVolume), 0};
        EXPECT_TRUE(rig.machine->GetVolumeSerial(root, v.second)) << root;
        return v;
    };
    EXPECT_EQ(volume("F:\\"), V("MY DATA", 0x1234ABCDu));
    // A disc without ISO 9660 descriptors (UDF alone, say): udev's word.
    rig.Node("sr0").data.assign(40 * 2048, 0);
    EXPECT_EQ(volume("D:\\"), V("HOLIDAY", 0x8850A980u));  // the published FNV-1a of its UUID
    // udev still has the disc that was in before (HOLIDAY); the drive holds a new one.
    const auto descriptors = IsoDescriptors("NEW DISC", u"");
    rig.Node("sr0").data.resize(16 * 2048);
    rig.Node("sr0").data.insert(rig.Node("sr0").data.end(), descriptors.begin(), descriptors.end());
    EXPECT_EQ(volume("D:\\"), V("NEW DISC", Fnv1a("2024-06-15-12-30-00-00")));
    EXPECT_EQ(rig.Dir("E:\\", kAttrVolume), "Audio CD");  // known from udev
    rig.Node("sr0").discStatus = CDS_AUDIO;  // or from the drive, whose disc is not read
    EXPECT_EQ(rig.Dir("D:\\", kAttrVolume), "Audio CD");
    // Floppies: the boot sector, read only when it looks like FAT.
    const std::tuple<Bytes, std::string, std::uint32_t> floppies[] = {
        {FatSector("FLOPPY 1", 0xCAFEF00D), "FLOPPY 1", 0xCAFEF00D},
        {FatSector("NO NAME", 0x01020304), "", 0x01020304},
        {FatSector("OLD", 0x01020304, 0x28), "", 0x01020304},  // serial but no label field
        {Bytes(512, 0), "", 0},
        {Bytes(100, 0x29), "", 0},  // short read
    };
    for (const auto& [sector, label, number] : floppies) {
        rig.Node("fd0").data = sector;
        EXPECT_EQ(volume("A:\\"), V(label, number));
    }
    // The disc leaves after its status was read: the re-check catches it.
    rig.Node("sr0").onDiscStatus = [&rig] { rig.Node("sr0").driveStatus = CDS_NO_DISC; };
    EXPECT_THROW(rig.machine->Dir("D:\\", kAttrVolume), RuntimeError);
    EXPECT_TRUE(rig.io->openFds.empty());
}

TEST(LinuxVolume, Iso9660Descriptors) {
    auto parse = [](const Bytes& d) { return ParseIso9660(d.data(), d.size()); };
    auto info = parse(IsoDescriptors("MY DATA", u""));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->label, "MY DATA");
    EXPECT_EQ(info->serial, Fnv1a("2024-06-15-12-30-00-00"));  // blkid's UUID of the disc
    EXPECT_EQ(parse(IsoDescriptors("MY_DATA", u"My Data"))->label, "My Data");
    EXPECT_EQ(parse(IsoDescriptors("CAF_", u"Caf\u00e9"))->label, "Caf\xc3\xa9");
    // Joliet holds 16 characters; the primary descriptor the rest of a long label.
    EXPECT_EQ(parse(IsoDescriptors("HOLIDAY PHOTOS OF THE SUMMER", u"Holiday photos o"))->label,
              "Holiday photos oF THE SUMMER");
    // Created but never modified: the creation date.
    auto created = IsoDescriptors("X", u"", std::string(16, '0'));
    std::memcpy(&created[813], "1999123123595900", 16);
    EXPECT_EQ(parse(created)->serial, Fnv1a("1999-12-31-23-59-59-00"));
    EXPECT_EQ(parse(IsoDescriptors("X", u"", std::string(16, '0')))->serial, 0u);
    EXPECT_FALSE(parse(Bytes(4096, 0)));  // no descriptor
    EXPECT_FALSE(parse(Bytes(100, 1)));   // short
    EXPECT_FALSE(ParseIso9660(nullptr, 0));
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

using Calls = std::vector<std::string>;

// D: (sr0) is mounted, E: (sr1) is not. A disc that stays mounted is never ejected.
TEST(LinuxMountedDisc, OpensOnlyOnceUnmounted) {
    using S = UdisksStatus;
    struct Case {
        const char* what;
        char letter;
        S unmount;
        S eject;  // the daemon's
        bool available;
        bool keepMounts;
        int code;
        Calls calls;
        int driveEjects;  // tried by the drive itself
        bool stillMounted;
    };
    const Calls both{"Unmount sr0", "Eject sr0"};
    const Calls one{"Unmount sr0"};
    const Case cases[] = {
        // clang-format off
        {"unmounted, then ejected by the daemon", 'D', S::kOk, S::kOk, true, false, kMciOk, both, 0, false},
        {"nothing mounted: the drive's own eject", 'E', S::kOk, S::kOk, true, false, kMciOk, {}, 1, true},
        {"busy", 'D', S::kBusy, S::kOk, true, false, kMciDiscInUse, one, 0, true},
        {"not allowed", 'D', S::kNotAuthorized, S::kOk, true, false, kMciNotAuthorized, one, 0, true},
        {"failed", 'D', S::kFailed, S::kOk, true, false, kMciUnmountFailed, one, 0, true},
        {"the daemon left between the calls", 'D', S::kAbsent, S::kOk, true, false, kMciDiscMounted, one, 0, true},
        {"no udisks2", 'D', S::kOk, S::kOk, false, false, kMciDiscMounted, {}, 0, true},
        {"no udisks2, nothing mounted", 'E', S::kOk, S::kOk, false, false, kMciOk, {}, 1, true},
        {"said unmounted, still mounted", 'D', S::kOk, S::kOk, true, true, kMciDiscMounted, Calls(4, "Unmount sr0"), 0, true},
        // Not in an active session, say: the drive's own eject, once unmounted.
        {"the daemon's eject refused", 'D', S::kOk, S::kNotAuthorized, true, false, kMciOk, both, 1, false},
        {"both refuse: the drive's refusal", 'D', S::kOk, S::kFailed, true, false, kMciHardware, both, 1, false},
        // clang-format on
    };
    for (const Case& c : cases) {
        Rig rig;
        rig.udisks->unmount = c.unmount;
        rig.udisks->eject = c.eject;
        rig.udisks->available = c.available;
        rig.udisks->keepMounts = c.keepMounts;
        if (c.code == kMciHardware) {
            rig.Node("sr0").doorErrno = EIO;
        }
        EXPECT_EQ(rig.OpenTray(c.letter), c.code) << c.what;
        EXPECT_EQ(rig.udisks->calls, c.calls) << c.what;
        EXPECT_EQ(rig.Node(c.letter == 'D' ? "sr0" : "sr1").ejects, c.driveEjects) << c.what;
        EXPECT_EQ(rig.table->Mounted({11, 0}), c.stillMounted) << c.what;
        EXPECT_TRUE(rig.io->openFds.empty()) << c.what;
    }
    // Closing needs no unmount.
    Rig rig;
    rig.udisks->available = true;
    rig.Send("open D: type cdaudio alias cd");
    EXPECT_EQ(rig.Send("set cd door closed"), kMciOk);
    EXPECT_TRUE(rig.udisks->calls.empty());
    EXPECT_EQ(rig.Node("sr0").trayCloses, 1);
}

TEST(LinuxMountedDisc, EveryPartitionAndEveryMountGoesFirst) {
    Rig rig;
    rig.udisks->available = true;
    BlockDevice disc{"sr0", {11, 0}, true, 1000, {}};
    disc.partitions = {BlockDevice{"sr0p1", {259, 1}, false, 400, {}},
                       BlockDevice{"sr0p2", {259, 2}, false, 600, {}}};
    rig.table->disks["sr0"] = disc;
    rig.udisks->devices["sr0p1"] = {259, 1};
    rig.udisks->devices["sr0p2"] = {259, 2};
    const auto at = [](DevNum dev, const char* where) {
        return MountEntry{dev, "/", where, where};
    };
    rig.table->mounts = {at({259, 1}, "/media/user/BOOT"), at({259, 2}, "/media/user/DATA"),
                         at({259, 2}, "/mnt/again")};
    EXPECT_EQ(rig.OpenTray('D'), kMciOk);
    EXPECT_EQ(rig.udisks->calls,
              (Calls{"Unmount sr0p1", "Unmount sr0p2", "Unmount sr0p2", "Eject sr0"}));
    EXPECT_TRUE(rig.table->mounts.empty());
}

TEST(LinuxUdisks, NamesAndErrors) {
    EXPECT_EQ(UdisksBlockPath("sr0"), "/org/freedesktop/UDisks2/block_devices/sr0");
    EXPECT_EQ(UdisksBlockPath("dm-0"), "/org/freedesktop/UDisks2/block_devices/dm_2d0");
    const std::pair<const char*, UdisksStatus> errors[] = {
        {"", UdisksStatus::kOk},
        {"org.freedesktop.UDisks2.Error.DeviceBusy", UdisksStatus::kBusy},
        {"org.freedesktop.UDisks2.Error.NotAuthorized", UdisksStatus::kNotAuthorized},
        {"org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain", UdisksStatus::kNotAuthorized},
        {"org.freedesktop.UDisks2.Error.NotAuthorizedDismissed", UdisksStatus::kNotAuthorized},
        {"org.freedesktop.UDisks2.Error.NotMounted", UdisksStatus::kNotMounted},
        {"org.freedesktop.DBus.Error.ServiceUnknown", UdisksStatus::kAbsent},
        {"org.freedesktop.DBus.Error.NoServer", UdisksStatus::kAbsent},
        {"org.freedesktop.UDisks2.Error.Failed", UdisksStatus::kFailed},
        {"org.freedesktop.DBus.Error.UnknownObject", UdisksStatus::kFailed},
    };
    for (const auto& [name, status] : errors) {
        EXPECT_EQ(UdisksStatusOf(name), status) << name;
    }
    EXPECT_FALSE(MakeNoUdisks()->Available());
}

}  // namespace
}  // namespace bm::platform::linux_
