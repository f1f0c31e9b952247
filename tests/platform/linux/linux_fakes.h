#pragma once
// A scripted /dev, a mount table the test may change and udisks2 played by the test, put
// together on a fixture tree, for the Linux backend's tests.
#include <fcntl.h>
#include <linux/cdrom.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/linux/block_source.h"
#include "platform/linux/device_io.h"
#include "platform/linux/linux_machine.h"
#include "platform/linux/udisks.h"
#include "support/fixture_source.h"

namespace bm::platform::linux_ {

struct FakeNode {
    int exclusiveErrno = 0;  // for opens with O_EXCL
    int openErrno = 0;       // for the others
    int driveStatus = CDS_DISC_OK;
    int capability = CDC_OPEN_TRAY | CDC_CLOSE_TRAY;
    int discStatus = CDS_DATA_1;
    int doorErrno = 0;
    int ejects = 0, trayCloses = 0;
    std::vector<unsigned char> data;
    std::function<void()> onDiscStatus;  // lets a test pull the disc mid-read
};

// Nodes not listed are ENOENT, like a /dev without them, unless every node opens (as a drive
// with a disc).
class FakeDeviceIo final : public DeviceIo {
  public:
    std::map<std::string, FakeNode> nodes;
    std::map<int, std::string> openFds;
    int lastFlags = -1;
    bool everyNodeOpens = false;
    std::function<void(const std::string&)> opening;  // runs as a node is opened

    int Open(const std::string& path, int flags) override {
        lastFlags = flags;
        if (opening) {
            opening(path);
        }
        auto it = everyNodeOpens ? nodes.try_emplace(path).first : nodes.find(path);
        const int err = it == nodes.end()       ? ENOENT
                        : (flags & O_EXCL) != 0 ? it->second.exclusiveErrno
                                                : it->second.openErrno;
        if (err != 0) {
            return -err;
        }
        openFds[next_] = path;
        return next_++;
    }
    int DriveStatus(int fd) override { return Node(fd).driveStatus; }
    int Capability(int fd) override { return Node(fd).capability; }
    int Eject(int fd) override { return ++Node(fd).ejects, -Node(fd).doorErrno; }
    int CloseTray(int fd) override { return ++Node(fd).trayCloses, -Node(fd).doorErrno; }
    int DiscStatus(int fd) override {
        const int status = Node(fd).discStatus;
        if (Node(fd).onDiscStatus) {
            Node(fd).onDiscStatus();
        }
        return status;
    }
    long ReadAt(int fd, void* buffer, std::size_t size, std::int64_t offset) override {
        const auto& data = Node(fd).data;
        const auto start = std::min(static_cast<std::size_t>(offset), data.size());
        const std::size_t count = std::min(size, data.size() - start);
        if (count > 0) {  // an empty vector's data() may be null, even for no bytes
            std::memcpy(buffer, data.data() + start, count);
        }
        return static_cast<long>(count);
    }
    void Close(int fd) override { openFds.erase(fd); }

  private:
    FakeNode& Node(int fd) { return nodes.at(openFds.at(fd)); }
    int next_ = 3;
};

// The tree's disks and mounts, with disks the test adds and mounts it changes.
class MountTable final : public BlockDeviceSource {
  public:
    explicit MountTable(std::unique_ptr<BlockDeviceSource> tree)
        : mounts(tree->Mounts()), tree_(std::move(tree)) {}
    std::vector<BlockDevice> ListDisks() override { return tree_->ListDisks(); }
    std::optional<BlockDevice> FindDisk(const std::string& name) override {
        const auto it = disks.find(name);
        return it != disks.end() ? std::optional<BlockDevice>(it->second) : tree_->FindDisk(name);
    }
    std::optional<Properties> DeviceProperties(DevNum dev) override {
        return tree_->DeviceProperties(dev);
    }
    std::vector<MountEntry> Mounts() override { return mounts; }
    bool Mounted(DevNum dev) const {
        return std::any_of(mounts.begin(), mounts.end(),
                           [dev](const MountEntry& m) { return m.dev == dev; });
    }

    std::vector<MountEntry> mounts;
    std::map<std::string, BlockDevice> disks;

  private:
    std::unique_ptr<BlockDeviceSource> tree_;
};

// udisks2, not there unless a test says so; an unmount takes one mount of the device away.
class FakeUdisks final : public Udisks {
  public:
    explicit FakeUdisks(MountTable& table) : table_(table) {}
    bool Available() override { return available; }
    UdisksResult Unmount(const std::string& name) override {
        calls.push_back("Unmount " + name);
        auto& m = table_.mounts;
        const auto one = std::find_if(
            m.begin(), m.end(), [&](const MountEntry& e) { return e.dev == devices.at(name); });
        if (unmount == UdisksStatus::kOk && !keepMounts && one != m.end()) {
            m.erase(one);
        }
        return {unmount, unmount == UdisksStatus::kOk ? "" : "refused"};
    }
    UdisksResult Eject(const std::string& name) override {
        calls.push_back("Eject " + name);
        return {eject, eject == UdisksStatus::kOk ? "" : "refused"};
    }

    bool available = false;
    bool keepMounts = false;  // says it unmounted, and the mount stays
    UdisksStatus unmount = UdisksStatus::kOk;
    UdisksStatus eject = UdisksStatus::kOk;
    std::map<std::string, DevNum> devices{{"sr0", {11, 0}}, {"sr1", {11, 1}}};
    std::vector<std::string> calls;

  private:
    MountTable& table_;
};

// A machine on a tree under fixtures/ whose /dev holds a working node per CD drive and floppy,
// with the fake udisks2 above unless the test brings its own.
struct Rig {
    explicit Rig(const std::string& tree = "basic", std::unique_ptr<Udisks> daemon = nullptr) {
        auto fake = std::make_unique<FakeDeviceIo>();
        io = fake.get();
        for (const char* node : {"sr0", "sr1", "sr2", "sr10", "fd0", "fd1"}) {
            io->nodes[std::string("/dev/") + node] = FakeNode{};
        }
        auto source = std::make_unique<MountTable>(
            MakeFixtureSource(std::string(BM_LINUX_FIXTURES) + "/" + tree));
        table = source.get();
        if (!daemon) {
            daemon = std::make_unique<FakeUdisks>(*table);
            udisks = static_cast<FakeUdisks*>(daemon.get());
        }
        machine =
            std::make_unique<LinuxMachine>(std::move(source), std::move(fake), std::move(daemon));
    }
    int Send(const std::string& command) { return machine->MciDevice().SendString(command, reply); }
    // The code and the reply (read once the command has run).
    std::string Ask(const std::string& command) {
        return std::to_string(Send(command)) + " " + reply;
    }
    // "set cd door open" on the drive, with its open and close around it.
    int OpenTray(char letter) {
        EXPECT_EQ(Send(std::string("open ") + letter + ": type cdaudio alias cd shareable wait"),
                  kMciOk);
        const int code = Send("set cd door open");
        Send("close cd");
        return code;
    }
    // The result of Dir, or "error N" when it throws.
    std::string Dir(const std::string& pattern, int attributes = kAttrNormal) {
        try {
            return machine->Dir(pattern, attributes);
        } catch (const RuntimeError& e) {
            return "error " + std::to_string(e.Number());
        }
    }
    FakeNode& Node(const std::string& name) { return io->nodes["/dev/" + name]; }

    FakeDeviceIo* io = nullptr;
    MountTable* table = nullptr;
    FakeUdisks* udisks = nullptr;  // when it is the fake
    std::string reply;
    std::unique_ptr<LinuxMachine> machine;
};

}  // namespace bm::platform::linux_
