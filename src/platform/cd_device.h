#pragma once
// What the command interpreter needs of a CD drive once it is open.
namespace bm::platform {

// One CD drive's device, opened for the span of one alias.
class CdDevice {
  public:
    virtual ~CdDevice() = default;
    virtual bool MediaPresent() = 0;
    virtual bool CanEject() = 0;
    // Returns kMciOk or the code of the failure.
    virtual int SetDoor(bool open) = 0;
};

}  // namespace bm::platform
