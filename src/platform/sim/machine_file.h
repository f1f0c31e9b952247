#pragma once
// The machine file of the simulated machine: its parsed form, and reading and writing it safely.
// Internal to bm_sim.
#include <sys/types.h>

#include <QByteArray>
#include <QJsonObject>
#include <array>
#include <cstdint>
#include <ctime>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace bm::platform::sim {

// Longest label or file name accepted, in UTF-8 bytes; real file systems stay far below it.
inline constexpr int kMaxNameBytes = 255;
// Larger files are refused rather than read into memory (10,000 file names take about 200 KiB).
inline constexpr qint64 kMaxFileBytes = qint64{16} * 1024 * 1024;

struct SimVolume {
    std::string label;  // raw, "" when the volume has none
    std::uint32_t serial = 0;
    std::vector<std::string> files;
};

struct SimDrive {
    int index = 0;                    // position in "drives", to write the door back
    int type = 0;                     // a DriveTypeResult
    std::optional<SimVolume> volume;  // the medium, or the disc of a CD drive
    bool canEject = true;
    bool doorOpen = false;
    int mciOpenError = 0;
    std::string id;  // the drive's lasting identity; "" when its letter is the machine's
};

struct SimState {
    std::array<std::optional<SimDrive>, 26> drives;  // by letter, A first
    QJsonObject document;                            // as parsed, for the write-back
};

// A fault of the file's content or of reading it; what() is the fault without the file name.
class MachineFault : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Throws MachineFault.
SimState ParseMachine(const QByteArray& bytes);

// What tells one version of the file from another without reading it.
struct FileStamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    timespec ctime{};
    bool operator==(const FileStamp& o) const;
};

// False (and fault set) when the path cannot be stat'ed.
bool StatFile(const std::string& path, FileStamp& stamp, std::string& fault);
// Reads the whole regular file; the stamp is that of the descriptor read from. Throws MachineFault.
QByteArray ReadWholeFile(const std::string& path, FileStamp& stamp);
// Replaces the file (or a symlink's target) by a temporary written, synced and renamed over it,
// keeping its permission bits. Throws MachineFault; the old file is untouched on failure.
void WriteFileAtomically(const std::string& path, const QByteArray& bytes, FileStamp& stamp);
// Whether a write might yet change the file without changing its stamp (same clock tick).
bool StampIsRecent(const FileStamp& stamp);

// The text with control characters escaped, so that it stays on one line.
std::string OneLine(const std::string& text);

}  // namespace bm::platform::sim
