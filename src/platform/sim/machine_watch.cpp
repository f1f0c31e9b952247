#include "platform/sim/machine_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

namespace bm::platform::sim {
namespace {

class MachineFileFeed : public ChangeFeed {
  public:
    explicit MachineFileFeed(const std::string& path) {
        const std::size_t slash = path.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
        name_ = slash == std::string::npos ? path : path.substr(slash + 1);
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ < 0) {
            return;
        }
        if (inotify_add_watch(
                fd_, folder.c_str(),
                IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE) < 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~MachineFileFeed() override {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    MachineFileFeed(const MachineFileFeed&) = delete;
    MachineFileFeed& operator=(const MachineFileFeed&) = delete;

    int Descriptor() const override { return fd_; }

    bool Drain() override {
        if (fd_ < 0) {
            return false;
        }
        bool changed = false;
        alignas(inotify_event) std::array<char, 8192> buffer{};
        for (;;) {
            const ssize_t got = ::read(fd_, buffer.data(), buffer.size());
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                return changed;  // EAGAIN: all read
            }
            for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
                inotify_event event{};
                std::memcpy(&event, buffer.data() + at, sizeof event);
                const char* name = buffer.data() + at + sizeof event;
                const std::size_t room = static_cast<std::size_t>(got - at) - sizeof event;
                const std::size_t length = std::min<std::size_t>(event.len, room);
                // Lost events may have been about the file.
                if ((event.mask & IN_Q_OVERFLOW) != 0 ||
                    std::string_view(name, strnlen(name, length)) == name_) {
                    changed = true;
                }
                at += static_cast<ssize_t>(sizeof event + event.len);
            }
        }
    }

  private:
    std::string name_;
    int fd_ = -1;
};

}  // namespace

std::unique_ptr<ChangeFeed> WatchMachineFile(const std::string& path) {
    return std::make_unique<MachineFileFeed>(path);
}

}  // namespace bm::platform::sim
