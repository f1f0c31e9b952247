#include "platform/linux/linux_machine.h"

// <linux/cdrom.h> uses INT_MAX without including <limits.h>.
#include <limits.h>

#include <dirent.h>
#include <fcntl.h>
#include <linux/cdrom.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <functional>
#include <memory>

#include "platform/errors.h"
#include "platform/linux/block_monitor.h"
#include "platform/trace.h"

namespace bm::platform::linux_ {
namespace {

bool Numbered(const std::string& name, const char* prefix) {
    const std::string p(prefix);
    return name.size() > p.size() && name.compare(0, p.size(), p) == 0 &&
           std::all_of(name.begin() + static_cast<long>(p.size()), name.end(),
                       [](unsigned char c) { return std::isdigit(c) != 0; });
}

bool Virtual(const std::string& name) {
    return name.rfind("loop", 0) == 0 || name.rfind("ram", 0) == 0 || name.rfind("zram", 0) == 0;
}

std::string Node(const std::string& name) {
    return "/dev/" + name;
}

std::string Property(const Properties& props, const char* key) {
    const auto it = props.find(key);
    return it != props.end() ? it->second : std::string();
}

VolumeInfo FromProperties(const Properties& props) {
    VolumeInfo info;
    const std::string encoded = Property(props, "ID_FS_LABEL_ENC");
    info.label = !encoded.empty() ? DecodeUdevText(encoded) : Property(props, "ID_FS_LABEL");
    info.serial = SerialFromUuid(Property(props, "ID_FS_UUID"));
    return info;
}

bool AudioOnly(const Properties& props) {
    const auto count = [&props](const char* key) {
        return ParseUnsigned(Property(props, key)).value_or(0);
    };
    return count("ID_CDROM_MEDIA_TRACK_COUNT_AUDIO") > 0 &&
           count("ID_CDROM_MEDIA_TRACK_COUNT_DATA") == 0;
}

// Where the whole file system of dev is visible: the last such mount is the one on top.
std::string MountPathOf(DevNum dev, const std::vector<MountEntry>& mounts) {
    std::string path;
    for (const auto& m : mounts) {
        if (m.dev == dev && m.root == "/") {
            path = m.path;
        }
    }
    return path;
}

[[noreturn]] void NotReady() {
    throw RuntimeError(kErrDiskNotReady, "Disk not ready");
}

// First entry of a directory matching pattern; regular files always count, directories only
// with kAttrDirectory.
std::string FirstEntry(const std::string& path, const std::string& pattern, int attributes) {
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) {
        if (errno == EACCES || errno == EPERM) {
            return {};  // the medium is there, we may just not look
        }
        NotReady();
    }
    std::string found;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == ".." || !WildcardMatch(pattern, name)) {
            continue;
        }
        bool isFile = e->d_type == DT_REG;
        bool isDir = e->d_type == DT_DIR;
        if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
            struct stat st {};
            if (::fstatat(::dirfd(dir), e->d_name, &st, 0) != 0) {
                continue;
            }
            isFile = S_ISREG(st.st_mode);
            isDir = S_ISDIR(st.st_mode);
        }
        if (isFile || (isDir && (attributes & kAttrDirectory) != 0)) {
            found = name;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

// A drive's descriptor, closed when its last holder lets go.
struct OpenFd {
    OpenFd(DeviceIo& device, int descriptor) : io(device), fd(descriptor) {}
    ~OpenFd() { io.Close(fd); }
    OpenFd(const OpenFd&) = delete;
    OpenFd& operator=(const OpenFd&) = delete;
    DeviceIo& io;
    const int fd;
};

// One CD drive opened for the span of an alias; the machine opens its tray.
class CdHandle final : public CdDevice {
  public:
    CdHandle(DeviceIo& io, int fd, std::function<int(int fd)> openTray)
        : fd_(std::make_shared<OpenFd>(io, fd)), openTray_(std::move(openTray)) {}

    bool MediaPresent() override { return fd_->io.DriveStatus(fd_->fd) == CDS_DISC_OK; }
    bool CanEject() override {
        const int caps = fd_->io.Capability(fd_->fd);
        return caps >= 0 && (caps & CDC_OPEN_TRAY) != 0;
    }
    // udisks2 has no call that closes a tray, and the ioctl closes it mounted or not.
    int SetDoor(bool open) override {
        if (open) {
            // While udisks2 is asked, events run, and one may close the alias and this handle
            // with it: the door keeps its own hold on the descriptor and on what opens it.
            const std::shared_ptr<OpenFd> fd = fd_;
            const std::function<int(int)> openTray = openTray_;
            return openTray(fd->fd);
        }
        return fd_->io.CloseTray(fd_->fd) < 0 ? kMciHardware : kMciOk;
    }

  private:
    std::shared_ptr<OpenFd> fd_;
    std::function<int(int fd)> openTray_;
};

int CodeOf(UdisksStatus status) {
    switch (status) {
        case UdisksStatus::kOk:
        case UdisksStatus::kNotMounted:
            return kMciOk;
        case UdisksStatus::kBusy:
            return kMciDiscInUse;
        case UdisksStatus::kNotAuthorized:
            return kMciNotAuthorized;
        case UdisksStatus::kAbsent:
            return kMciDiscMounted;
        case UdisksStatus::kFailed:
            break;
    }
    return kMciUnmountFailed;
}

void TraceUdisks(const std::string& call, const std::string& name, const UdisksResult& r) {
    if (TraceEnabled(TraceCategory::Mci)) {
        Trace(TraceCategory::Mci, "udisks2 " + call + " /dev/" + name + " => " +
                                      (r.error.empty() ? std::string("ok") : r.error));
    }
}

}  // namespace

