#pragma once
// The drives of a machine that come and go, each named by an identity that lasts from run to run.
// Which letter each one has is the drive model's choice (it keeps letters with the settings):
// it binds them here, and the queries by letter then reach the drive bound to the letter.
#include <map>
#include <string>
#include <vector>

namespace bm::platform {

struct Device {
    std::string identity;  // lasting; unique among the devices present
    int type = 0;          // a DriveTypeResult: kDriveRemovable or kDriveCdRom for watched drives
    bool floppy = false;   // a floppy drive, whose letters are A: and B:
    bool pinned = false;   // the machine fixes its letter (native); nobody else may take it
    char native = 0;       // the letter the machine itself would give it, 0 for none
};

class DriveSet {
  public:
    virtual ~DriveSet() = default;
    // The drives attached now, read afresh.
    virtual std::vector<Device> Devices() = 0;
    // Every letter given, to the identity of a drive of the last Devices(); a letter not named
    // has no drive any more (the root file system's C: is the machine's own).
    virtual void Bind(const std::map<char, std::string>& letters) = 0;
};

}  // namespace bm::platform
