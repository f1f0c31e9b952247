#pragma once
// What the parts of modMain share and no one outside the drive model may call.
#include "platform/drive_queries.h"

namespace bm::modMain::detail {

// The installed drive queries; throws RuntimeError when none are installed.
platform::DriveQueries& Queries();

// Forget what was told once, so that a second run tells it again.
void ForgetStoreFailure();
void ForgetDeviceFaults();

}  // namespace bm::modMain::detail
