#include "app/console_host.h"

#include <unistd.h>

#include <climits>
#include <functional>

namespace bm::app {
namespace {

class StateTimer : public platform::Timer {
  public:
    void SetInterval(int ms) override { interval_ = ms; }
    int Interval() const override { return interval_; }
    void SetEnabled(bool enabled) override { enabled_ = enabled; }
    bool Enabled() const override { return enabled_; }
    void SetHandler(std::function<void()> /*handler*/) override {}

  private:
    int interval_ = 0;
    bool enabled_ = false;
};

}  // namespace

std::unique_ptr<platform::Timer> ConsoleHost::CreateTimer() {
    return std::make_unique<StateTimer>();
}

int ConsoleHost::MsgBox(const std::string& prompt, int /*style*/, const std::string& title) {
    std::string line = prompt;
    for (char& c : line) {
        if (c == '\r' || c == '\n') {
            c = ' ';
        }
    }
    err_ << title << ": " << line << '\n';
    return 1;
}

std::string ConsoleHost::AppPath() {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) {
        return {};
    }
    const std::string path(buf, static_cast<size_t>(n));
    const auto slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace bm::app
