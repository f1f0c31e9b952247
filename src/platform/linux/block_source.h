#pragma once
// Where the Linux backend learns about block devices: sysfs attributes, udev properties and the
// mount table. One implementation asks libudev on the real machine; the tests' own
// (tests/support/fixture_source.h) reads a directory tree laid out like the real one.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace bm::platform::linux_ {

struct DevNum {
    unsigned major = 0;
    unsigned minor = 0;
    bool operator==(const DevNum&) const = default;
};

struct BlockDevice {
    std::string name;  // kernel name: "sr0", "sdb", "sdb1"
    DevNum dev;
    bool removable = false;
    std::uint64_t size = 0;               // in 512-byte sectors; 0 while a slot has no medium
    std::vector<BlockDevice> partitions;  // of a whole disk, in partition-number order
};

struct MountEntry {
    DevNum dev;
    std::string root;        // the part of the file system mounted ("/" unless a bind mount)
    std::string mountPoint;  // as the table names it, decoded: "/media/me/MY DATA"
    std::string path;        // where to list it: mountPoint, or inside a fixture tree
};

using Properties = std::map<std::string, std::string>;

class BlockDeviceSource {
  public:
    virtual ~BlockDeviceSource() = default;
    // Every whole disk known now, with its partitions.
    virtual std::vector<BlockDevice> ListDisks() = 0;
    // One whole disk read afresh; nullopt when it is gone.
    virtual std::optional<BlockDevice> FindDisk(const std::string& name) = 0;
    // The udev properties of a device; nullopt when the device is gone, empty when udev knows
    // nothing about it.
    virtual std::optional<Properties> DeviceProperties(DevNum dev) = 0;
    // The mount table as it is now.
    virtual std::vector<MountEntry> Mounts() = 0;
};

// libudev and /proc/self/mountinfo. Without udev it lists nothing and never fails.
std::unique_ptr<BlockDeviceSource> MakeUdevSource();

// Helpers shared by the sources, bounded so that no input can exhaust memory.
std::optional<std::string> ReadSmallFile(const std::string& path,
                                         std::size_t limit = std::size_t{64} * 1024);
std::optional<DevNum> ParseDevNum(const std::string& text);  // "8:17"
std::optional<std::uint64_t> ParseUnsigned(const std::string& text);
std::vector<MountEntry> ParseMountInfo(const std::string& text);

}  // namespace bm::platform::linux_
