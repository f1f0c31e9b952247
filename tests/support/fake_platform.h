#pragma once
// In-memory drives, CD devices and settings store for tests of the drive model.
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/drive_queries.h"
#include "platform/drive_set.h"
#include "platform/mci_interpreter.h"
#include "platform/settings_backing.h"

namespace bm::test {

struct FakeDrive {
    int type = platform::kDriveNoRootDir;
    bool medium = false;  // the root can be listed
    std::vector<std::string> files{};
    std::string label{};
    std::uint32_t serial = 0;
    bool labelFails = false;  // the label read fails, as when the medium goes after the probe
};

class FakeDrives : public platform::DriveQueries {
  public:
    int GetDriveType(const std::string& rootPath) override;
    std::string Dir(const std::string& pattern, int attributes) override;
    bool GetVolumeSerial(const std::string& rootPath, std::uint32_t& serial) override;

    std::map<char, FakeDrive> drives;
    std::vector<std::string> listings;  // every Dir pattern asked
};

// A CD drive behind the command strings; any command can be answered by `script` instead.
struct FakeCd {
    bool disc = false;
    bool doorOpen = false;
    bool canEject = true;
    int openError = 0;
    int ejectError = 0;  // what a tray open gives, as when the disc's mounts hold the tray shut
};

class FakeMci : public platform::Mci, public platform::CdDeviceLayer {
  public:
    int SendString(const std::string& command, std::string& reply) override;
    std::unique_ptr<platform::CdDevice> Open(char letter, bool shareable, int& error) override;

    std::map<char, FakeCd> cds;
    std::vector<std::string> sent;
    // Returns a code and sets the reply to take over a command; nullopt lets the model answer.
    std::function<std::optional<int>(const std::string&, std::string&)> script;

  private:
    platform::MciInterpreter interpreter_{*this};
};

// Drives that come and go, put under the letters the model binds in the fakes above.
class FakeDriveSet : public platform::DriveSet {
  public:
    struct Attached {
        platform::Device device;
        FakeDrive drive;
        FakeCd cd;
    };
    FakeDriveSet(FakeDrives& drives, FakeMci& mci) : drives_(drives), mci_(mci) {}
    std::vector<platform::Device> Devices() override;
    void Bind(const std::map<char, std::string>& letters) override;
    // A CD drive (with a disc) or a removable disk, attached with its native letter.
    void Attach(const std::string& identity, int type, char native, bool media = true);
    void Detach(const std::string& identity) { attached.erase(identity); }

    std::map<std::string, Attached> attached;
    std::map<char, std::string> bound;

  private:
    FakeDrives& drives_;
    FakeMci& mci_;
};

class MemorySettings : public platform::SettingsBacking {
  public:
    Entries GetAllSettings(const std::string& app, const std::string& section) override;
    void SaveSetting(const std::string& app, const std::string& section, const std::string& key,
                     const std::string& value) override;
    void DeleteSetting(const std::string& app, const std::string& section,
                       const std::string& key) override;

    std::optional<std::string> Value(const std::string& section, const std::string& key) const;
    std::map<std::string, Entries> sections;  // of the application "Bayminder"
    int writes = 0;
    int failAfterWrites = -1;  // fail once this many writes have succeeded; 0: read-only
};

}  // namespace bm::test
