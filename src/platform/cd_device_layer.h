#pragma once
// The CD drives of a machine, as the command interpreter opens them by letter.
#include <memory>

#include "platform/cd_device.h"

namespace bm::platform {

class CdDeviceLayer {
  public:
    virtual ~CdDeviceLayer() = default;
    // Opens the CD drive of the letter; on failure returns null and sets error to the code
    // (kMciInvalidDeviceName when the letter is no CD drive, kMciMustUseShareable, ...).
    virtual std::unique_ptr<CdDevice> Open(char letter, bool shareable, int& error) = 0;
};

}  // namespace bm::platform
