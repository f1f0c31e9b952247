#pragma once
// The tip of the icon's record as Qt gets it.
#include <QString>

#include "platform/shell.h"

namespace bm::platform {

// The tip up to its NUL, at most 63 bytes as the field allows, without a trailing partial UTF-8
// character (a record filled by other means than SetTip may hold one).
QString TipForQt(const NOTIFYICONDATA& data);

}  // namespace bm::platform
