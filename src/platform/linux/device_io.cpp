// <linux/cdrom.h> uses INT_MAX without including <limits.h>.
#include <limits.h>

#include <fcntl.h>
#include <linux/cdrom.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/linux/device_io.h"

namespace bm::platform::linux_ {
namespace {

int Result(int r) {
    return r < 0 ? -errno : r;
}

int Door(int r) {
    return r < 0 ? -errno : r > 0 ? -EIO : 0;
}

class SystemDeviceIo final : public DeviceIo {
  public:
    int Open(const std::string& path, int flags) override {
        return Result(::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY));
    }
    int DriveStatus(int fd) override {
        return Result(::ioctl(fd, CDROM_DRIVE_STATUS, CDSL_CURRENT));
    }
    int Capability(int fd) override { return Result(::ioctl(fd, CDROM_GET_CAPABILITY, 0)); }
    // udev's cdrom_id locks the door of a drive that holds a disc, so that its button asks the
    // desktop instead of ejecting. Locked, the eject is refused with the SCSI status, a positive
    // number, and the tray stays where it is: unlock first, and take anything but 0 as refused.
    int Eject(int fd) override {
        ::ioctl(fd, CDROM_LOCKDOOR, 0);
        return Door(::ioctl(fd, CDROMEJECT, 0));
    }
    int CloseTray(int fd) override { return Door(::ioctl(fd, CDROMCLOSETRAY, 0)); }
    int DiscStatus(int fd) override { return Result(::ioctl(fd, CDROM_DISC_STATUS, 0)); }
    long ReadAt(int fd, void* buffer, std::size_t size, std::int64_t offset) override {
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::pread(fd, static_cast<char*>(buffer) + done, size - done,
                                      static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                return -errno;
            }
            if (n == 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        return static_cast<long>(done);
    }
    void Close(int fd) override { ::close(fd); }
};

}  // namespace

std::unique_ptr<DeviceIo> MakeSystemDeviceIo() {
    return std::make_unique<SystemDeviceIo>();
}

}  // namespace bm::platform::linux_
