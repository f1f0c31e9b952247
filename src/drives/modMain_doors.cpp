#include <algorithm>
#include <cctype>
#include <map>
#include <string>

#include "drives/modMain.h"
#include "drives/modMain_internal.h"
#include "platform/services.h"
#include "platform/trace.h"

namespace bm::modMain {
namespace {

// The fault each drive's device last reported; told again only after the device opened once.
std::map<std::string, std::int32_t> gDeviceFaultShown;
// The same for a tray that the disc's mounts held shut; told again after the door moved once.
std::map<std::string, std::int32_t> gDoorFaultShown;
int gQuietFaults = 0;
// Door commands under way. One may wait with events running (udisks2 unmounting the disc), and
// the device alias is its drive's until it is done.
int gDoorCommands = 0;

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

int LetterCode(const std::string& letter) {
    return letter.empty() ? 0 : static_cast<unsigned char>(letter[0]);
}

}  // namespace

void detail::ForgetDeviceFaults() {
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
        detail::Queries().Dir(Letter + ":\\", platform::kAttrNormal);
        return vbTrue;
    } catch (const RuntimeError&) {
        return vbFalse;
    }
}

void RefreshDriveStatus(DriveRecord& Drive) {
    DoEvents();
    if (Drive.Gone) {
        Drive.MediaPresent = vbFalse;  // taken away: nothing to ask, and nothing in it
        return;
    }
    platform::Timer* timer = tmrDriveStatusTimeout.Item(LetterCode(Drive.Letter));
    if ((timer != nullptr && timer->Enabled()) || (Drive.DriveType == kCD && gDoorCommands > 0)) {
        return;  // asked again in its hold-off, or the alias is another door's: as it was
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
    const int checks = gSessionChecks;
    DoEvents();
    if (Drive.Gone) {
        return;
    }
    if (gSessionChecks != checks) {
        return;  // an end-of-session check ran meanwhile and has set the doors as they must be
    }
    std::int32_t refused = 0;
    if (Drive.DriveType == kCD) {
        std::int32_t error = 0;
        ++gDoorCommands;
        OpenCdDevice(Drive.Letter);
        SendMci(open ? "set cd door open" : "set cd door closed", refused);
        SendMci("close cd", error);
        --gDoorCommands;
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
    const int checks = gSessionChecks;
    for (auto& drive : gDrives) {
        if (gSessionChecks != checks) {
            return;
        }
        if (drive.CanClose != 0 && !drive.Gone) {
            CloseDoor(drive);
        }
    }
}

void ToggleTrayDoors() {
    const int checks = gSessionChecks;
    for (auto& drive : gDrives) {
        if (gSessionChecks != checks) {
            return;
        }
        if ((drive.TrayToggle & drive.CanClose & drive.CanEject) != 0 && !drive.Gone) {
            RefreshDriveStatus(drive);
            if (gSessionChecks != checks) {
                return;
            }
            if (drive.DoorClosed != 0) {
                OpenDoor(drive);
            } else {
                CloseDoor(drive);
            }
        }
    }
}

}  // namespace bm::modMain