LinuxMachine::LinuxMachine()
    : LinuxMachine(MakeUdevSource(), MakeSystemDeviceIo(), MakeSystemUdisks()) {}

LinuxMachine::LinuxMachine(std::unique_ptr<BlockDeviceSource> source, std::unique_ptr<DeviceIo> io,
                           std::unique_ptr<Udisks> udisks)
    : source_(std::move(source)), io_(std::move(io)), udisks_(std::move(udisks)) {
    slots_ = NativeSlots();
}

std::unique_ptr<ChangeFeed> LinuxMachine::WatchChanges() {
    return WatchBlockDevices();
}

LinuxMachine::~LinuxMachine() = default;

std::array<LinuxMachine::Slot, 26> LinuxMachine::NativeSlots() {
    std::array<Slot, 26> slots{};
    std::vector<BlockDevice> disks = source_->ListDisks();
    // Shorter names first gives sr2 before sr10 and sdz before sdaa.
    std::sort(disks.begin(), disks.end(), [](const BlockDevice& a, const BlockDevice& b) {
        return a.name.size() != b.name.size() ? a.name.size() < b.name.size() : a.name < b.name;
    });
    slots[2] = Slot{Kind::kRoot, "/", {}};
    std::size_t next = 3;
    const auto add = [&slots, &next](Kind kind, const BlockDevice& d) {
        if (next < slots.size()) {
            slots[next++] = Slot{kind, d.name, d.dev};
        }
    };
    for (const auto& d : disks) {
        if (d.name == "fd0" || d.name == "fd1") {
            slots[d.name == "fd0" ? 0 : 1] = Slot{Kind::kFloppy, d.name, d.dev};
        } else if (Numbered(d.name, "sr")) {
            add(Kind::kCd, d);
        }
    }
    for (const auto& d : disks) {
        if (d.removable && !Numbered(d.name, "fd") && !Numbered(d.name, "sr") && !Virtual(d.name)) {
            add(Kind::kRemovable, d);
        }
    }
    return slots;
}

// The serial goes with the drive to any port, so a stick keeps its letter and settings wherever
// it is plugged in. Only a serial of the device's own counts (ID_SERIAL_SHORT): without one,
// ID_SERIAL is the maker and model, the same for every unit, and the port (ID_PATH) tells them
// apart instead. Several units of one reader share a serial and differ by ID_INSTANCE.
std::string LinuxMachine::IdentityOf(const Slot& slot) {
    const auto known = source_->DeviceProperties(slot.dev);
    if (!known) {
        return {};  // gone since the listing: what is left of it names nothing
    }
    const Properties& props = *known;
    const std::string serial = Property(props, "ID_SERIAL");
    if (!serial.empty() && !Property(props, "ID_SERIAL_SHORT").empty()) {
        const std::string instance = Property(props, "ID_INSTANCE");
        const bool named = instance.empty() || (serial.size() > instance.size() &&
                                                serial.compare(serial.size() - instance.size(),
                                                               instance.size(), instance) == 0);
        return "serial:" + serial + (named ? "" : ":" + instance);
    }
    const std::string path = Property(props, "ID_PATH");
    return !path.empty() ? "path:" + path : "name:" + slot.name;
}

