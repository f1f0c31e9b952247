#pragma once
// Notices of the simulated machine: its file written, replaced (as editors and this program do,
// by renaming a new version over it), created or removed. The folder is watched, not the file,
// so a file replaced by a rename is still followed.
#include <memory>
#include <string>

#include "platform/media_notices.h"

namespace bm::platform::sim {

// The feed's descriptor is -1 when the folder cannot be watched.
std::unique_ptr<ChangeFeed> WatchMachineFile(const std::string& path);

}  // namespace bm::platform::sim
