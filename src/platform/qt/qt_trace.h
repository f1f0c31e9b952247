#pragma once

namespace bm::platform {

// Sends trace lines to Qt's logging categories bayminder.mci, bayminder.settings, ... (off
// unless QT_LOGGING_RULES switches them on, e.g. "bayminder.*=true").
void InstallQtTrace();

}  // namespace bm::platform
