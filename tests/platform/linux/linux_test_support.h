#pragma once
// A scripted DeviceIo and fixture-tree helpers for the Linux backend tests.
#include <limits.h>

#include <fcntl.h>
#include <linux/cdrom.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/linux/linux_machine.h"

namespace bm::platform::linux_::testing {

struct FakeNode {
    int exclusiveErrno = 0;  // for opens with O_EXCL
    int openErrno = 0;       // for the others
    int driveStatus = CDS_DISC_OK;
    int capability = CDC_OPEN_TRAY | CDC_CLOSE_TRAY;
    int discStatus = CDS_DATA_1;
    int doorErrno = 0;
    int readErrno = 0;
    std::vector<unsigned char> data;
    int ejects = 0;
    int trayCloses = 0;
    std::function<void()> onDiscStatus;  // lets a test pull the disc mid-read
};

// Nodes not listed are ENOENT, like a /dev without them.
class FakeDeviceIo final : public DeviceIo {
  public:
    std::map<std::string, FakeNode> nodes;
    std::vector<std::pair<std::string, int>> opens;  // path and flags of every open
    std::map<int, std::string> openFds;

    int Open(const std::string& path, int flags) override {
        opens.emplace_back(path, flags);
        auto it = nodes.find(path);
        if (it == nodes.end()) {
            return -ENOENT;
        }
        const int err = (flags & O_EXCL) != 0 ? it->second.exclusiveErrno : it->second.openErrno;
        if (err != 0) {
            return -err;
        }
        openFds[next_] = path;
        return next_++;
    }
    int DriveStatus(int fd) override { return Node(fd).driveStatus; }
    int Capability(int fd) override { return Node(fd).capability; }
    int Eject(int fd) override { return Door(fd, Node(fd).ejects); }
    int CloseTray(int fd) override { return Door(fd, Node(fd).trayCloses); }
    int DiscStatus(int fd) override {
        FakeNode& n = Node(fd);
        const int status = n.discStatus;
        if (n.onDiscStatus) {
            n.onDiscStatus();
        }
        return status;
    }
    long ReadAt(int fd, void* buffer, std::size_t size, std::int64_t offset) override {
        FakeNode& n = Node(fd);
        if (n.readErrno != 0) {
            return -n.readErrno;
        }
        const auto start = static_cast<std::size_t>(offset);
        const std::size_t count = start < n.data.size() ? std::min(size, n.data.size() - start) : 0;
        if (count > 0) {
            std::memcpy(buffer, n.data.data() + start, count);
        }
        return static_cast<long>(count);
    }
    void Close(int fd) override { openFds.erase(fd); }

    int LastFlags() const { return opens.empty() ? -1 : opens.back().second; }

  private:
    FakeNode& Node(int fd) { return nodes.at(openFds.at(fd)); }
    int Door(int fd, int& counter) {
        ++counter;
        return Node(fd).doorErrno != 0 ? -Node(fd).doorErrno : 0;
    }
    int next_ = 3;
};

inline std::string BasicFixture() {
    return std::string(BM_LINUX_FIXTURES) + "/basic";
}

// A writable copy of a fixture tree, removed at the end of the test.
class TempTree {
  public:
    explicit TempTree(const std::string& from = BasicFixture()) {
        char name[] = "/tmp/bm-linux-XXXXXX";
        if (::mkdtemp(name) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        root_ = name;
        if (!from.empty()) {
            std::filesystem::copy(from, root_, std::filesystem::copy_options::recursive);
        }
    }
    ~TempTree() {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const std::string& Root() const { return root_; }
    void Write(const std::string& relative, const std::string& text) const {
        const auto path = std::filesystem::path(root_) / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << text;
    }
    void Remove(const std::string& relative) const {
        std::filesystem::remove_all(std::filesystem::path(root_) / relative);
    }
    // A whole disk in sys/block.
    void Disk(const std::string& name, const std::string& dev, bool removable,
              const std::string& size = "1000") const {
        Write("sys/block/" + name + "/dev", dev + "\n");
        Write("sys/block/" + name + "/removable", removable ? "1\n" : "0\n");
        Write("sys/block/" + name + "/size", size + "\n");
    }

  private:
    std::string root_;
};

// A machine on a fixture tree and a fake DeviceIo whose /dev holds a working node per CD drive
// and floppy of the basic tree.
struct Rig {
    explicit Rig(const std::string& root = BasicFixture(),
                 std::function<void(FakeDeviceIo&)> setUp = nullptr) {
        auto fake = std::make_unique<FakeDeviceIo>();
        io = fake.get();
        for (const char* node : {"/dev/sr0", "/dev/sr1", "/dev/fd0", "/dev/fd1"}) {
            io->nodes[node] = FakeNode{};
        }
        if (setUp) {
            setUp(*io);
        }
        machine = std::make_unique<LinuxMachine>(MakeFixtureSource(root), std::move(fake));
    }
    int Send(const std::string& command, std::string* reply = nullptr) {
        std::string r;
        const int code = machine->MciDevice().SendString(command, r);
        if (reply != nullptr) {
            *reply = r;
        }
        return code;
    }
    FakeNode& Node(const std::string& path) { return io->nodes[path]; }

    FakeDeviceIo* io = nullptr;
    std::unique_ptr<LinuxMachine> machine;
};

}  // namespace bm::platform::linux_::testing
