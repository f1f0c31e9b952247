#include "platform/services.h"

namespace bm::platform {
namespace {
Services gServices;
}  // namespace

void Install(const Services& services) {
    gServices = services;
}
const Services& Get() {
    return gServices;
}

}  // namespace bm::platform
