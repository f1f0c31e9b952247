#include "platform/linux/block_monitor.h"

#include <libudev.h>

#include <cerrno>
#include <cstring>

namespace bm::platform::linux_ {
namespace {

// A socket flooded faster than it is read still ends the drain.
constexpr int kMaxEventsPerDrain = 4096;

class UdevBlockFeed : public ChangeFeed {
  public:
    UdevBlockFeed() : udev_(udev_new()) {
        if (udev_ == nullptr) {
            return;
        }
        monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
        if (monitor_ == nullptr) {
            return;
        }
        if (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "block", nullptr) < 0 ||
            udev_monitor_enable_receiving(monitor_) < 0) {
            udev_monitor_unref(monitor_);
            monitor_ = nullptr;
        }
    }
    ~UdevBlockFeed() override {
        if (monitor_ != nullptr) {
            udev_monitor_unref(monitor_);
        }
        if (udev_ != nullptr) {
            udev_unref(udev_);
        }
    }
    UdevBlockFeed(const UdevBlockFeed&) = delete;
    UdevBlockFeed& operator=(const UdevBlockFeed&) = delete;

    int Descriptor() const override {
        return monitor_ == nullptr ? -1 : udev_monitor_get_fd(monitor_);
    }

    bool Drain() override {
        if (monitor_ == nullptr) {
            return false;
        }
        bool changed = false;
        for (int i = 0; i < kMaxEventsPerDrain; ++i) {
            errno = 0;
            udev_device* device = udev_monitor_receive_device(monitor_);
            if (device == nullptr) {
                // Events dropped for a full socket may have been media changes.
                if (errno == ENOBUFS) {
                    changed = true;
                    continue;
                }
                break;  // nothing more waits (or a malformed message, already consumed)
            }
            const char* action = udev_device_get_action(device);
            // add, remove, change; a bind or move says nothing about media.
            if (action != nullptr &&
                (std::strcmp(action, "change") == 0 || std::strcmp(action, "add") == 0 ||
                 std::strcmp(action, "remove") == 0)) {
                changed = true;
            }
            udev_device_unref(device);
        }
        return changed;
    }

  private:
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
};

}  // namespace

std::unique_ptr<ChangeFeed> WatchBlockDevices() {
    return std::make_unique<UdevBlockFeed>();
}

}  // namespace bm::platform::linux_
