#pragma once
// The per-user settings backing: string values addressed by application, section and key.
#include <string>
#include <utility>
#include <vector>

namespace bm::platform {

class SettingsBacking {
  public:
    using Entries = std::vector<std::pair<std::string, std::string>>;
    virtual ~SettingsBacking() = default;

    // Failures of the store throw RuntimeError (kErrPathFileAccess) naming the file and the reason.
    virtual Entries GetAllSettings(const std::string& app, const std::string& section) = 0;
    virtual void SaveSetting(const std::string& app, const std::string& section,
                             const std::string& key, const std::string& value) = 0;
    virtual void DeleteSetting(const std::string& app, const std::string& section,
                               const std::string& key) = 0;
    // Saves between these two may reach the disk together, so that a crash leaves what they wrote
    // either all there or not at all. A failure the saves deferred throws from EndBatch.
    virtual void BeginBatch() {}
    virtual void EndBatch() {}
};

}  // namespace bm::platform
