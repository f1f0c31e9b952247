// The Linux backend's drives coming and going: identities from udev's properties, and the
// table's changes as `bayminder-drives watch` prints them, on a fixture tree the test changes
// between notices (the notices themselves are the udev monitor's; here the test gives them).

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sstream>
#include <string>

#include "app/drive_watch.h"
#include "drives/modMain.h"
#include "linux_fakes.h"
#include "platform/services.h"
#include "support/fake_host.h"
#include "support/fake_platform.h"
#include "support/temp_dir.h"

namespace bm::platform::linux_ {
namespace {

namespace fs = std::filesystem;

struct Tree {
    Tree() {
        fs::copy(std::string(BM_LINUX_FIXTURES) + "/basic", dir.path, fs::copy_options::recursive);
        auto io = std::make_unique<FakeDeviceIo>();
        io->everyNodeOpens = true;
        nodes = io.get();
        machine = std::make_unique<LinuxMachine>(MakeFixtureSource(dir.path), std::move(io));
    }
    void Udev(const std::string& dev, const std::string& lines) {
        test::WriteFile(dir.path + "/run/udev/data/b" + dev, lines);
    }
    // A disk plugged in under a kernel name, or pulled (dev "").
    void Plug(const std::string& name, const std::string& dev, bool removable = true) {
        const std::string block = dir.path + "/sys/block/" + name;
        fs::remove_all(block);
        if (dev.empty()) {
            return;
        }
        fs::create_directories(block);
        test::WriteFile(block + "/dev", dev + "\n");
        test::WriteFile(block + "/removable", removable ? "1\n" : "0\n");
        test::WriteFile(block + "/size", "2048\n");
    }
    std::string Identities() {
        std::string out;
        for (const auto& d : machine->Devices()) {
            out += std::string(1, d.native) + "=" + d.identity + " ";
        }
        return out;
    }
    test::TempDir dir;
    FakeDeviceIo* nodes = nullptr;
    std::unique_ptr<LinuxMachine> machine;
};

TEST(LinuxIdentity, SerialOfTheDriveItselfElseItsPortElseItsName) {
    Tree tree;
    const std::string cd = "E:ID_CDROM=1\n";
    const struct {
        std::string sr0, sr1;
        const char* identities;  // of D: and E:, the CD drives
    } cases[] = {
        // clang-format off
        {"E:ID_SERIAL=QEMU_DVD-ROM_QM00003\nE:ID_SERIAL_SHORT=QM00003\nE:ID_PATH=pci-0:1.1-ata-2\n", cd, "D=serial:QEMU_DVD-ROM_QM00003 E=name:sr1 "},
        // No serial of its own: the maker and model are every unit's, the port is its own.
        {"E:ID_SERIAL=QEMU_QEMU_CD-ROM\nE:ID_PATH=pci-0:4.0-usb-0:1:1.0-scsi-0:0:0:0\n", "E:ID_PATH=pci-0:4.0-usb-0:2:1.0-scsi-0:0:0:0\n",
         "D=path:pci-0:4.0-usb-0:1:1.0-scsi-0:0:0:0 E=path:pci-0:4.0-usb-0:2:1.0-scsi-0:0:0:0 "},
        // USB storage's serial names its unit already; a reader's may not.
        {"E:ID_SERIAL=QEMU_CD_BM-1-0:0\nE:ID_SERIAL_SHORT=BM-1\nE:ID_INSTANCE=0:0\n", "E:ID_SERIAL=R_1\nE:ID_SERIAL_SHORT=1\nE:ID_INSTANCE=0:1\n", "D=serial:QEMU_CD_BM-1-0:0 E=serial:R_1:0:1 "},
        // Two units that claim one serial are told apart by their ports.
        {"E:ID_SERIAL=S\nE:ID_SERIAL_SHORT=S\nE:ID_PATH=p0\n", "E:ID_SERIAL=S\nE:ID_SERIAL_SHORT=S\nE:ID_PATH=p1\n", "D=path:p0 E=path:p1 "},
        // clang-format on
    };
    for (const auto& c : cases) {
        tree.Udev("11:0", c.sr0);
        tree.Udev("11:1", c.sr1);
        EXPECT_NE(tree.Identities().find(c.identities), std::string::npos) << tree.Identities();
    }
    // Floppies first, then CD drives, then removable disks; the fixed disk, the loop device and
    // the stick that calls itself fixed are none of them.
    EXPECT_EQ(tree.Identities().substr(0, 24), "A=name:fd0 B=name:fd1 D=");
    EXPECT_NE(tree.Identities().find("F=name:sdb G=name:mmcblk0 "), std::string::npos);
}

TEST(LinuxFollow, PlugsAndDiscsBecomeWatchLinesAndLettersStay) {
    Tree tree;
    const std::string usb = "E:ID_CDROM=1\nE:ID_SERIAL=USB_CD_42\nE:ID_SERIAL_SHORT=42\n";
    tree.Udev("11:1", usb);
    // The USB CD drive back under another kernel name, with the internal one or its last pulled.
    const auto usbCd = [&](const char* pulled, const std::string& name, const std::string& dev) {
        tree.Plug(pulled, "");
        tree.Plug(name, dev);
        tree.Udev(dev, usb);
    };
    test::FakeHost host;
    test::MemorySettings settings;
    Install({&tree.machine->Drives(), &tree.machine->MciDevice(), &settings, &host, nullptr,
             nullptr, nullptr, tree.machine->Letters()});
    modMain::Reset();
    ASSERT_TRUE(modMain::FindDrives());
    std::ostringstream out;
    app::TableWatch watch(out);
    watch.Start();
    const auto notice = [&] {
        out.str("");
        watch.Notice();
        std::string lines;  // change and letter of each line
        std::istringstream in(out.str());
        for (std::string line; std::getline(in, line);) {
            lines += line.substr(11, line.find(",\"drive\"") - 11) + " ";
        }
        return lines;
    };
    const struct {
        std::function<void()> step;
        const char* lines;
    } steps[] = {
        {[] {}, ""},
        {[&] { tree.Plug("sr1", ""); }, "gone\",\"letter\":\"E\" "},
        // Back under another kernel name, after the internal drive went: the same letter.
        {[&] { usbCd("sr0", "sr3", "11:3"); }, "added\",\"letter\":\"E\" gone\",\"letter\":\"D\" "},
        {[&] { tree.nodes->nodes["/dev/sr3"].driveStatus = CDS_TRAY_OPEN; },
         "media\",\"letter\":\"E\" "},
        // Pulled and plugged again between two looks, under another name, with a disc.
        {[&] { usbCd("sr3", "sr4", "11:4"); }, "media\",\"letter\":\"E\" "},
        // Pulled while its probe runs, before udev tells: read as empty, told as gone.
        {[&] {
             tree.nodes->nodes["/dev/sr4"].driveStatus = CDS_NO_DISC;
             tree.nodes->opening = [&](const std::string& path) {
                 if (path == "/dev/sr4") {
                     tree.Plug("sr4", "");
                 }
             };
         },
         "gone\",\"letter\":\"E\" "},
        {[&] { tree.Plug("sdx", "8:96"); }, "added\",\"letter\":\"H\" "},
    };
    for (const auto& s : steps) {
        s.step();
        EXPECT_EQ(notice(), s.lines);
    }
    EXPECT_EQ(tree.machine->DeviceName('E'), "");
    EXPECT_EQ(tree.machine->DeviceName('D'), "");
    EXPECT_NE(out.str().find("\"Identity\": \"name:sdx\", \"Gone\": false}}\n"), std::string::npos);
    modMain::Reset();
    Install({});
}

}  // namespace
}  // namespace bm::platform::linux_
