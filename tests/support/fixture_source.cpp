// A machine described as files, laid out like sysfs, the udev database and procfs.
#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <system_error>

#include "support/fixture_source.h"

namespace bm::platform::linux_ {
namespace {

namespace fs = std::filesystem;

std::string Trimmed(const std::optional<std::string>& text) {
    const std::string all = text.value_or("");
    return all.substr(0, all.find_last_not_of(" \t\r\n") + 1);  // npos + 1: nothing
}

bool SafeName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

class FixtureSource final : public BlockDeviceSource {
  public:
    explicit FixtureSource(std::string root) : root_(std::move(root)) {}

    std::vector<BlockDevice> ListDisks() override {
        std::vector<BlockDevice> out;
        std::error_code ec;
        for (fs::directory_iterator it(root_ + "/sys/block", ec), end; !ec && it != end;
             it.increment(ec)) {
            if (auto disk = FindDisk(it->path().filename().string())) {
                out.push_back(std::move(*disk));
            }
        }
        return out;
    }

    std::optional<BlockDevice> FindDisk(const std::string& name) override {
        if (!SafeName(name)) {
            return std::nullopt;
        }
        const std::string dir = root_ + "/sys/block/" + name;
        auto disk = ReadDevice(dir, name);
        if (!disk) {
            return std::nullopt;
        }
        std::multimap<std::uint64_t, BlockDevice> parts;  // in partition-number order
        std::error_code ec;
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string child = it->path().filename().string();
            const auto number =
                ParseUnsigned(Trimmed(ReadSmallFile(dir + "/" + child + "/partition")));
            auto part = number ? ReadDevice(dir + "/" + child, child) : std::nullopt;
            if (part) {
                parts.emplace(*number, std::move(*part));
            }
        }
        for (auto& [number, part] : parts) {
            disk->partitions.push_back(std::move(part));
        }
        return disk;
    }

    std::optional<Properties> DeviceProperties(DevNum dev) override {
        if (!Exists(dev)) {
            return std::nullopt;
        }
        Properties props;
        const auto text = ReadSmallFile(root_ + "/run/udev/data/b" + std::to_string(dev.major) +
                                        ":" + std::to_string(dev.minor));
        std::istringstream lines(text.value_or(std::string()));
        std::string line;
        while (std::getline(lines, line)) {
            const auto eq = line.find('=');
            if (line.rfind("E:", 0) == 0 && eq != std::string::npos && eq > 2) {
                props[line.substr(2, eq - 2)] = line.substr(eq + 1);
            }
        }
        return props;
    }

    std::vector<MountEntry> Mounts() override {
        auto mounts =
            ParseMountInfo(ReadSmallFile(root_ + "/proc/self/mountinfo", 4 << 20).value_or(""));
        for (auto& m : mounts) {
            m.path = root_ + m.mountPoint;
        }
        return mounts;
    }

  private:
    static std::optional<BlockDevice> ReadDevice(const std::string& dir, const std::string& name) {
        const auto dev = ParseDevNum(Trimmed(ReadSmallFile(dir + "/dev")));
        if (!dev) {
            return std::nullopt;
        }
        BlockDevice d;
        d.name = name;
        d.dev = *dev;
        d.removable = Trimmed(ReadSmallFile(dir + "/removable")) == "1";
        d.size = ParseUnsigned(Trimmed(ReadSmallFile(dir + "/size"))).value_or(0);
        return d;
    }

    bool Exists(DevNum dev) {
        const auto same = [dev](const BlockDevice& d) { return d.dev == dev; };
        for (const auto& disk : ListDisks()) {
            if (same(disk) || std::any_of(disk.partitions.begin(), disk.partitions.end(), same)) {
                return true;
            }
        }
        return false;
    }

    std::string root_;
};

}  // namespace

std::unique_ptr<BlockDeviceSource> MakeFixtureSource(const std::string& root) {
    return std::make_unique<FixtureSource>(root);
}

}  // namespace bm::platform::linux_
