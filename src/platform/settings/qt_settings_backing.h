#pragma once
// The settings backing on QSettings: one INI file per application under the user's configuration
// folder, written atomically and synced after every save (or batch of saves) so that a crash
// loses nothing written.
#include <array>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "platform/settings_backing.h"

class QSettings;

namespace bm::platform {

class QtSettingsBacking : public SettingsBacking {
  public:
    // configDir empty: $XDG_CONFIG_HOME, else ~/.config.
    explicit QtSettingsBacking(std::string configDir = {});
    ~QtSettingsBacking() override;

    Entries GetAllSettings(const std::string& app, const std::string& section) override;
    void SaveSetting(const std::string& app, const std::string& section, const std::string& key,
                     const std::string& value) override;
    void DeleteSetting(const std::string& app, const std::string& section,
                       const std::string& key) override;
    void BeginBatch() override;
    void EndBatch() override;

    // <configDir>/<app>/<app>.ini
    std::string FilePath(const std::string& app) const;
    static std::string DefaultConfigDir();

  private:
    QSettings& Store(const std::string& app);
    void Renew(const std::string& app);
    [[noreturn]] void Fail(const std::string& app) const;
    void Synced(const std::string& app);
    bool UnchangedOnDisk(const std::string& app) const;
    void ApplyRemoval();

    std::string configDir_;
    std::map<std::string, std::unique_ptr<QSettings>> stores_;
    int batchDepth_ = 0;
    std::set<std::string> unsynced_;
    // Inode, size and modification time of each file as last read or written, to tell whether
    // anyone changed it since.
    std::map<std::string, std::array<long long, 4>> stamps_;
    // The entry a delete takes out, held back so that saving the same value again needs no write.
    struct Removed {
        std::string app, section, key, value;
    };
    std::optional<Removed> removed_;
};

// Why the folder of a file cannot take a new copy of it: the system's error text, or a general
// text when every step of a trial write succeeds.
std::string WriteFailureReason(const std::string& filePath);

}  // namespace bm::platform
