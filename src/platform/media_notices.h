#pragma once
// Notices that what the drives hold may have changed: a medium came or went, a label changed.
// The machine gives them (the kernel's block uevents, the simulated machine's file); nothing
// polls for them.
#include <functional>

namespace bm::platform {

class MediaNotices {
  public:
    virtual ~MediaNotices() = default;
    // changed runs on the program's thread, once for each batch of notices, from the event
    // loop (or from a DoEvents); an empty function stops the notices.
    virtual void Watch(std::function<void()> changed) = 0;
};

// Where a backend's notices come from: a descriptor that turns readable when some wait.
class ChangeFeed {
  public:
    virtual ~ChangeFeed() = default;
    // -1 when no notice can ever come (no udev, no folder to watch).
    virtual int Descriptor() const = 0;
    // Reads what waits without blocking; true when any of it may concern the drives.
    virtual bool Drain() = 0;
};

}  // namespace bm::platform