std::vector<Device> LinuxMachine::Devices() {
    const std::array<Slot, 26> native = NativeSlots();
    std::vector<Device> out;
    std::vector<Slot> slots;
    for (std::size_t i = 0; i < native.size(); ++i) {
        const Slot& s = native[i];
        if (s.kind != Kind::kFloppy && s.kind != Kind::kCd && s.kind != Kind::kRemovable) {
            continue;
        }
        Device d;
        d.identity = IdentityOf(s);
        if (d.identity.empty()) {
            continue;
        }
        d.type = s.kind == Kind::kCd ? kDriveCdRom : kDriveRemovable;
        d.floppy = s.kind == Kind::kFloppy;
        d.native = static_cast<char>('A' + i);
        out.push_back(d);
        slots.push_back(s);
    }
    // Two drives that answer to one serial are told apart by their ports.
    std::vector<bool> shared(out.size(), false);
    for (std::size_t i = 0; i < out.size(); ++i) {
        for (std::size_t j = 0; j < out.size(); ++j) {
            shared[i] = shared[i] || (j != i && out[j].identity == out[i].identity);
        }
    }
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (shared[i] && out[i].identity.rfind("serial:", 0) == 0) {
            const Properties props = source_->DeviceProperties(slots[i].dev).value_or(Properties{});
            const std::string path = Property(props, "ID_PATH");
            out[i].identity = !path.empty() ? "path:" + path : "name:" + slots[i].name;
        }
    }
    seen_.clear();
    for (std::size_t i = 0; i < out.size(); ++i) {
        seen_[out[i].identity] = slots[i];
    }
    return out;
}

void LinuxMachine::Bind(const std::map<char, std::string>& letters) {
    std::array<Slot, 26> slots{};
    slots[2] = slots_[2];
    for (const auto& [letter, identity] : letters) {
        const auto it = seen_.find(identity);
        if (letter >= 'A' && letter <= 'Z' && letter != 'C' && it != seen_.end()) {
            slots[static_cast<std::size_t>(letter - 'A')] = it->second;
        }
    }
    slots_ = slots;
}

const LinuxMachine::Slot* LinuxMachine::SlotOf(char letter) const {
    const int c = std::toupper(static_cast<unsigned char>(letter));
    if (c < 'A' || c > 'Z' || slots_[static_cast<std::size_t>(c - 'A')].kind == Kind::kNone) {
        return nullptr;
    }
    return &slots_[static_cast<std::size_t>(c - 'A')];
}

std::string LinuxMachine::DeviceName(char letter) const {
    const Slot* s = SlotOf(letter);
    return s != nullptr ? s->name : std::string();
}

int LinuxMachine::GetDriveType(const std::string& rootPath) {
    const Slot* s = SlotOf(ParseDirPattern(rootPath).letter);
    switch (s != nullptr ? s->kind : Kind::kNone) {
        case Kind::kFloppy:
        case Kind::kRemovable:
            return kDriveRemovable;
        case Kind::kRoot:
            return kDriveFixed;
        case Kind::kCd:
            return kDriveCdRom;
        case Kind::kNone:
            break;
    }
    return kDriveNoRootDir;
}

bool LinuxMachine::Mounted(const BlockDevice& disk) {
    const auto mounts = source_->Mounts();
    const auto on = [&mounts](DevNum dev) {
        return std::any_of(mounts.begin(), mounts.end(),
                           [dev](const MountEntry& m) { return m.dev == dev; });
    };
    return on(disk.dev) || std::any_of(disk.partitions.begin(), disk.partitions.end(),
                                       [&on](const BlockDevice& p) { return on(p.dev); });
}

std::vector<std::string> LinuxMachine::MountedNames(const Slot& slot) {
    const auto disk = source_->FindDisk(slot.name);
    std::vector<BlockDevice> devices{disk.value_or(BlockDevice{slot.name, slot.dev, false, 0, {}})};
    devices.insert(devices.end(), devices[0].partitions.begin(), devices[0].partitions.end());
    const auto mounts = source_->Mounts();
    std::vector<std::string> names;
    for (const auto& d : devices) {
        if (std::any_of(mounts.begin(), mounts.end(),
                        [&d](const MountEntry& m) { return m.dev == d.dev; })) {
            names.push_back(d.name);
        }
    }
    return names;
}

