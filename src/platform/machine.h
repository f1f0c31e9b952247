#pragma once
// A machine backend: the drives and the CD devices of the real machine or of a simulated one.
#include "platform/drive_queries.h"
#include "platform/mci.h"

namespace bm::platform {

class Machine {
  public:
    virtual ~Machine() = default;
    virtual DriveQueries& Drives() = 0;
    virtual Mci& MciDevice() = 0;
};

}  // namespace bm::platform
