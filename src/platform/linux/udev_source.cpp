// The real machine's block devices through libudev, and its mount table.
#include <libudev.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/linux/block_source.h"

namespace bm::platform::linux_ {
namespace {

struct UdevUnref {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
};
using DevicePtr = std::unique_ptr<udev_device, UdevUnref>;
using EnumeratePtr = std::unique_ptr<udev_enumerate, UdevUnref>;

std::string Attr(udev_device* d, const char* name) {
    const char* v = udev_device_get_sysattr_value(d, name);
    if (v == nullptr) {
        return {};
    }
    std::string s(v, strnlen(v, 4096));
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) {
        s.pop_back();
    }
    return s;
}

bool IsType(udev_device* d, const char* type) {
    const char* t = udev_device_get_devtype(d);
    return t != nullptr && std::strcmp(t, type) == 0;
}

BlockDevice Describe(udev_device* d) {
    BlockDevice b;
    const char* name = udev_device_get_sysname(d);
    b.name = name != nullptr ? name : "";
    const dev_t num = udev_device_get_devnum(d);
    b.dev = DevNum{major(num), minor(num)};
    b.removable = Attr(d, "removable") == "1";
    b.size = ParseUnsigned(Attr(d, "size")).value_or(0);
    return b;
}

class UdevSource final : public BlockDeviceSource {
  public:
    UdevSource() : udev_(udev_new()), udevd_(::access("/run/udev/control", F_OK) == 0) {}

    std::vector<BlockDevice> ListDisks() override {
        std::vector<BlockDevice> out;
        for (const std::string& path : Scan(nullptr, "disk")) {
            DevicePtr d(udev_device_new_from_syspath(udev_.get(), path.c_str()));
            // A disk udev has not finished with yet has no identity to go by: it comes with
            // udev's own "add".
            if (d && IsType(d.get(), "disk") &&
                (udev_device_get_is_initialized(d.get()) != 0 || !udevd_)) {
                out.push_back(WithPartitions(d.get()));
            }
        }
        return out;
    }

    std::optional<BlockDevice> FindDisk(const std::string& name) override {
        if (!udev_ || name.empty() || name.find('/') != std::string::npos) {
            return std::nullopt;
        }
        DevicePtr d(udev_device_new_from_subsystem_sysname(udev_.get(), "block", name.c_str()));
        if (!d || !IsType(d.get(), "disk")) {
            return std::nullopt;
        }
        return WithPartitions(d.get());
    }

    std::optional<Properties> DeviceProperties(DevNum dev) override {
        if (!udev_) {
            return Properties{};
        }
        DevicePtr d(udev_device_new_from_devnum(udev_.get(), 'b', makedev(dev.major, dev.minor)));
        if (!d) {
            return std::nullopt;
        }
        Properties props;
        udev_list_entry* e = nullptr;
        udev_list_entry_foreach(e, udev_device_get_properties_list_entry(d.get())) {
            const char* key = udev_list_entry_get_name(e);
            const char* value = udev_list_entry_get_value(e);
            if (key != nullptr && value != nullptr) {
                props[key] = value;
            }
        }
        return props;
    }

    std::vector<MountEntry> Mounts() override {
        return ParseMountInfo(ReadSmallFile("/proc/self/mountinfo", 4 << 20).value_or(""));
    }

  private:
    // Sys paths of block devices of one type, under parent when given.
    std::vector<std::string> Scan(udev_device* parent, const char* type) {
        std::vector<std::string> paths;
        if (!udev_) {
            return paths;
        }
        EnumeratePtr en(udev_enumerate_new(udev_.get()));
        if (!en) {
            return paths;
        }
        udev_enumerate_add_match_subsystem(en.get(), "block");
        udev_enumerate_add_match_property(en.get(), "DEVTYPE", type);
        if (parent != nullptr) {
            udev_enumerate_add_match_parent(en.get(), parent);
        }
        if (udev_enumerate_scan_devices(en.get()) < 0) {
            return paths;
        }
        udev_list_entry* e = nullptr;
        udev_list_entry_foreach(e, udev_enumerate_get_list_entry(en.get())) {
            if (const char* p = udev_list_entry_get_name(e)) {
                paths.emplace_back(p);
            }
        }
        return paths;
    }

    BlockDevice WithPartitions(udev_device* disk) {
        BlockDevice b = Describe(disk);
        std::vector<std::pair<std::uint64_t, BlockDevice>> parts;
        for (const std::string& path : Scan(disk, "partition")) {
            DevicePtr p(udev_device_new_from_syspath(udev_.get(), path.c_str()));
            if (p && IsType(p.get(), "partition")) {
                parts.emplace_back(ParseUnsigned(Attr(p.get(), "partition")).value_or(UINT64_MAX),
                                   Describe(p.get()));
            }
        }
        std::sort(parts.begin(), parts.end(),
                  [](const auto& x, const auto& y) { return x.first < y.first; });
        for (auto& [number, part] : parts) {
            b.partitions.push_back(std::move(part));
        }
        return b;
    }

    std::unique_ptr<udev, UdevUnref> udev_;
    bool udevd_;  // a udev daemon runs (without one, nothing is ever initialized)
};

}  // namespace

std::unique_ptr<BlockDeviceSource> MakeUdevSource() {
    return std::make_unique<UdevSource>();
}

}  // namespace bm::platform::linux_