int LinuxMachine::OpenTray(const Slot& slot, int fd) {
    std::vector<std::string> mounted = MountedNames(slot);
    if (!mounted.empty()) {
        // The kernel would eject a disc under its mount, for root at least, and leave a file
        // system on nothing: what is mounted goes first, through the daemon that mounted it.
        if (!udisks_->Available()) {
            TraceUdisks("Unmount", mounted[0],
                        {UdisksStatus::kAbsent, "no udisks2 on the system bus"});
            return kMciDiscMounted;
        }
        // A file system mounted twice needs two unmounts; a bounded number of rounds ends a
        // daemon that says it unmounted what stays mounted.
        for (int round = 0; round < 4 && !mounted.empty(); ++round) {
            for (const auto& name : mounted) {
                const UdisksResult r = udisks_->Unmount(name);
                TraceUdisks("Unmount", name, r);
                if (CodeOf(r.status) != kMciOk) {
                    return CodeOf(r.status);
                }
            }
            mounted = MountedNames(slot);
        }
        if (!mounted.empty()) {
            return kMciDiscMounted;
        }
        // As the desktop does: the daemon ejects, past the door lock that udev's cdrom_id set.
        const UdisksResult r = udisks_->Eject(slot.name);
        TraceUdisks("Eject", slot.name, r);
        if (r.status == UdisksStatus::kOk) {
            return kMciOk;
        }
        // Not allowed outside an active session, say: the drive's own eject may still do, as
        // long as nothing has mounted the disc again meanwhile.
        if (!MountedNames(slot).empty()) {
            return kMciDiscMounted;
        }
    }
    return io_->Eject(fd) < 0 ? kMciHardware : kMciOk;
}

std::optional<LinuxMachine::Medium> LinuxMachine::Probe(const Slot& slot) {
    Medium m{slot.name, slot.dev, {}};
    switch (slot.kind) {
        case Kind::kNone:
            return std::nullopt;
        case Kind::kRoot: {
            m.mountPoint = "/";
            for (const auto& e : source_->Mounts()) {
                if (e.mountPoint == "/") {
                    m.dev = e.dev;
                    m.mountPoint = e.path;
                }
            }
            return m;
        }
        case Kind::kFloppy: {
            m.mountPoint = MountPathOf(slot.dev, source_->Mounts());
            if (!m.mountPoint.empty()) {
                return m;
            }
            // Only a blocking open makes the floppy driver look for a disk: ENXIO when none.
            const int fd = io_->Open(Node(slot.name), O_RDONLY);
            if (fd < 0) {
                return std::nullopt;
            }
            io_->Close(fd);
            return m;
        }
        case Kind::kCd: {
            const int fd = io_->Open(Node(slot.name), O_RDONLY | O_NONBLOCK);
            if (fd < 0) {
                return std::nullopt;
            }
            const int status = io_->DriveStatus(fd);
            io_->Close(fd);
            if (status != CDS_DISC_OK) {
                return std::nullopt;
            }
            m.mountPoint = MountPathOf(slot.dev, source_->Mounts());
            return m;
        }
        case Kind::kRemovable: {
            // The letter keeps its disk name; a different, fixed disk under it is no medium.
            const auto disk = source_->FindDisk(slot.name);
            if (!disk || !disk->removable || disk->size == 0) {
                return std::nullopt;
            }
            for (const auto& part : disk->partitions) {
                const auto props = source_->DeviceProperties(part.dev);
                if (part.size > 0 && props && !Property(*props, "ID_FS_TYPE").empty()) {
                    m.name = part.name;
                    m.dev = part.dev;
                    break;
                }
            }
            m.mountPoint = MountPathOf(m.dev, source_->Mounts());
            return m;
        }
    }
    return std::nullopt;
}

