#pragma once
// The device-node calls of the Linux backend, behind an interface so tests can play the drives.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace bm::platform::linux_ {

// Every call returns a non-negative result or -errno.
class DeviceIo {
  public:
    virtual ~DeviceIo() = default;
    virtual int Open(const std::string& path, int flags) = 0;
    virtual int DriveStatus(int fd) = 0;  // CDROM_DRIVE_STATUS of the current slot
    virtual int Capability(int fd) = 0;   // CDROM_GET_CAPABILITY: the CDC_* bits
    virtual int Eject(int fd) = 0;        // CDROMEJECT
    virtual int CloseTray(int fd) = 0;    // CDROMCLOSETRAY
    virtual int DiscStatus(int fd) = 0;   // CDROM_DISC_STATUS: CDS_AUDIO, CDS_DATA_1, ...
    virtual long ReadAt(int fd, void* buffer, std::size_t size, std::int64_t offset) = 0;
    virtual void Close(int fd) = 0;
};

// open(2), ioctl(2) and pread(2).
std::unique_ptr<DeviceIo> MakeSystemDeviceIo();

}  // namespace bm::platform::linux_
