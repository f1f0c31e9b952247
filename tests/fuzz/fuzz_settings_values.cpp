// The conversions of stored settings text into a drive record. The first byte picks the kind of
// drive probed, the lines after it are the values of keys 1 to 8 (fewer lines: keys left absent).
// Loaded or defaulted, the record holds sound values, and a second load finds nothing to repair.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "drives/modMain.h"
#include "platform/mci_interpreter.h"
#include "platform/services.h"

namespace {

using namespace bm;

class Store : public platform::SettingsBacking {
  public:
    Entries GetAllSettings(const std::string&, const std::string& section) override {
        return sections[section];
    }
    void SaveSetting(const std::string&, const std::string& section, const std::string& key,
                     const std::string& value) override {
        ++saves;
        sections[section].emplace_back(key, value);
    }
    void DeleteSetting(const std::string&, const std::string& section,
                       const std::string& key) override {
        auto& entries = sections[section];
        for (auto it = entries.begin(); it != entries.end(); ++it) {
            if (it->first == key) {
                entries.erase(it);
                return;
            }
        }
    }
    std::map<std::string, Entries> sections;
    int saves = 0;
};

class Cd : public platform::CdDevice {
  public:
    bool MediaPresent() override { return true; }
    bool CanEject() override { return true; }
    int SetDoor(bool) override { return platform::kMciOk; }
};

class Layer : public platform::CdDeviceLayer {
  public:
    std::unique_ptr<platform::CdDevice> Open(char, bool, int& error) override {
        error = platform::kMciOk;
        return std::make_unique<Cd>();
    }
};

bool CheckBox(std::int32_t v) {
    return v >= 0 && v <= 2;
}
bool Truth(VbBool v) {
    return v == vbTrue || v == vbFalse;
}

void Abort(bool failed) {
    if (failed) {
        std::abort();
    }
}

// The bare conversions on the whole text.
void Convert(const std::string& text) {
    try {
        const std::int32_t n = CLng(text);
        Abort(CLng(std::to_string(n)) != n);
    } catch (const RuntimeError& e) {
        Abort(e.Number() != kErrTypeMismatch && e.Number() != kErrOverflow);
    }
    try {
        Abort(!Truth(CBool(text)));
    } catch (const RuntimeError& e) {
        Abort(e.Number() != kErrTypeMismatch);
    }
    Abort(ProperCase(text).size() != text.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    Convert(text);

    Store store;
    Layer layer;
    platform::MciInterpreter mci(layer);
    platform::Install({nullptr, &mci, &store, nullptr});
    std::size_t start = 0;
    for (char key = '1'; key <= '8' && start <= text.size(); ++key) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        store.sections["D"].emplace_back(std::string(1, key), text.substr(start, end - start));
        start = end + 1;
    }
    DriveRecord drive;
    drive.Letter = "D";
    const std::int32_t probed = data[0] % 3 + 1;
    drive.DriveType = probed;
    modMain::LoadDriveSettings(drive);
    Abort(drive.DriveType != probed);
    Abort(!Truth(drive.CanEject) || !Truth(drive.CanClose));
    Abort(!CheckBox(drive.Monitor) || !CheckBox(drive.Eject) || !CheckBox(drive.Notify) ||
          !CheckBox(drive.StatusToolTip) || !CheckBox(drive.TrayToggle));

    const int saves = store.saves;
    DriveRecord again = drive;
    modMain::LoadDriveSettings(again);
    Abort(store.saves != saves);
    Abort(again.DriveType != drive.DriveType || again.CanEject != drive.CanEject ||
          again.CanClose != drive.CanClose || again.Monitor != drive.Monitor ||
          again.Eject != drive.Eject || again.Notify != drive.Notify ||
          again.StatusToolTip != drive.StatusToolTip || again.TrayToggle != drive.TrayToggle);
    platform::Install({});
    return 0;
}
