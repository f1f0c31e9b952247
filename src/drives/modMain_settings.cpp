#include <ctime>
#include <string>

#include "drives/modCode.h"
#include "drives/modMain.h"
#include "drives/modMain_internal.h"
#include "platform/services.h"

namespace bm::modMain {
namespace {

bool gStoreFailureReported = false;

// A check box holds 0, 1 or 2; anything else in the store is damage.
std::int32_t CheckValue(const std::string& text) {
    const std::int32_t value = CLng(text);
    if (value < 0 || value > 2) {
        throw RuntimeError(kErrTypeMismatch, "not a check box value: " + text);
    }
    return value;
}

}  // namespace

void ReportStoreFailure(const RuntimeError& error) {
    if (gStoreFailureReported) {
        return;
    }
    gStoreFailureReported = true;
    MsgBox(std::string("Bayminder cannot save its settings.") + "\r" + error.what() + "\r" +
               "The settings of this session are kept until Bayminder ends.",
           platform::kVbExclamation, kAppTitle);
}

void detail::ForgetStoreFailure() {
    gStoreFailureReported = false;
}

void SaveDriveSettings(DriveRecord& Drive) {
    const std::string& s = Drive.Letter;
    modCode::WriteBatch batch;  // a drive's section is on disk whole, old or new
    modCode::WriteSetting(s, "1", std::to_string(Drive.DriveType));
    modCode::WriteSetting(s, "5", CStr(Drive.CanEject));
    modCode::WriteSetting(s, "6", CStr(Drive.CanClose));
    modCode::WriteSetting(s, "2", std::to_string(Drive.Monitor));
    modCode::WriteSetting(s, "3", std::to_string(Drive.Eject));
    modCode::WriteSetting(s, "4", std::to_string(Drive.Notify));
    modCode::WriteSetting(s, "7", std::to_string(Drive.StatusToolTip));
    modCode::WriteSetting(s, "8", std::to_string(Drive.TrayToggle));
    if (!Drive.Identity.empty()) {
        modCode::WriteSetting(s, kIdentityKey, Drive.Identity);
    }
    batch.Commit();
}

void StampDrive(const DriveRecord& Drive) {
    if (Drive.Identity.empty()) {
        return;
    }
    modCode::WriteBatch batch;
    if (modCode::ReadSetting(Drive.Letter, kIdentityKey, "") != Drive.Identity) {
        modCode::WriteSetting(Drive.Letter, kIdentityKey, Drive.Identity);
    }
    modCode::WriteSetting(Drive.Letter, kLastSeenKey,
                          std::to_string(static_cast<long long>(std::time(nullptr))));
    batch.Commit();
}

void LoadDriveSettings(DriveRecord& Drive) {
    const std::string& s = Drive.Letter;
    try {
        const std::int32_t type = CLng(modCode::ReadSetting(s, "1"));
        // A section that names another kind of drive than the one probed is damaged; taking it
        // would turn a CD into a floppy behind the names of the record.
        if (Drive.DriveType != 0 && type != Drive.DriveType) {
            throw RuntimeError(kErrTypeMismatch, "stored drive type differs");
        }
        Drive.DriveType = type;
        Drive.CanClose = CBool(modCode::ReadSetting(s, "6"));
        Drive.CanEject = CBool(modCode::ReadSetting(s, "5"));
        Drive.Monitor = CheckValue(modCode::ReadSetting(s, "2"));
        Drive.Eject = CheckValue(modCode::ReadSetting(s, "3"));
        Drive.Notify = CheckValue(modCode::ReadSetting(s, "4"));
        Drive.TrayToggle = CheckValue(modCode::ReadSetting(s, "8"));
        Drive.StatusToolTip = CheckValue(modCode::ReadSetting(s, "7"));
    } catch (const RuntimeError&) {
        DefaultDriveSettings(Drive);
    }
}

void DefaultDriveSettings(DriveRecord& Drive) {
    // A drive taken away cannot be asked: it keeps the capabilities it had.
    const VbBool closable = Drive.Gone ? Drive.CanClose : QueryCanClose(Drive);
    const VbBool ejectable = Drive.Gone ? Drive.CanEject : QueryCanEject(Drive);
    Drive.CanEject = ejectable;
    Drive.CanClose = closable;
    Drive.Eject = ejectable != 0 ? 1 : 0;
    Drive.StatusToolTip = Drive.TrayToggle = (ejectable != 0 && closable != 0) ? 1 : 0;
    Drive.Notify = ejectable == closable ? 1 : 0;
    Drive.Monitor = Drive.DriveType == kRemovable ? Drive.Eject : 1;
    SaveDriveSettings(Drive);
}

void SaveAllDriveSettings() {
    for (auto& drive : gDrives) {
        SaveDriveSettings(drive);
    }
}

void LoadAllDriveSettings() {
    for (auto& drive : gDrives) {
        LoadDriveSettings(drive);
    }
}

}  // namespace bm::modMain
