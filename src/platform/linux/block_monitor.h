#pragma once
// The kernel's block-device uevents as udev passes them on, after its rules have run (so a new
// label is in its database by then): a medium inserted or taken out (systemd's 60-block.rules
// turns on the kernel's media polling), a disk plugged in or pulled, a file system written.
#include <memory>

#include "platform/media_notices.h"

namespace bm::platform::linux_ {

// Without udev (no /run/udev, a container) the feed's descriptor is -1.
std::unique_ptr<ChangeFeed> WatchBlockDevices();

}  // namespace bm::platform::linux_
