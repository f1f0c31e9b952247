// Letters, media tests, root listings and resilience of the Linux backend.
#include <gtest/gtest.h>

#include "linux_test_support.h"
#include "platform/errors.h"

namespace bm::platform::linux_::testing {
namespace {

int ErrorOf(LinuxMachine& m, const std::string& pattern, int attributes = kAttrNormal) {
    try {
        m.Dir(pattern, attributes);
        return 0;
    } catch (const RuntimeError& e) {
        return e.Number();
    }
}

TEST(LinuxDriveMap, LettersFollowDeviceKinds) {
    Rig rig;
    LinuxMachine& m = *rig.machine;
    const std::vector<std::pair<std::string, int>> expected = {
        {"fd0", 2}, {"fd1", 2}, {"/", 3}, {"sr0", 5}, {"sr1", 5}, {"sdb", 2}, {"mmcblk0", 2}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const char letter = static_cast<char>('A' + i);
        EXPECT_EQ(m.DeviceName(letter), expected[i].first) << letter;
        EXPECT_EQ(m.GetDriveType(std::string(1, letter) + ":\\"), expected[i].second) << letter;
    }
    // The fixed disk, the stick that calls itself fixed and the loop device get no letter.
    for (char letter = 'H'; letter <= 'Z'; ++letter) {
        EXPECT_EQ(m.GetDriveType(std::string(1, letter) + ":"), kDriveNoRootDir) << letter;
        EXPECT_EQ(ErrorOf(m, std::string(1, letter) + ":\\"), kErrBadFileName) << letter;
    }
    EXPECT_EQ(m.GetDriveType("f:\\"), kDriveRemovable);
    EXPECT_EQ(m.GetDriveType(""), kDriveNoRootDir);
    EXPECT_EQ(m.GetDriveType("5:"), kDriveNoRootDir);
}

TEST(LinuxDriveMap, NumericOrderCapAtZAndStableAfterRemoval) {
    TempTree tree("");
    tree.Disk("sr10", "11:10", true);
    tree.Disk("sr2", "11:2", true);
    for (int i = 0; i < 30; ++i) {  // sda.. sdz, then sdaa..
        std::string name = "sd";
        if (i >= 26) {
            name += 'a';
        }
        name += static_cast<char>('a' + i % 26);
        tree.Disk(name, "8:" + std::to_string(i * 16), true);
    }
    Rig rig(tree.Root(), [](FakeDeviceIo& io) { io.nodes["/dev/sr2"] = FakeNode{}; });
    LinuxMachine& m = *rig.machine;
    EXPECT_EQ(m.DeviceName('D'), "sr2");
    EXPECT_EQ(m.DeviceName('E'), "sr10");
    EXPECT_EQ(m.DeviceName('F'), "sda");
    EXPECT_EQ(m.DeviceName('Z'), "sdu");

    // Pulled devices keep their letters and read as no medium.
    tree.Remove("sys/block/sr2");
    tree.Remove("sys/block/sda");
    rig.io->nodes.erase("/dev/sr2");
    EXPECT_EQ(m.DeviceName('D'), "sr2");
    EXPECT_EQ(ErrorOf(m, "D:\\"), kErrDiskNotReady);
    EXPECT_EQ(ErrorOf(m, "F:\\"), kErrDiskNotReady);
    EXPECT_EQ(m.DeviceName('G'), "sdb");
    Rig after(tree.Root());
    EXPECT_EQ(after.machine->DeviceName('D'), "sr10");  // a new machine letters afresh
}

TEST(LinuxDriveMap, MediaTests) {
    Rig rig;
    LinuxMachine& m = *rig.machine;
    // Mounted stick and disc, the root file system, a floppy that opens.
    for (const char* root : {"F:\\", "D:\\", "C:\\", "A:\\"}) {
        EXPECT_EQ(ErrorOf(m, root), 0) << root;
    }
    // The floppy is probed with a blocking open: only that makes the driver look for a disk.
    EXPECT_EQ(rig.io->opens.back().first, "/dev/fd0");
    EXPECT_EQ(rig.io->LastFlags() & (O_NONBLOCK | O_ACCMODE), O_RDONLY);
    EXPECT_TRUE(rig.io->openFds.empty());

    rig.Node("/dev/fd1").openErrno = ENXIO;
    EXPECT_EQ(ErrorOf(m, "B:\\"), kErrDiskNotReady);
    rig.Node("/dev/fd1").openErrno = EACCES;
    EXPECT_EQ(ErrorOf(m, "B:\\"), kErrDiskNotReady);
    EXPECT_EQ(ErrorOf(m, "G:\\"), kErrDiskNotReady);  // card reader without a card: size 0
    for (int status : {CDS_TRAY_OPEN, CDS_NO_DISC, CDS_DRIVE_NOT_READY, -EIO}) {
        rig.Node("/dev/sr1").driveStatus = status;
        EXPECT_EQ(ErrorOf(m, "E:\\"), kErrDiskNotReady) << status;
    }
    rig.io->nodes.erase("/dev/sr1");
    EXPECT_EQ(ErrorOf(m, "E:\\"), kErrDiskNotReady);
    EXPECT_TRUE(rig.io->openFds.empty());

    // A stick nobody mounted holds a medium but lists nothing.
    TempTree tree;
    tree.Write("proc/self/mountinfo", "26 1 8:1 / / rw - ext4 /dev/sda1 rw\n");
    Rig unmounted(tree.Root());
    EXPECT_EQ(unmounted.machine->Dir("F:\\*", kAttrNormal), "");
    // A fixed disk that took the removable stick's name is no medium.
    tree.Write("sys/block/sdb/removable", "0\n");
    EXPECT_EQ(ErrorOf(*unmounted.machine, "F:\\"), kErrDiskNotReady);
}

TEST(LinuxDriveMap, ListsTheMountedRoot) {
    Rig rig;
    LinuxMachine& m = *rig.machine;
    EXPECT_EQ(m.Dir("F:\\???space.000", kAttrNormal), "abcspace.000");
    EXPECT_EQ(m.Dir("F:\\??space.000", kAttrNormal), "");
    EXPECT_EQ(m.Dir("F:\\.h*", kAttrHidden), ".hidden");
    EXPECT_EQ(m.Dir("F:\\do*", kAttrNormal), "");  // a directory, not asked for
    EXPECT_EQ(m.Dir("F:\\do*", kAttrDirectory), "docs");
    EXPECT_EQ(m.Dir("D:\\*", kAttrNormal), "setup.txt");
    EXPECT_EQ(m.Dir("F:\\docs\\note.txt", kAttrNormal), "");  // the root only
}

// Devices vanish between the probe and the label read; the caller keeps its old label.
class VanishingSource final : public BlockDeviceSource {
  public:
    VanishingSource(std::unique_ptr<BlockDeviceSource> inner, std::function<void()> onMounts)
        : inner_(std::move(inner)), onMounts_(std::move(onMounts)) {}
    std::vector<BlockDevice> ListDisks() override { return inner_->ListDisks(); }
    std::optional<BlockDevice> FindDisk(const std::string& n) override {
        return inner_->FindDisk(n);
    }
    std::optional<Properties> DeviceProperties(DevNum d) override {
        return inner_->DeviceProperties(d);
    }
    std::vector<MountEntry> Mounts() override {
        auto mounts = inner_->Mounts();
        if (armed && onMounts_) {  // the probe asks for mounts last
            armed = false;
            onMounts_();
        }
        return mounts;
    }
    bool armed = false;

