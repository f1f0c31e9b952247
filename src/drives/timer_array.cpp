#include "drives/timer_array.h"

#include "platform/errors.h"
#include "platform/services.h"

namespace bm {

platform::Timer& TimerArray::Load(int index) {
    if (auto* existing = Item(index)) {
        return *existing;
    }
    if (timers_.empty() && OnFirstLoad) {
        OnFirstLoad();
    }
    auto* host = platform::Get().host;
    if (host == nullptr) {
        throw RuntimeError(kErrDeviceUnavailable, "no host for timers");
    }
    auto timer = host->CreateTimer();
    timer->SetEnabled(false);
    platform::Timer* raw = timer.get();
    timer->SetHandler([this, index, raw] {
        if (OnTimer) {
            OnTimer(index);
        } else {
            raw->SetEnabled(false);
        }
    });
    return *(timers_[index] = std::move(timer));
}

platform::Timer* TimerArray::Item(int index) const {
    auto it = timers_.find(index);
    return it == timers_.end() ? nullptr : it->second.get();
}

}  // namespace bm