VolumeInfo LinuxMachine::ReadVolume(const Slot& slot, const Medium& medium) {
    VolumeInfo info;
    switch (slot.kind) {
        case Kind::kNone:
            NotReady();
        case Kind::kRoot: {
            const auto props = source_->DeviceProperties(medium.dev);
            return props ? FromProperties(*props) : VolumeInfo{};
        }
        case Kind::kFloppy: {
            // udev does not probe floppies: the boot sector is read here.
            const int fd = io_->Open(Node(slot.name), O_RDONLY);
            if (fd < 0) {
                NotReady();
            }
            unsigned char sector[512] = {};
            const long n = io_->ReadAt(fd, sector, sizeof sector, 0);
            io_->Close(fd);
            if (n < 0) {
                NotReady();
            }
            return ParseFatBootSector(sector, static_cast<std::size_t>(n)).value_or(VolumeInfo{});
        }
        case Kind::kCd: {
            const int fd = io_->Open(Node(slot.name), O_RDONLY | O_NONBLOCK);
            if (fd < 0) {
                NotReady();
            }
            const int disc = io_->DiscStatus(fd);
            // The disc's own volume descriptors: udev reads them only after the kernel told it
            // of the new disc, which our open above may just have done.
            std::optional<VolumeInfo> own;
            if (disc != CDS_AUDIO && disc != CDS_NO_DISC && disc != CDS_TRAY_OPEN && disc >= 0) {
                std::vector<unsigned char> descriptors(std::size_t{8} * 2048);
                const long n =
                    io_->ReadAt(fd, descriptors.data(), descriptors.size(), kIsoDescriptorsOffset);
                if (n > 0) {
                    own = ParseIso9660(descriptors.data(), static_cast<std::size_t>(n));
                }
            }
            io_->Close(fd);
            const auto props = source_->DeviceProperties(medium.dev);
            if (disc == CDS_NO_DISC || disc == CDS_TRAY_OPEN || !props) {
                NotReady();
            }
            if (disc == CDS_AUDIO || (!own && AudioOnly(*props))) {
                info.label = "Audio CD";
            } else {
                info = own ? *own : FromProperties(*props);
            }
            break;
        }
        case Kind::kRemovable: {
            const auto props = source_->DeviceProperties(medium.dev);
            if (!props) {
                NotReady();
            }
            info = FromProperties(*props);
            break;
        }
    }
    // The medium may have left while we read: then what we read may belong to nothing.
    const auto again = Probe(slot);
    if (!again || !(again->dev == medium.dev)) {
        NotReady();
    }
    return info;
}

std::string LinuxMachine::Dir(const std::string& pattern, int attributes) {
    const DirPattern p = ParseDirPattern(pattern);
    const Slot* slot = SlotOf(p.letter);
    if (slot == nullptr) {
        throw RuntimeError(kErrBadFileName, "Bad file name or number");
    }
    const auto medium = Probe(*slot);
    if (!medium) {
        NotReady();
    }
    if ((attributes & kAttrVolume) != 0) {
        return ReadVolume(*slot, *medium).label;
    }
    if (medium->mountPoint.empty()) {
        return {};  // a medium nobody mounted: present, but nothing to list
    }
    return FirstEntry(medium->mountPoint, p.namePattern.empty() ? "*" : p.namePattern, attributes);
}

bool LinuxMachine::GetVolumeSerial(const std::string& rootPath, std::uint32_t& serial) {
    const Slot* slot = SlotOf(ParseDirPattern(rootPath).letter);
    const auto medium = slot != nullptr ? Probe(*slot) : std::nullopt;
    if (!medium) {
        return false;
    }
    try {
        serial = ReadVolume(*slot, *medium).serial;
        return true;
    } catch (const RuntimeError&) {
        return false;
    }
}

std::unique_ptr<CdDevice> LinuxMachine::Open(char letter, bool /*shareable*/, int& error) {
    // Even a shareable open tries an exclusive claim first: only that tells us that another
    // program holds the drive.
    const Slot* slot = SlotOf(letter);
    if (slot == nullptr || slot->kind != Kind::kCd) {
        error = kMciInvalidDeviceName;
        return nullptr;
    }
    const std::string node = Node(slot->name);
    int fd = io_->Open(node, O_RDONLY | O_NONBLOCK | O_EXCL);
    if (fd == -EBUSY) {
        // A mounted disc holds the claim itself; that is normal use, so share it.
        const auto disk = source_->FindDisk(slot->name);
        if (!Mounted(disk.value_or(BlockDevice{slot->name, slot->dev, false, 0, {}}))) {
            error = kMciMustUseShareable;
            return nullptr;
        }
        fd = io_->Open(node, O_RDONLY | O_NONBLOCK);
    } else if (fd >= 0) {
        // Give the claim back at once: closing the tray can take seconds, and a desktop that
        // mounts the disc it just found must not meet our claim.
        const int shared = io_->Open(node, O_RDONLY | O_NONBLOCK);
        io_->Close(fd);
        fd = shared;
    }
    if (fd < 0) {
        error = kMciCannotOpenDevice;
        return nullptr;
    }
    error = kMciOk;
    return std::make_unique<CdHandle>(*io_, fd,
                                      [this, slot](int handle) { return OpenTray(*slot, handle); });
}

}  // namespace bm::platform::linux_
