#include "drives/modMain.h"

#include <string>
#include <utility>
#include <vector>

#include "drives/modCode.h"
#include "drives/modMain_internal.h"
#include "platform/services.h"

namespace bm::modMain {

VbBool gBeep = vbFalse;
VbBool gShowDriveType = vbFalse;
std::int32_t gWaitTime = 0;
VbBool gShowMediaType = vbFalse;
std::string gAppPath;
VbBool gPreloading = vbFalse;
int gSessionChecks = 0;
VbBool gAdvancedOpen = vbFalse;
std::vector<DriveRecord> gDrives(1);
TimerArray tmrDriveStatusTimeout;

namespace detail {

platform::DriveQueries& Queries() {
    auto* drives = platform::Get().drives;
    if (drives == nullptr) {
        throw RuntimeError(kErrDeviceUnavailable, "no drive queries");
    }
    return *drives;
}

}  // namespace detail

namespace {

using detail::Queries;

// The store failures that start-up survives; everything else is a fault of ours.
template <typename Fn>
void SurviveStoreFailure(Fn&& fn) {
    try {
        fn();
    } catch (const RuntimeError& error) {
        if (error.Number() != kErrPathFileAccess) {
            throw;
        }
        ReportStoreFailure(error);
    }
}

}  // namespace

void Reset() {
    gBeep = gShowDriveType = gShowMediaType = gPreloading = gAdvancedOpen = vbFalse;
    gWaitTime = 0;
    gAppPath.clear();
    gDrives.assign(1, DriveRecord{});
    tmrDriveStatusTimeout.UnloadAll();
    tmrDriveStatusTimeout.OnTimer = nullptr;
    tmrDriveStatusTimeout.OnFirstLoad = nullptr;
    detail::ForgetStoreFailure();
    detail::ForgetDeviceFaults();
    detail::ForgetFollowing();
}

void Main() {
    platform::Windows* windows = platform::Get().windows;
    if (windows == nullptr) {
        throw RuntimeError(kErrDeviceUnavailable, "no window services");
    }
    if (windows->PrevInstance()) {
        return;
    }
    windows->Show("frmSplash");
    gPreloading = vbTrue;
    DoEvents();
    for (const char* dialog : {"frmProperties", "frmMonitor", "frmPropertiesAdvanced"}) {
        windows->Load(dialog);
        windows->Unload(dialog);
    }
    gPreloading = vbFalse;
    InitOptions();
    if (FindDrives()) {
        CloseAllDoors();
        return;
    }
    MsgBox(std::string("Bayminder monitors removable drives.") + "\r" +
               "This system doesn't appear to have any.",
           platform::kVbCritical + platform::kVbSystemModal, kAppTitle);
}

void InitOptions() {
    gBeep = vbTrue;
    gShowDriveType = vbTrue;
    gWaitTime = 10000;
    gShowMediaType = vbFalse;
    auto* host = platform::Get().host;
    gAppPath = host != nullptr ? host->AppPath() : std::string();
    SurviveStoreFailure([] { SaveAppPath(); });
}

void SaveAppPath() {
    modCode::WriteSetting("@", "5", gAppPath);
}

int StatusInterval(std::int32_t driveType) {
    switch (driveType) {
        case kFloppy:
            return kFloppyInterval;
        case kCD:
            return kCdInterval;
        default:
            return kRemovableInterval;
    }
}

DriveRecord ProbeDrive(const std::string& Letter) {
    DriveRecord drive;
    bool accept = false;
    switch (Queries().GetDriveType(Letter + ":")) {
        case platform::kDriveRemovable:
            if (Letter == "A" || Letter == "B") {
                drive.DriveType = kFloppy;
                drive.TypeName = "Floppy";
                drive.MediaName = "Disk";
                accept = true;
            } else {
                drive.DriveType = kRemovable;
                drive.TypeName = "Removable";
                drive.MediaName = "Media";
                try {
                    // A compressed-volume file marks a drive that only hosts another volume.
                    accept = Queries().Dir(Letter + ":\\???space.000", 7).empty();
                } catch (const RuntimeError&) {
                    accept = true;  // no medium at start: watch it all the same
                }
            }
            break;
        case platform::kDriveCdRom:
            drive.DriveType = kCD;
            drive.TypeName = "CD";
            drive.MediaName = "Disc";
            accept = true;
            break;
        default:
            break;
    }
    if (accept) {
        drive.Letter = Letter;
    }
    return drive;
}

namespace {

// Whether the section of the drive's letter holds the settings of a drive of its type.
bool StoredTypeMatches(const DriveRecord& drive) {
    try {
        return CLng(modCode::ReadSetting(drive.Letter, "1", "0")) == drive.DriveType;
    } catch (const RuntimeError&) {
        return false;
    }
}

void LoadOrDefault(DriveRecord& drive, bool load, bool stamp) {
    SurviveStoreFailure([&] {
        if (load) {
            LoadDriveSettings(drive);
        } else {
            DefaultDriveSettings(drive);
        }
        if (stamp) {
            StampDrive(drive);
        }
    });
}

}  // namespace

void detail::TakeSettings(DriveRecord& drive, const LetterPlan* plan) {
    const platform::Device* device = nullptr;
    if (plan != nullptr) {
        const auto it = plan->devices.find(drive.Identity);
        device = it != plan->devices.end() ? &it->second : nullptr;
    }
    if (device == nullptr || device->pinned) {
        drive.Identity
            .clear();  // the machine's letter: the settings go with it, as they always did
        LoadOrDefault(drive, StoredTypeMatches(drive), false);
        return;
    }
    // The section is this drive's when it names the drive, or, written before drives were
    // named, when the machine gives the drive this letter itself at the first start.
    const char letter = drive.Letter[0];
    bool own = false;
    for (const auto& claim : plan->claims) {
        if (claim.letter == letter) {
            own = claim.identity == drive.Identity ||
                  (claim.identity.empty() && plan->firstRun && device->native == letter);
        }
    }
    // A letter given away: the new drive gets its own defaults.
    LoadOrDefault(drive, own && StoredTypeMatches(drive), true);
}

bool FindDrives() {
    gDrives.assign(1, DriveRecord{});
    const detail::LetterPlan* plan = detail::BindLetters();
    std::vector<DriveRecord> found;
    for (int code = 90; code >= 65; --code) {
        DriveRecord drive = ProbeDrive(Chr(code));
        if (drive.Letter.empty()) {
            continue;
        }
        if (plan != nullptr) {
            const auto bound = plan->bound.find(static_cast<char>(code));
            drive.Identity = bound != plan->bound.end() ? bound->second : std::string();
        }
        detail::TakeSettings(drive, plan);
        found.push_back(drive);
        platform::Timer& timer = tmrDriveStatusTimeout.Load(code);
        timer.SetInterval(StatusInterval(drive.DriveType));
    }
    if (found.empty()) {
        return false;
    }
    gDrives = std::move(found);
    return true;
}

void ReadVolumeInfo(DriveRecord& Drive) {
    std::uint32_t serial = 0;
    if (Queries().GetVolumeSerial(Drive.Letter + ":\\", serial)) {
        Drive.SerialNumber = static_cast<std::int32_t>(serial);
    }
    std::string label;
    try {
        label = Queries().Dir(Drive.Letter + ":\\", platform::kAttrVolume);
    } catch (const RuntimeError&) {
        return;  // the medium went between the probe and this read: keep the last label
    }
    // A label is the medium's text, not ours: controls in it would break the tooltip and the list.
    for (char& c : label) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            c = ' ';
        }
    }
    label = ProperCase(label);
    Drive.VolumeLabel = label == "Audio Cd" ? "Audio " + Drive.MediaName : label;
}

}  // namespace bm::modMain
