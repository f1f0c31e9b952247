#pragma once
// The previous-instance test: one lock per user, held for the life of the process. The kernel
// drops it when the process ends, so a crash never refuses the next start.
#include <memory>
#include <string>

namespace bm::platform::linux_ {

class InstanceLock {
  public:
    // Null when another process holds the lock. A folder or file that cannot be used counts as
    // no other instance: refusing to start for good would be worse than a second icon.
    static std::unique_ptr<InstanceLock> Acquire(const std::string& path);
    // $XDG_RUNTIME_DIR/bayminder.lock, or a per-user file in /tmp without it.
    static std::string DefaultPath();
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

  private:
    explicit InstanceLock(int fd) : fd_(fd) {}
    int fd_;
};

}  // namespace bm::platform::linux_
