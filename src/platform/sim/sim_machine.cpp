#include "platform/sim/sim_machine.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <map>

#include "platform/errors.h"
#include "platform/sim/machine_file.h"
#include "platform/sim/machine_watch.h"

namespace bm::platform::sim {

SimFileError::SimFileError(const std::string& path, const std::string& fault)
    : std::runtime_error(OneLine(path + ": " + fault)) {}

struct SimMachine::Impl {
    std::string path;
    SimState state;
    FileStamp stamp;         // of the version last read, good or bad
    bool haveStamp = false;  // false while the file is missing: any reappearance is read
    bool recent = false;     // the stamp alone cannot tell a later write apart
    QByteArray bytes;        // the version last read
    std::string fault;       // why that version is not in use, "" when it is

    bool bound = false;                    // letters given by the drive model
    std::map<char, std::string> bindings;  // letter -> identity

    // The drive behind one of the program's letters: once letters are bound, the drive with the
    // bound identity wherever the file puts it.
    SimDrive* Find(char letter) {
        if (letter < 'A' || letter > 'Z') {
            return nullptr;
        }
        if (!bound) {
            auto& slot = state.drives[static_cast<size_t>(letter - 'A')];
            return slot ? &*slot : nullptr;
        }
        const auto b = bindings.find(letter);
        if (b == bindings.end()) {
            return nullptr;
        }
        for (std::size_t i = 0; i < state.drives.size(); ++i) {
            auto& slot = state.drives[i];
            if (slot && IdentityOf(*slot, static_cast<char>('A' + i)) == b->second) {
                return &*slot;
            }
        }
        return nullptr;
    }
    static std::string IdentityOf(const SimDrive& d, char fileLetter) {
        return d.id.empty() ? std::string("letter:") + fileLetter : d.id;
    }
    // The volume a listing of the root sees, or null when the drive is not ready.
    const SimVolume* Ready(const SimDrive& d) const {
        if (!d.volume || (d.type == kDriveCdRom && d.doorOpen)) {
            return nullptr;
        }
        return &*d.volume;
    }
    void Remember(const QByteArray& read, const FileStamp& st) {
        bytes = read;
        stamp = st;
        haveStamp = true;
        recent = StampIsRecent(st);
    }
};

class SimMachine::Device : public CdDevice {
  public:
    Device(SimMachine& machine, char letter) : machine_(machine), letter_(letter) {}

    bool MediaPresent() override {
        machine_.Refresh();
        const SimDrive* d = Cd();
        return d != nullptr && machine_.impl_->Ready(*d) != nullptr;
    }
    bool CanEject() override {
        machine_.Refresh();
        const SimDrive* d = Cd();
        return d != nullptr && d->canEject;
    }
    int SetDoor(bool open) override { return machine_.MoveDoor(letter_, open); }

