#pragma once
// The platform the drive model runs on: one backend of each interface.
#include "platform/drive_queries.h"
#include "platform/drive_set.h"
#include "platform/host.h"
#include "platform/mci.h"
#include "platform/media_notices.h"
#include "platform/settings_backing.h"
#include "platform/shell.h"
#include "platform/windows.h"

namespace bm::platform {

struct Services {
    DriveQueries* drives = nullptr;
    Mci* mci = nullptr;
    SettingsBacking* settings = nullptr;
    Host* host = nullptr;
    Shell* shell = nullptr;           // windows only
    Windows* windows = nullptr;       // windows only
    MediaNotices* notices = nullptr;  // windows only; none: the tooltip follows the pointer only
    DriveSet* set = nullptr;          // none: the machine's letters, a table fixed at start
};

// Set once by main() (or by a test) before the drive model runs.
void Install(const Services& services);
const Services& Get();

}  // namespace bm::platform
