#include "support/fake_platform.h"

#include <algorithm>
#include <sstream>

#include "platform/errors.h"

namespace bm::test {

int FakeDrives::GetDriveType(const std::string& rootPath) {
    auto it = drives.find(rootPath.empty() ? '\0' : rootPath[0]);
    return it == drives.end() ? platform::kDriveNoRootDir : it->second.type;
}

std::string FakeDrives::Dir(const std::string& pattern, int attributes) {
    listings.push_back(pattern);
    const platform::DirPattern p = platform::ParseDirPattern(pattern);
    auto it = drives.find(p.letter);
    if (it == drives.end() || !it->second.medium) {
        throw RuntimeError(kErrDiskNotReady, "Disk not ready");
    }
    if (attributes == platform::kAttrVolume) {
        if (it->second.labelFails) {
            throw RuntimeError(kErrDiskNotReady, "Disk not ready");
        }
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
    auto it = drives.find(rootPath.empty() ? '\0' : rootPath[0]);
    if (it == drives.end() || !it->second.medium) {
        return false;
    }
    serial = it->second.serial;
    return true;
}

int FakeMci::SendString(const std::string& command, std::string& reply) {
    sent.push_back(command);
    reply.clear();
    if (script) {
        if (auto code = script(command, reply)) {
            return *code;
        }
    }
    std::istringstream in(command);
    std::string verb, target, a, b;
    in >> verb >> target >> a >> b;
    std::transform(verb.begin(), verb.end(), verb.begin(), ::tolower);
    if (verb == "open") {
        if (open_) {
            return 289;
        }
        auto it = cds.find(target.empty() ? '\0' : target[0]);
        if (it == cds.end()) {
            return 263;
        }
        if (it->second.openError != 0) {
            return it->second.openError;
        }
        open_ = it->first;
        return 0;
    }
    if (!open_ || target != "cd") {
        return 263;
    }
    FakeCd& cd = cds[*open_];
    if (verb == "close") {
        open_.reset();
    } else if (verb == "status") {
        reply = cd.disc && !cd.doorOpen ? "true" : "false";
    } else if (verb == "capability") {
        reply = cd.canEject ? "true" : "false";
    } else if (verb == "set" && cd.canEject) {
        cd.doorOpen = b == "open";
    } else if (verb == "set") {
        return 262;
    }
    return 0;
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
    if (failWrites || failAfterWrites == 0) {
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
    auto it = sections.find(section);
    if (it != sections.end()) {
        for (const auto& [k, v] : it->second) {
            if (k == key) {
                return v;
            }
        }
    }
    return std::nullopt;
}

}  // namespace bm::test