  private:
    // The file may have changed the drive's type since the open.
    const SimDrive* Cd() const {
        const SimDrive* d = machine_.impl_->Find(letter_);
        return d != nullptr && d->type == kDriveCdRom ? d : nullptr;
    }
    SimMachine& machine_;
    char letter_;
};

SimMachine::SimMachine(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
std::unique_ptr<ChangeFeed> SimMachine::WatchChanges() {
    return WatchMachineFile(impl_->path);
}

SimMachine::~SimMachine() = default;

std::unique_ptr<SimMachine> SimMachine::Load(const std::string& path) {
    auto impl = std::make_unique<Impl>();
    impl->path = path;
    try {
        FileStamp st;
        const QByteArray bytes = ReadWholeFile(path, st);
        impl->state = ParseMachine(bytes);
        impl->Remember(bytes, st);
    } catch (const MachineFault& fault) {
        throw SimFileError(path, fault.what());
    }
    return std::unique_ptr<SimMachine>(new SimMachine(std::move(impl)));
}

void SimMachine::Refresh() {
    Impl& m = *impl_;
    FileStamp now;
    std::string fault;
    if (!StatFile(m.path, now, fault)) {
        m.haveStamp = false;
        m.fault = fault;
        return;
    }
    if (m.haveStamp && now == m.stamp && !m.recent) {
        return;
    }
    FileStamp st;
    QByteArray bytes;
    try {
        bytes = ReadWholeFile(m.path, st);
    } catch (const MachineFault& error) {
        // Remembered so that an unreadable file is not retried until it changes.
        m.Remember({}, now);
        m.fault = error.what();
        return;
    }
    const bool sameBytes = m.haveStamp && bytes == m.bytes;
    m.Remember(bytes, st);
    if (sameBytes) {
        return;
    }
    try {
        m.state = ParseMachine(bytes);
        m.fault.clear();
    } catch (const MachineFault& error) {
        m.fault = error.what();
    }
}

std::vector<platform::Device> SimMachine::Devices() {
    Refresh();
    std::vector<platform::Device> out;
    for (std::size_t i = 0; i < impl_->state.drives.size(); ++i) {
        const auto& slot = impl_->state.drives[i];
        if (!slot) {
            continue;
        }
        const char letter = static_cast<char>('A' + i);
        platform::Device d;
        d.identity = Impl::IdentityOf(*slot, letter);
        d.type = slot->type;
        d.floppy = slot->type == kDriveRemovable && (letter == 'A' || letter == 'B');
        d.pinned = slot->id.empty();
        d.native = letter;
        out.push_back(d);
    }
    return out;
}

void SimMachine::Bind(const std::map<char, std::string>& letters) {
    impl_->bound = true;
    impl_->bindings = letters;
}

std::string SimMachine::LastReloadError() const {
    return impl_->fault.empty() ? std::string() : OneLine(impl_->path + ": " + impl_->fault);
}

int SimMachine::GetDriveType(const std::string& rootPath) {
    Refresh();
    const SimDrive* d = impl_->Find(ParseDirPattern(rootPath).letter);
    return d != nullptr ? d->type : kDriveNoRootDir;
}

std::string SimMachine::Dir(const std::string& pattern, int attributes) {
    Refresh();
    const DirPattern p = ParseDirPattern(pattern);
    const SimDrive* d = impl_->Find(p.letter);
    if (d == nullptr) {
        throw RuntimeError(kErrBadFileName, "Bad file name or number");
    }
    const SimVolume* v = impl_->Ready(*d);
    if (v == nullptr) {
        throw RuntimeError(kErrDiskNotReady, "Disk not ready");
    }
    if (attributes == kAttrVolume) {
        return v->label;
    }
    const std::string& names = p.namePattern.empty() ? std::string("*") : p.namePattern;
    for (const std::string& file : v->files) {
        if (WildcardMatch(names, file)) {
            return file;
        }
    }
    return {};
}

bool SimMachine::GetVolumeSerial(const std::string& rootPath, std::uint32_t& serial) {
    Refresh();
    const SimDrive* d = impl_->Find(ParseDirPattern(rootPath).letter);
    const SimVolume* v = d != nullptr ? impl_->Ready(*d) : nullptr;
    if (v == nullptr) {
        return false;
    }
    serial = v->serial;
    return true;
}

std::unique_ptr<CdDevice> SimMachine::Open(char letter, bool /*shareable*/, int& error) {
    Refresh();
    const SimDrive* d = impl_->Find(letter);
    if (d == nullptr || d->type != kDriveCdRom) {
        error = kMciInvalidDeviceName;
        return nullptr;
    }
    if (d->mciOpenError != kMciOk) {
        error = d->mciOpenError;
        return nullptr;
    }
    error = kMciOk;
    return std::make_unique<Device>(*this, letter);
}

int SimMachine::MoveDoor(char letter, bool open) {
    Refresh();
    Impl& m = *impl_;
    SimDrive* d = m.Find(letter);
    if (d == nullptr || d->type != kDriveCdRom || !d->canEject) {
        return kMciHardware;
    }
    if (d->doorOpen == open) {
        return kMciOk;
    }
    // Writing our last good state over a file that is missing or being edited would lose the
    // user's edit: the drive refuses instead, as a real one that cannot be reached would.
    if (!m.fault.empty()) {
        return kMciHardware;
    }
    QJsonObject document = m.state.document;
    QJsonArray drives = document.value(QLatin1String("drives")).toArray();
    QJsonObject drive = drives.at(d->index).toObject();
    drive.insert(QLatin1String("door"), open ? QLatin1String("open") : QLatin1String("closed"));
    drives.replace(d->index, drive);
    document.insert(QLatin1String("drives"), drives);
    const QByteArray bytes = QJsonDocument(document).toJson(QJsonDocument::Indented);
    FileStamp st;
    try {
        WriteFileAtomically(m.path, bytes, st);
    } catch (const MachineFault&) {
        return kMciHardware;
    }
    // Our own write is not re-read: the remembered version is the one written.
    m.state.document = document;
    d->doorOpen = open;
    m.Remember(bytes, st);
    return kMciOk;
}

}  // namespace bm::platform::sim
