#pragma once
// A machine backend: the drives and the CD devices of the real machine or of a simulated one.
#include <memory>

#include "platform/drive_queries.h"
#include "platform/drive_set.h"
#include "platform/mci.h"
#include "platform/media_notices.h"

namespace bm::platform {

class Machine {
  public:
    virtual ~Machine() = default;
    virtual DriveQueries& Drives() = 0;
    virtual Mci& MciDevice() = 0;
    // Where the notices that its media may have changed come from.
    virtual std::unique_ptr<ChangeFeed> WatchChanges() = 0;
    // The drives that come and go, or null where letters are the machine's own.
    virtual DriveSet* Letters() { return nullptr; }
};

}  // namespace bm::platform
