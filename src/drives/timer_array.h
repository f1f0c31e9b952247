#pragma once
// A control array of host timers indexed by number, as the drive status timers are.
#include <functional>
#include <map>
#include <memory>

#include "platform/host.h"

namespace bm {

class TimerArray {
  public:
    // Creates the element disabled (or returns the loaded one). Its tick calls OnTimer(index),
    // or, while nobody handles it, simply disables the element: one interval of hold-off.
    platform::Timer& Load(int index);
    // The loaded element, or null.
    platform::Timer* Item(int index) const;
    void UnloadAll() { timers_.clear(); }

    std::function<void(int index)> OnTimer;
    // Runs before the first element is created (the owning window loads there).
    std::function<void()> OnFirstLoad;

  private:
    std::map<int, std::unique_ptr<platform::Timer>> timers_;
};

}  // namespace bm
