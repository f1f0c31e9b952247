#pragma once
// A host on a virtual clock: timers fire only when a test advances time, and DoEvents runs what
// the test queued, so re-entry can be provoked on purpose.
#include <deque>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/host.h"

namespace bm::test {

class FakeHost;

class FakeTimer : public platform::Timer {
  public:
    explicit FakeTimer(FakeHost& host) : host_(host) {}
    ~FakeTimer() override;
    void SetInterval(int ms) override;
    int Interval() const override { return interval_; }
    void SetEnabled(bool enabled) override;
    bool Enabled() const override { return enabled_; }
    void SetHandler(std::function<void()> handler) override { handler_ = std::move(handler); }

  private:
    friend class FakeHost;
    FakeHost& host_;
    int interval_ = 0;
    bool enabled_ = false;
    long long due_ = 0;
    std::function<void()> handler_;
};

struct ShownBox {
    std::string prompt;
    int style;
    std::string title;
    bool operator==(const ShownBox&) const = default;
};
inline void PrintTo(const ShownBox& b, std::ostream* out) {
    *out << b.style << " " << b.title << ": " << b.prompt;
}

class FakeHost : public platform::Host {
  public:
    std::unique_ptr<platform::Timer> CreateTimer() override;
    void DoEvents() override;
    int MsgBox(const std::string& prompt, int style, const std::string& title) override;
    std::string AppPath() override { return appPath; }
    // Runs pending events, then moves the clock from timer to timer until the condition is
    // false. Fails the test (and returns) when nothing is left that could change it.
    void WaitWhile(const std::function<bool()>& condition) override;

    // Moves the clock on, firing every timer that falls due, in time order.
    void Advance(long long ms);
    // Moves the clock to the next timer that falls due and fires it; false when none runs.
    bool AdvanceToNextTimer(long long limitMs = 3600 * 1000);
    long long Now() const { return now_; }
    // Runs at the next DoEvents (or while the next message box is up).
    void Post(std::function<void()> event) { pending_.push_back(std::move(event)); }
    // Runs once, that many milliseconds from now: inside a wait, say.
    void Later(int ms, std::function<void()> event);

    std::vector<ShownBox> boxes;
    std::string appPath = "/opt/bayminder/bin";

  private:
    friend class FakeTimer;
    FakeTimer* NextDue(long long end) const;
    void Fire(FakeTimer& timer);
    long long now_ = 0;
    std::vector<FakeTimer*> timers_;
    std::deque<std::function<void()>> pending_;
    std::vector<std::unique_ptr<platform::Timer>> later_;
};

}  // namespace bm::test
