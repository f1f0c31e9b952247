#include "support/fake_host.h"

#include <gtest/gtest.h>

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

void FakeHost::Later(int ms, std::function<void()> event) {
    auto timer = CreateTimer();
    platform::Timer* t = timer.get();
    t->SetInterval(ms);
    t->SetHandler([t, event = std::move(event)] {
        t->SetEnabled(false);
        event();
    });
    t->SetEnabled(true);
    later_.push_back(std::move(timer));
}

void FakeHost::DoEvents() {
    // Only what was queued before this call; what the events queue runs next time.
    auto batch = std::move(pending_);
    pending_.clear();
    for (auto& event : batch) {
        event();
    }
}

int FakeHost::MsgBox(const std::string& prompt, int style, const std::string& title) {
    boxes.push_back({prompt, style, title});
    DoEvents();  // a modal box lets other events run
    return 1;
}

FakeTimer* FakeHost::NextDue(long long end) const {
    FakeTimer* next = nullptr;
    for (FakeTimer* t : timers_) {
        if (t->enabled_ && t->interval_ > 0 && t->due_ <= end &&
            (next == nullptr || t->due_ < next->due_)) {
            next = t;
        }
    }
    return next;
}

void FakeHost::Fire(FakeTimer& timer) {
    now_ = timer.due_;
    timer.due_ = now_ + timer.interval_;
    if (timer.handler_) {
        // The handler may replace itself or destroy the timer: call a copy.
        auto handler = timer.handler_;
        handler();
    }
}

void FakeHost::Advance(long long ms) {
    const long long end = now_ + ms;
    while (FakeTimer* next = NextDue(end)) {
        Fire(*next);
    }
    now_ = end;
}

bool FakeHost::AdvanceToNextTimer(long long limitMs) {
    FakeTimer* next = NextDue(now_ + limitMs);
    if (next == nullptr) {
        return false;
    }
    Fire(*next);
    return true;
}

void FakeHost::WaitWhile(const std::function<bool()>& condition) {
    DoEvents();
    while (condition()) {
        if (!AdvanceToNextTimer()) {
            ADD_FAILURE() << "WaitWhile would wait for ever: no timer runs";
            return;
        }
        DoEvents();
    }
}

}  // namespace bm::test
