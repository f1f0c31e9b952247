#pragma once
// The drive model: options of the run, the drive table, per-drive settings, CD door and media.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "drives/runtime.h"
#include "drives/timer_array.h"

namespace bm {

struct DriveRecord {
    std::string Letter;          // "A" to "Z"; empty when not accepted
    std::int32_t DriveType = 0;  // 1 Removable, 2 Floppy, 3 CD
    std::string MediaName;
    std::string TypeName;
    VbBool CanEject = vbFalse;
    VbBool CanClose = vbFalse;
    VbBool DoorClosed = vbFalse;
    VbBool MediaPresent = vbFalse;
    VbBool DoorUncertain = vbFalse;
    std::string VolumeLabel;
    std::int32_t SerialNumber = 0;
    std::int32_t Monitor = 0;  // check box values 0 or 1, not truth values
    std::int32_t Eject = 0;
    std::int32_t Notify = 0;
    std::int32_t StatusToolTip = 0;
    std::int32_t TrayToggle = 0;
    // Where the machine's drives come and go: the drive's own lasting name (udev's serial or
    // path), kept with its settings; "" where the machine gives the letters.
    std::string Identity;
    // Taken away during the run: kept with its letter and settings, never probed.
    bool Gone = false;
};

namespace modMain {

enum DriveKind : std::int32_t { kRemovable = 1, kFloppy = 2, kCD = 3 };

inline constexpr int kRemovableInterval = 1000;
inline constexpr int kFloppyInterval = 6000;
inline constexpr int kCdInterval = 1000;

// Options of the run; never stored.
extern VbBool gBeep;
extern VbBool gShowDriveType;
extern std::int32_t gWaitTime;
extern VbBool gShowMediaType;
extern std::string gAppPath;
extern VbBool gPreloading;
extern VbBool gAdvancedOpen;

// The drive table, highest letter first. It follows the machine (FollowMachine): a drive attached
// is put in its place, a drive taken away stays, marked gone.
extern std::vector<DriveRecord> gDrives;
// The drive status timers, indexed by the character code of the letter. The tray window takes
// them over once it exists; until then the model creates them through the host.
extern TimerArray tmrDriveStatusTimeout;

// The start-up procedure; the runtime calls it once, with the window services installed.
void Main();
void InitOptions();
void SaveAppPath();

bool FindDrives();
// A change of the table: "added" (attached, or back) or "gone", and the drive's letter.
struct TableChange {
    std::string change;
    std::string letter;
};
// After a notice of the machine: puts the drives attached since in the table and marks those
// taken away. While the table is in use (an operation lets events run, TableBusy says so) it
// tries again a little later. Tells OnTableChanged what changed.
void FollowMachine();
extern std::function<void(const std::vector<TableChange>&)> OnTableChanged;
extern std::function<bool()> TableBusy;
DriveRecord ProbeDrive(const std::string& Letter);
void ReadVolumeInfo(DriveRecord& Drive);
int StatusInterval(std::int32_t driveType);

void SaveDriveSettings(DriveRecord& Drive);
// Writes the drive's identity and the time it was last seen, which the letters are kept by.
void StampDrive(const DriveRecord& Drive);
void LoadDriveSettings(DriveRecord& Drive);
void DefaultDriveSettings(DriveRecord& Drive);
void SaveAllDriveSettings();
void LoadAllDriveSettings();

std::string SendMci(const std::string& Command, std::int32_t& Error);
void OpenCdDevice(const std::string& Letter);
// While one lives, device faults are traced instead of shown.
struct QuietDeviceFaults {
    QuietDeviceFaults();
    ~QuietDeviceFaults();
    QuietDeviceFaults(const QuietDeviceFaults&) = delete;
    QuietDeviceFaults& operator=(const QuietDeviceFaults&) = delete;
};
VbBool QueryCanEject(const DriveRecord& Drive);
VbBool QueryCanClose(const DriveRecord& Drive);
VbBool DiskPresent(const std::string& Letter);
void RefreshDriveStatus(DriveRecord& Drive);
void OpenDoor(DriveRecord& Drive);
void CloseDoor(DriveRecord& Drive);
void CloseAllDoors();
void ToggleTrayDoors();

// A store that cannot be written at start-up is told once, and the run goes on in memory.
void ReportStoreFailure(const RuntimeError& error);

// Back to the state before the first start: the options, the drive table and its timers, and the
// faults already told. A program calls it before its host goes, as the timers live on the host.
void Reset();

}  // namespace modMain
}  // namespace bm
