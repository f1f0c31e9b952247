#pragma once
// The drive queries of the operating system, in the shape the drive model asks them.
#include <cstdint>
#include <string>

namespace bm::platform {

// The results of the drive type query.
enum DriveTypeResult : int {
    kDriveUnknown = 0,
    kDriveNoRootDir = 1,
    kDriveRemovable = 2,
    kDriveFixed = 3,
    kDriveRemote = 4,
    kDriveCdRom = 5,
    kDriveRamDisk = 6,
};

// Attribute bits of a directory listing.
enum DirAttribute : int {
    kAttrNormal = 0,
    kAttrReadOnly = 1,
    kAttrHidden = 2,
    kAttrSystem = 4,
    kAttrVolume = 8,
    kAttrDirectory = 16,
};

class DriveQueries {
  public:
    virtual ~DriveQueries() = default;

    // rootPath is the letter and a colon, "D:".
    virtual int GetDriveType(const std::string& rootPath) = 0;

    // First entry of a listing such as "E:\???space.000" whose attributes fit the mask, or "" when
    // nothing matches. With kAttrVolume the pattern is a root ("E:\") and the result its label.
    // Throws RuntimeError when the root cannot be listed (no medium, drive not ready).
    virtual std::string Dir(const std::string& pattern, int attributes) = 0;

    // rootPath is "D:\". Returns false when the volume cannot be read; serial is then untouched.
    virtual bool GetVolumeSerial(const std::string& rootPath, std::uint32_t& serial) = 0;
};

// Case-insensitive match of a file name against a pattern of '?' (one character) and '*' (any run).
bool WildcardMatch(const std::string& pattern, const std::string& name);

// Splits "E:\???space.000" into its letter ('E', or 0 when absent) and the part after the root.
struct DirPattern {
    char letter = 0;
    std::string namePattern;  // "" when the pattern names the root itself
};
DirPattern ParseDirPattern(const std::string& pattern);

}  // namespace bm::platform
