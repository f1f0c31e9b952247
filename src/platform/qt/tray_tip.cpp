#include "platform/qt/tray_tip.h"

#include <algorithm>

namespace bm::platform {

QString TipForQt(const NOTIFYICONDATA& data) {
    constexpr std::size_t kMax = sizeof(data.szTip) - 1;
    const char* begin = data.szTip;
    std::size_t length = std::find(begin, begin + kMax, '\0') - begin;
    // A lead byte near the end whose continuation bytes do not all follow is cut off.
    const auto continuation = [&](std::size_t i) {
        return (static_cast<unsigned char>(begin[i]) & 0xC0) == 0x80;
    };
    std::size_t lead = length;
    while (lead > 0 && length - lead < 3 && continuation(lead - 1)) {
        --lead;
    }
    if (lead > 0) {
        --lead;
        const auto byte = static_cast<unsigned char>(begin[lead]);
        const std::size_t need = (byte & 0xE0) == 0xC0   ? 2
                                 : (byte & 0xF0) == 0xE0 ? 3
                                 : (byte & 0xF8) == 0xF0 ? 4
                                                         : 0;
        if (length - lead < need) {
            length = lead;
        }
    }
    return QString::fromUtf8(begin, static_cast<qsizetype>(length));
}

}  // namespace bm::platform
