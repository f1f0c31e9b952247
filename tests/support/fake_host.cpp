#include "support/fake_host.h"

#include <algorithm>

namespace bm::test {

FakeTimer::~FakeTimer() {
    std::erase(host_.timers_, this);
}

void FakeTimer::SetInterval(int ms) {
    interval_ = ms;
    due_ = host_.now_ + ms;
}

void FakeTimer::SetEnabled(bool enabled) {
    if (enabled && !enabled_) {
        due_ = host_.now_ + interval_;
    }
    enabled_ = enabled;
}

std::unique_ptr<platform::Timer> FakeHost::CreateTimer() {
    auto timer = std::make_unique<FakeTimer>(*this);
    timers_.push_back(timer.get());
    return timer;
}

void FakeHost::RunPending() {
    // Only what was queued before this call; what the events queue runs next time.
    auto batch = std::move(pending_);
    pending_.clear();
    for (auto& event : batch) {
        event();
    }
}

void FakeHost::DoEvents() {
    ++doEventsCalls_;
    RunPending();
}

int FakeHost::MsgBox(const std::string& prompt, int style, const std::string& title) {
    boxes.push_back({prompt, style, title});
    RunPending();  // a modal box lets other events run
    return 1;
}

void FakeHost::Advance(long long ms) {
    const long long end = now_ + ms;
    for (;;) {
        FakeTimer* next = nullptr;
        for (FakeTimer* t : timers_) {
            if (t->enabled_ && t->interval_ > 0 && t->due_ <= end &&
                (next == nullptr || t->due_ < next->due_)) {
                next = t;
            }
        }
        if (next == nullptr) {
            break;
        }
        now_ = next->due_;
        next->due_ = now_ + next->interval_;
        if (next->handler_) {
            next->handler_();
        }
    }
    now_ = end;
}

}  // namespace bm::test
