#include "support/fake_platform.h"

#include <algorithm>

#include "platform/errors.h"

namespace bm::test {

int FakeDrives::GetDriveType(const std::string& rootPath) {
    const auto it = drives.find(rootPath.empty() ? '\0' : rootPath[0]);
    return it == drives.end() ? platform::kDriveNoRootDir : it->second.type;
}

std::string FakeDrives::Dir(const std::string& pattern, int attributes) {
    listings.push_back(pattern);
    const platform::DirPattern p = platform::ParseDirPattern(pattern);
    auto it = drives.find(p.letter);
    const bool volume = attributes == platform::kAttrVolume;
    if (it == drives.end() || !it->second.medium || (volume && it->second.labelFails)) {
        throw RuntimeError(kErrDiskNotReady, "Disk not ready");
    }
    if (volume) {
        return it->second.label;
    }
    for (const auto& f : it->second.files) {
        if (p.namePattern.empty() || platform::WildcardMatch(p.namePattern, f)) {
            return f;
        }
    }
    return "";
}

bool FakeDrives::GetVolumeSerial(const std::string& rootPath, std::uint32_t& serial) {
    const auto it = drives.find(rootPath.empty() ? '\0' : rootPath[0]);
    if (it == drives.end() || !it->second.medium) {
        return false;
    }
    serial = it->second.serial;
    return true;
}

std::vector<platform::Device> FakeDriveSet::Devices() {
    std::vector<platform::Device> out;
    for (const auto& [identity, a] : attached) {
        out.push_back(a.device);
    }
    return out;
}

void FakeDriveSet::Bind(const std::map<char, std::string>& letters) {
    for (const auto& [letter, identity] : bound) {
        const auto it = attached.find(identity);
        if (it != attached.end()) {  // what the drive went through under its letter
            it->second.drive = drives_.drives[letter];
            it->second.cd = mci_.cds[letter];
        }
        drives_.drives.erase(letter);
        mci_.cds.erase(letter);
    }
    bound = letters;
    for (const auto& [letter, identity] : bound) {
        const Attached& a = attached.at(identity);
        drives_.drives[letter] = a.drive;
        if (a.device.type == platform::kDriveCdRom) {
            mci_.cds[letter] = a.cd;
        }
    }
}

void FakeDriveSet::Attach(const std::string& identity, int type, char native, bool media) {
    const bool floppy = type == platform::kDriveRemovable && (native == 'A' || native == 'B');
    attached[identity] = {{identity, type, floppy, false, native}, {type, media}, {media}};
}

int FakeMci::SendString(const std::string& command, std::string& reply) {
    sent.push_back(command);
    reply.clear();
    if (script) {
        if (auto code = script(command, reply)) {
            return *code;
        }
    }
    return interpreter_.SendString(command, reply);
}

namespace {
class FakeCdDevice : public platform::CdDevice {
  public:
    explicit FakeCdDevice(FakeCd& cd) : cd_(cd) {}
    bool MediaPresent() override { return cd_.disc && !cd_.doorOpen; }
    bool CanEject() override { return cd_.canEject; }
    int SetDoor(bool open) override {
        if (!cd_.canEject) {
            return platform::kMciHardware;
        }
        if (open && cd_.ejectError != 0) {
            return cd_.ejectError;
        }
        cd_.doorOpen = open;
        return platform::kMciOk;
    }

  private:
    FakeCd& cd_;
};
}  // namespace

std::unique_ptr<platform::CdDevice> FakeMci::Open(char letter, bool /*shareable*/, int& error) {
    auto it = cds.find(letter);
    error = it == cds.end() ? platform::kMciInvalidDeviceName : it->second.openError;
    if (error != 0) {
        return nullptr;
    }
    return std::make_unique<FakeCdDevice>(it->second);
}

platform::SettingsBacking::Entries MemorySettings::GetAllSettings(const std::string& app,
                                                                  const std::string& section) {
    if (app != "Bayminder") {
        return {};
    }
    auto it = sections.find(section);
    return it == sections.end() ? Entries{} : it->second;
}

void MemorySettings::SaveSetting(const std::string& /*app*/, const std::string& section,
                                 const std::string& key, const std::string& value) {
    if (failAfterWrites == 0) {
        throw RuntimeError(kErrPathFileAccess,
                           "/home/user/.config/Bayminder/Bayminder.ini: "
                           "Permission denied");
    }
    if (failAfterWrites > 0) {
        --failAfterWrites;
    }
    ++writes;
    auto& entries = sections[section];
    for (auto& [k, v] : entries) {
        if (k == key) {
            v = value;
            return;
        }
    }
    entries.emplace_back(key, value);
}

void MemorySettings::DeleteSetting(const std::string& /*app*/, const std::string& section,
                                   const std::string& key) {
    auto& entries = sections[section];
    std::erase_if(entries, [&key](const auto& e) { return e.first == key; });
}

std::optional<std::string> MemorySettings::Value(const std::string& section,
                                                 const std::string& key) const {
    const auto it = sections.find(section);
    for (const auto& [k, v] : it != sections.end() ? it->second : Entries{}) {
        if (k == key) {
            return v;
        }
    }
    return std::nullopt;
}

}  // namespace bm::test