  private:
    std::unique_ptr<BlockDeviceSource> inner_;
    std::function<void()> onMounts_;
};

TEST(LinuxDriveMap, MediumRemovedWhileReadingTheLabel) {
    TempTree tree;
    auto fake = std::make_unique<FakeDeviceIo>();
    FakeDeviceIo* io = fake.get();
    io->nodes["/dev/sr0"] = FakeNode{};
    io->nodes["/dev/fd0"] = FakeNode{};
    auto source = std::make_unique<VanishingSource>(MakeFixtureSource(tree.Root()), [&tree] {
        tree.Remove("sys/block/sdb");
        tree.Remove("run/udev/data/b8:18");
    });
    VanishingSource* vanishing = source.get();
    LinuxMachine m(std::move(source), std::move(fake));

    vanishing->armed = true;
    EXPECT_EQ(ErrorOf(m, "F:\\", kAttrVolume), kErrDiskNotReady);
    std::uint32_t serial = 77;
    EXPECT_FALSE(m.GetVolumeSerial("F:\\", serial));
    EXPECT_EQ(serial, 77u);

    // The disc leaves after its status was read: the re-check catches it.
    io->nodes["/dev/sr0"].onDiscStatus = [io] { io->nodes["/dev/sr0"].driveStatus = CDS_NO_DISC; };
    EXPECT_EQ(ErrorOf(m, "D:\\", kAttrVolume), kErrDiskNotReady);
    // The floppy fails its read.
    io->nodes["/dev/fd0"].readErrno = EIO;
    EXPECT_EQ(ErrorOf(m, "A:\\", kAttrVolume), kErrDiskNotReady);
    EXPECT_FALSE(m.GetVolumeSerial("A:\\", serial));
    EXPECT_TRUE(io->openFds.empty());
}

TEST(LinuxDriveMap, GarbageInputNeverCrashes) {
    TempTree tree("");
    tree.Disk("sdb", "8:16", true);
    tree.Write("sys/block/sdb/size", "-5\n");
    tree.Disk("sdc", "not a number", true);
    tree.Disk("sdd", "8:48", true, "18446744073709551616");  // overflows 64 bits
    tree.Write("sys/block/sdd/sdd1/partition", "x");
    tree.Write("sys/block/sdd/sdd1/dev", "8:");
    tree.Disk("sde", "8:64", true, "100");
    tree.Write("sys/block/sde/sde1/partition", "1");
    tree.Write("sys/block/sde/sde1/dev", "8:65");
    tree.Write("sys/block/sde/sde1/size", "100");
    static const char kData[] = "\0\xff=E:\nE:=x\nE:ID_FS_TYPE\nE:ID_FS_TYPE=vfat\n";
    tree.Write("run/udev/data/b8:65", std::string(kData, sizeof kData - 1));
    tree.Write("proc/self/mountinfo", "garbage\n1 2 3:4\n1 2 a:b / /x\n1 2 8:65 / /nowhere\\\n");
    std::filesystem::create_directories(tree.Root() + "/sys/block/sdf/dev");  // a folder
    tree.Write("sys/block/sdf/removable", "1");
    Rig rig(tree.Root());
    LinuxMachine& m = *rig.machine;
    EXPECT_EQ(m.DeviceName('D'), "sdb");
    EXPECT_EQ(m.DeviceName('E'), "sdd");
    EXPECT_EQ(m.DeviceName('F'), "sde");
    EXPECT_EQ(m.DeviceName('G'), "");
    EXPECT_EQ(ErrorOf(m, "D:\\"), kErrDiskNotReady);  // size unreadable: no medium
    EXPECT_EQ(ErrorOf(m, "E:\\"), kErrDiskNotReady);
    EXPECT_EQ(ErrorOf(m, "F:\\*"), kErrDiskNotReady);  // its mount point is gone
    EXPECT_EQ(m.Dir("F:\\", kAttrVolume), "");
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        std::uint32_t serial = 0;
        m.GetVolumeSerial(std::string(1, letter) + ":\\", serial);
    }
}

TEST(LinuxDriveMap, ThisMachine) {
    LinuxMachine m;
    EXPECT_EQ(m.GetDriveType("C:\\"), kDriveFixed);
    EXPECT_EQ(m.DeviceName('C'), "/");
    EXPECT_NO_THROW(m.Dir("C:\\*", kAttrDirectory));
    std::uint32_t serial = 0;
    EXPECT_TRUE(m.GetVolumeSerial("C:\\", serial));
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        const std::string root = std::string(1, letter) + ":\\";
        if (letter != 'C' && m.DeviceName(letter).empty()) {
            EXPECT_EQ(m.GetDriveType(root), kDriveNoRootDir) << letter;
        }
        try {
            m.Dir(root, kAttrVolume);
        } catch (const RuntimeError&) {
        }
    }
}

}  // namespace
}  // namespace bm::platform::linux_::testing
