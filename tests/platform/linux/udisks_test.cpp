// A tray opens as the desktop's eject opens it: what the disc has mounted goes first, through
// udisks2 (a fake here), and a disc that stays mounted is never ejected. Also the label that the
// disc's own volume descriptors give.
#include <cstring>

#include <gtest/gtest.h>

#include "linux_test_support.h"
#include "platform/linux/udisks.h"

namespace bm::platform::linux_::testing {
namespace {

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

// Volume descriptors from sector 16 on: a primary one, optionally a Joliet one, a terminator.
std::vector<unsigned char> IsoDescriptors(const std::string& label, const std::u16string& joliet,
                                          const std::string& modified = "2024061512300000") {
    std::vector<unsigned char> d(3 * 2048, 0);
    auto header = [&d](std::size_t at, unsigned char type) {
        d[at] = type;
        std::memcpy(&d[at + 1], "CD001", 5);
        d[at + 6] = 1;
    };
    header(0, 1);
    const std::string padded = (label + std::string(32, ' ')).substr(0, 32);
    std::copy(padded.begin(), padded.end(), d.begin() + 40);
    std::fill(d.begin() + 813, d.begin() + 829, '0');
    std::copy(modified.begin(), modified.end(), d.begin() + 830);
    std::size_t next = 2048;
    if (!joliet.empty()) {
        header(next, 2);
        for (std::size_t i = 0; i < 16; ++i) {
            const char16_t c = i < joliet.size() ? joliet[i] : u' ';
            d[next + 40 + 2 * i] = static_cast<unsigned char>(c >> 8);
            d[next + 41 + 2 * i] = static_cast<unsigned char>(c & 0xFF);
        }
        std::memcpy(&d[next + 88], "%/E", 3);
        next += 2048;
    }
    header(next, 255);
    return d;
}

TEST(LinuxVolume, Iso9660Descriptors) {
    auto parse = [](const std::vector<unsigned char>& d) {
        return ParseIso9660(d.data(), d.size());
    };
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
    EXPECT_FALSE(parse(std::vector<unsigned char>(4096, 0)));  // no descriptor
    EXPECT_FALSE(parse(std::vector<unsigned char>(100, 1)));   // short
    EXPECT_FALSE(ParseIso9660(nullptr, 0));
}

TEST(LinuxVolume, ADiscsLabelComesFromTheDiscBeforeUdevHasReadIt) {
    Rig rig;
    // udev still has the disc that was in before (HOLIDAY); the drive holds a new one.
    std::vector<unsigned char> disc(16 * 2048, 0);
    const auto descriptors = IsoDescriptors("NEW DISC", u"");
    disc.insert(disc.end(), descriptors.begin(), descriptors.end());
    rig.Node("sr0").data = disc;
    EXPECT_EQ(rig.Dir("D:\\", kAttrVolume), "NEW DISC");
    std::uint32_t serial = 0;
    ASSERT_TRUE(rig.machine->GetVolumeSerial("D:\\", serial));
    EXPECT_EQ(serial, Fnv1a("2024-06-15-12-30-00-00"));
    // Not ISO 9660 (UDF alone, say): udev's word.
    rig.Node("sr0").data = std::vector<unsigned char>(40 * 2048, 0);
    EXPECT_EQ(rig.Dir("D:\\", kAttrVolume), "HOLIDAY");
    // An audio disc is not read at all.
    rig.Node("sr0").data = disc;
    rig.Node("sr0").discStatus = CDS_AUDIO;
    EXPECT_EQ(rig.Dir("D:\\", kAttrVolume), "Audio CD");
}

}  // namespace
}  // namespace bm::platform::linux_::testing
