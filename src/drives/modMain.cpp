#include "drives/modMain.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "drives/modCode.h"
#include "platform/services.h"
#include "platform/trace.h"

namespace bm::modMain {

VbBool gBeep = vbFalse;
VbBool gShowDriveType = vbFalse;
std::int32_t gWaitTime = 0;
VbBool gShowMediaType = vbFalse;
std::string gAppPath;
VbBool gPreloading = vbFalse;
VbBool gAdvancedOpen = vbFalse;
std::vector<DriveRecord> gDrives(1);
TimerArray tmrDriveStatusTimeout;

namespace {

bool gStoreFailureReported = false;
// The fault each drive's device last reported; told again only after the device opened once.
std::map<std::string, std::int32_t> gDeviceFaultShown;
// The same for a tray that the disc's mounts held shut; told again after the door moved once.
std::map<std::string, std::int32_t> gDoorFaultShown;
int gQuietFaults = 0;

// A device fault is a modal box. Once told, the same fault of the same drive waits for an open
// that works before it is told again: the tooltip and the properties dialog ask every second.
// During the end of the session nobody may be there to close it, and it would hold the end up
// for good, so it is only traced.
void ReportFault(std::map<std::string, std::int32_t>& shown, const std::string& Letter,
                 std::int32_t code, const std::string& text, int style) {
    const auto it = shown.find(Letter);
    const bool repeated = it != shown.end() && it->second == code;
    if (!repeated && gQuietFaults == 0) {
        shown[Letter] = code;
        MsgBox(text, style, kAppTitle);
    } else {
        platform::Trace(platform::TraceCategory::MsgBox, "not shown: " + std::to_string(style) +
                                                             " " + platform::TraceQuote(kAppTitle) +
                                                             " " + platform::TraceQuote(text));
    }
}

void ReportDeviceFault(const std::string& Letter, std::int32_t code, const std::string& text) {
    ReportFault(gDeviceFaultShown, Letter, code, text, platform::kVbOkOnly);
}

// Why the tray stayed shut, in the user's words; "" for a refusal that the drive gave, which is
// not told, like every failed command but the open.
std::string DoorFaultText(const DriveRecord& Drive, std::int32_t code) {
    std::string reason;
    switch (code) {
        case platform::kMciDiscInUse:
            reason =
                "A program is using files on the disc.\rClose them (or leave the disc's "
                "folders), then try again.";
            break;
        case platform::kMciNotAuthorized:
            reason = "The system does not allow you to unmount the disc.";
            break;
        case platform::kMciDiscMounted:
            reason =
                "The disc is mounted, and without the udisks2 service Bayminder cannot "
                "unmount it.\rUnmount it first, then try again.";
            break;
        case platform::kMciUnmountFailed:
            reason = "The system could not unmount the disc.";
            break;
        default:
            return {};
    }
    const std::string label = Drive.VolumeLabel.empty() ? "" : " (" + Drive.VolumeLabel + ")";
    return "Bayminder cannot open the tray of drive " + Drive.Letter + ":" + label + ".\r" + reason;
}

platform::DriveQueries& Queries() {
    auto* drives = platform::Get().drives;
    if (drives == nullptr) {
        throw RuntimeError(kErrDeviceUnavailable, "no drive queries");
    }
    return *drives;
}

int LetterCode(const std::string& letter) {
    return letter.empty() ? 0 : static_cast<unsigned char>(letter[0]);
}

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

void ResetForTests() {
    gBeep = gShowDriveType = gShowMediaType = gPreloading = gAdvancedOpen = vbFalse;
    gWaitTime = 0;
    gAppPath.clear();
    gDrives.assign(1, DriveRecord{});
    tmrDriveStatusTimeout.UnloadAll();
    tmrDriveStatusTimeout.OnTimer = nullptr;
    tmrDriveStatusTimeout.OnFirstLoad = nullptr;
    gStoreFailureReported = false;
    gDeviceFaultShown.clear();
    gDoorFaultShown.clear();
    gQuietFaults = 0;
}

QuietDeviceFaults::QuietDeviceFaults() {
    ++gQuietFaults;
}

QuietDeviceFaults::~QuietDeviceFaults() {
    --gQuietFaults;
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

bool FindDrives() {
    gDrives.assign(1, DriveRecord{});
    std::vector<DriveRecord> found;
    for (int code = 90; code >= 65; --code) {
        DriveRecord drive = ProbeDrive(Chr(code));
        if (drive.Letter.empty()) {
            continue;
        }
        bool sameType = false;
        try {
            sameType = CLng(modCode::ReadSetting(drive.Letter, "1", "0")) == drive.DriveType;
        } catch (const RuntimeError&) {
            sameType = false;
        }
        SurviveStoreFailure([&] {
            if (sameType) {
                LoadDriveSettings(drive);
            } else {
                DefaultDriveSettings(drive);
            }
        });
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
    const VbBool closable = QueryCanClose(Drive);
    const VbBool ejectable = QueryCanEject(Drive);
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

std::string SendMci(const std::string& Command, std::int32_t& Error) {
    std::string reply;
    auto* mci = platform::Get().mci;
    Error = mci != nullptr ? mci->SendString(Command, reply) : platform::kMciInvalidDeviceName;
    // The reply buffer holds 64 characters with its terminator.
    reply = reply.substr(0, std::min(reply.find('\0'), std::string::size_type{63}));
    std::transform(reply.begin(), reply.end(), reply.begin(), [](unsigned char c) {
        return static_cast<char>(c < 0x80 ? std::tolower(c) : c);
    });
    if (platform::TraceEnabled(platform::TraceCategory::Mci)) {
        platform::Trace(platform::TraceCategory::Mci, Command + " => " + std::to_string(Error) +
                                                          " " + platform::TraceQuote(reply));
    }
    return reply;
}

void OpenCdDevice(const std::string& Letter) {
    std::int32_t error = 0;
    SendMci("open " + Letter + ": type cdaudio alias cd shareable wait", error);
    const std::int32_t code = error;
    switch (code) {
        case 0:
        case 289:
            gDeviceFaultShown.erase(Letter);
            return;
        case 265:
            SendMci("Close cd", error);
            ReportDeviceFault(Letter, code, "Bayminder has screwed up\r265");
            return;
        case 291:
            SendMci("close cd", error);
            ReportDeviceFault(Letter, code,
                              "Another program is using the cd\rBayminder has tried to rectify "
                              "this\r291");
            return;
        default:
            ReportDeviceFault(Letter, code,
                              "Please report to the makers of Bayminder\rthat you have MCI ERROR " +
                                  std::to_string(code) + "\rrewards will be offered...");
            return;
    }
}

VbBool QueryCanEject(const DriveRecord& Drive) {
    if (Drive.DriveType != kCD) {
        return vbFalse;
    }
    std::int32_t error = 0;
    OpenCdDevice(Drive.Letter);
    const VbBool answer = ToVb(SendMci("capability cd can eject", error) == "true");
    SendMci("close cd", error);
    return answer;
}

VbBool QueryCanClose(const DriveRecord& Drive) {
    return QueryCanEject(Drive);
}

VbBool DiskPresent(const std::string& Letter) {
    try {
        Queries().Dir(Letter + ":\\", platform::kAttrNormal);
        return vbTrue;
    } catch (const RuntimeError&) {
        return vbFalse;
    }
}

void RefreshDriveStatus(DriveRecord& Drive) {
    DoEvents();
    platform::Timer* timer = tmrDriveStatusTimeout.Item(LetterCode(Drive.Letter));
    if (timer != nullptr && timer->Enabled()) {
        return;
    }
    const bool hadMedia = Drive.MediaPresent != 0;
    if (Drive.DriveType == kCD) {
        std::int32_t error = 0;
        OpenCdDevice(Drive.Letter);
        Drive.MediaPresent = ToVb(SendMci("status cd media present", error) == "true");
        SendMci("close cd", error);
        Drive.DoorUncertain = vbTrue;
        if (Drive.MediaPresent != 0) {
            Drive.DoorClosed = vbTrue;
            Drive.DoorUncertain = vbFalse;
        } else if (hadMedia) {
            Drive.DoorClosed = vbFalse;
        }
    } else {
        Drive.MediaPresent = DiskPresent(Drive.Letter);
    }
    if (timer != nullptr) {
        timer->SetEnabled(true);
    }
    if (Drive.MediaPresent != 0) {
        ReadVolumeInfo(Drive);
    }
}

namespace {

void MoveDoor(DriveRecord& Drive, bool open) {
    DoEvents();
    std::int32_t refused = 0;
    if (Drive.DriveType == kCD) {
        std::int32_t error = 0;
        OpenCdDevice(Drive.Letter);
        SendMci(open ? "set cd door open" : "set cd door closed", refused);
        SendMci("close cd", error);
    }
    RefreshDriveStatus(Drive);
    if (refused != 0) {
        // The door did not move: the record must not say it did, or the next toggle would
        // repeat the move that just failed instead of trying the other way.
        Drive.DoorUncertain = vbTrue;
        // A disc that stays mounted keeps the tray shut; the user learns why, once.
        const std::string text = DoorFaultText(Drive, refused);
        if (!text.empty()) {
            ReportFault(gDoorFaultShown, Drive.Letter, refused, text, platform::kVbExclamation);
        }
        return;
    }
    gDoorFaultShown.erase(Drive.Letter);
    Drive.DoorClosed = ToVb(!open);
    Drive.DoorUncertain = vbFalse;
}

}  // namespace

void OpenDoor(DriveRecord& Drive) {
    MoveDoor(Drive, true);
}
void CloseDoor(DriveRecord& Drive) {
    MoveDoor(Drive, false);
}

void CloseAllDoors() {
    for (auto& drive : gDrives) {
        if (drive.CanClose != 0) {
            CloseDoor(drive);
        }
    }
}

void ToggleTrayDoors() {
    for (auto& drive : gDrives) {
        if ((drive.TrayToggle & drive.CanClose & drive.CanEject) != 0) {
            RefreshDriveStatus(drive);
            if (drive.DoorClosed != 0) {
                OpenDoor(drive);
            } else {
                CloseDoor(drive);
            }
        }
    }
}

}  // namespace bm::modMain
