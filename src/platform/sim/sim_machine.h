#pragma once
// A simulated machine described by a JSON file (see docs/architecture.md, "The simulated machine").
//
// Choices the file format leaves open:
// - Field names other than those described are refused, so that a typo does not go unnoticed;
//   so are fields of another drive type ("disc" on a removable drive).
// - canEject defaults to true, door to "closed", mciOpenError to 0.
// - A missing medium is no medium on removable and unknown drives; fixed, remote and RAM disks
//   are always ready and without one have an empty volume. "medium": null is no medium anywhere.
// - A disc may list its root "files" like a medium.
// - "id" (removable and cdrom drives) names the drive for good: its letter is then the one the
//   program keeps for it, and the file's letter only the one the machine would give it.
// - Labels and file names longer than 255 bytes, holding control characters (C0, DEL, C1) or
//   lone surrogates are refused.
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/drive_queries.h"
#include "platform/machine.h"
#include "platform/mci_interpreter.h"

namespace bm::platform::sim {

// what() is one line: "<path>: <fault>".
class SimFileError : public std::runtime_error {
  public:
    SimFileError(const std::string& path, const std::string& fault);
};

class SimMachine final : public Machine,
                         public DriveQueries,
                         public CdDeviceLayer,
                         public DriveSet {
  public:
    // Throws SimFileError when the file cannot be read or is bad.
    static std::unique_ptr<SimMachine> Load(const std::string& path);
    ~SimMachine() override;
    SimMachine(const SimMachine&) = delete;
    SimMachine& operator=(const SimMachine&) = delete;

    DriveQueries& Drives() override { return *this; }
    Mci& MciDevice() override { return mci_; }
    std::unique_ptr<ChangeFeed> WatchChanges() override;
    DriveSet* Letters() override { return this; }

    // Drives with an "id" are bound to the letters the drive model gives; the others keep the
    // letter the file gives them (their identity is "letter:" and that letter).
    std::vector<platform::Device> Devices() override;
    void Bind(const std::map<char, std::string>& letters) override;

    // Each query first picks up a changed file. A file gone or bad while running leaves the last
    // good state in use; queries never throw SimFileError.
    int GetDriveType(const std::string& rootPath) override;
    std::string Dir(const std::string& pattern, int attributes) override;
    bool GetVolumeSerial(const std::string& rootPath, std::uint32_t& serial) override;
    std::unique_ptr<CdDevice> Open(char letter, bool shareable, int& error) override;

    // Why the file on disk is not the state in use ("" when it is): for diagnostics.
    std::string LastReloadError() const;

  private:
    class Device;
    struct Impl;
    explicit SimMachine(std::unique_ptr<Impl> impl);

    void Refresh();
    int MoveDoor(char letter, bool open);

    std::unique_ptr<Impl> impl_;
    MciInterpreter mci_{*this};  // last: its devices refer to impl_
};

}  // namespace bm::platform::sim
