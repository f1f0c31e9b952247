#pragma once
// The real machine on Linux: drive letters over sysfs and udev, CD doors through the CD-ROM
// ioctls. Its own letters: A: and B: the floppies fd0 and fd1, C: the root file system, then from
// D: the CD drives and after them the removable disks, up to Z:. Those hold until the drive model
// binds letters to the drives' identities (udev's serial, else path), after which a drive keeps
// its letter whatever its kernel name; a letter whose drive went reads as having no medium.
// A tray opens as the desktop's own eject opens it: what is mounted from the disc is unmounted
// through udisks2 first, and a disc that stays mounted is never ejected.
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/drive_queries.h"
#include "platform/linux/block_source.h"
#include "platform/linux/device_io.h"
#include "platform/linux/udisks.h"
#include "platform/linux/volume.h"
#include "platform/machine.h"
#include "platform/mci_interpreter.h"

namespace bm::platform::linux_ {

class LinuxMachine final : public Machine,
                           public DriveQueries,
                           public CdDeviceLayer,
                           public DriveSet {
  public:
    LinuxMachine();
    LinuxMachine(std::unique_ptr<BlockDeviceSource> source, std::unique_ptr<DeviceIo> io,
                 std::unique_ptr<Udisks> udisks = MakeNoUdisks());
    ~LinuxMachine() override;
    LinuxMachine(const LinuxMachine&) = delete;
    LinuxMachine& operator=(const LinuxMachine&) = delete;

    DriveQueries& Drives() override { return *this; }
    Mci& MciDevice() override { return mci_; }
    std::unique_ptr<ChangeFeed> WatchChanges() override;
    DriveSet* Letters() override { return this; }

    std::vector<Device> Devices() override;
    void Bind(const std::map<char, std::string>& letters) override;

    int GetDriveType(const std::string& rootPath) override;
    std::string Dir(const std::string& pattern, int attributes) override;
    bool GetVolumeSerial(const std::string& rootPath, std::uint32_t& serial) override;
    std::unique_ptr<CdDevice> Open(char letter, bool shareable, int& error) override;

    // The kernel name behind a letter ("" for none, "/" for C:), for diagnostics.
    std::string DeviceName(char letter) const;

  private:
    enum class Kind { kNone, kFloppy, kRoot, kCd, kRemovable };
    struct Slot {
        Kind kind = Kind::kNone;
        std::string name;
        DevNum dev;
    };
    // What a probe found in a drive.
    struct Medium {
        std::string name;  // the device holding the file system: the disk or a partition
        DevNum dev;
        std::string mountPoint;  // "" when not mounted
    };

    // The machine's own letters for the disks there now.
    std::array<Slot, 26> NativeSlots();
    std::string IdentityOf(const Slot& slot);
    const Slot* SlotOf(char letter) const;
    std::optional<Medium> Probe(const Slot& slot);
    VolumeInfo ReadVolume(const Slot& slot, const Medium& medium);
    bool Mounted(const BlockDevice& disk);
    // The kernel names of the disk and its partitions that are mounted now, each once.
    std::vector<std::string> MountedNames(const Slot& slot);
    // "set door open" of a CD drive opened as fd: unmount, then eject.
    int OpenTray(const Slot& slot, int fd);

    std::unique_ptr<BlockDeviceSource> source_;
    std::unique_ptr<DeviceIo> io_;
    std::unique_ptr<Udisks> udisks_;
    std::array<Slot, 26> slots_;
    std::map<std::string, Slot> seen_;  // by identity, as the last Devices() found them
    MciInterpreter mci_{*this};         // last: its open devices use io_
};

}  // namespace bm::platform::linux_
