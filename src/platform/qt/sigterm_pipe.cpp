#include "platform/qt/sigterm_pipe.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <fstream>
#include <vector>

namespace bm::platform {

bool IsServiceManager(pid_t pid, const std::string& procRoot) {
    if (pid == 1) {
        return true;
    }
    if (pid <= 0) {
        return false;  // the kernel, or a sender outside our PID namespace
    }
    std::ifstream comm(procRoot + "/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name == "systemd";
}

SigtermFrom SigtermSender(pid_t sender, pid_t parent, pid_t leader, const std::string& procRoot) {
    if (IsServiceManager(sender, procRoot)) {
        return SigtermFrom::ServiceManager;
    }
    if (sender > 1 && (sender == parent || sender == leader)) {
        return SigtermFrom::Session;
    }
    return SigtermFrom::Other;
}

namespace {

std::atomic<int> gSigtermWrite{-1};
struct sigaction gPrevious {};

extern "C" void OnSigterm(int, siginfo_t* info, void*) {
    const int saved = errno;
    const int fd = gSigtermWrite.load(std::memory_order_relaxed);
    if (fd >= 0) {
        const pid_t sender = info != nullptr ? info->si_pid : 0;
        // A full pipe drops the signal: the ones before it are still waiting to be read.
        [[maybe_unused]] const ssize_t written = write(fd, &sender, sizeof sender);
    }
    errno = saved;
}

}  // namespace

SigtermPipe::SigtermPipe(std::function<void(pid_t sender)> received)
    : received_(std::move(received)) {
    int fds[2];
    if (gSigtermWrite.load() >= 0 || pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    read_ = fds[0];
    write_ = fds[1];
    gSigtermWrite.store(write_);
    struct sigaction action {};
    action.sa_sigaction = &OnSigterm;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGTERM, &action, &gPrevious) != 0) {
        gSigtermWrite.store(-1);
        close(read_);
        close(write_);
        read_ = write_ = -1;
        return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(read_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                     [this] { Drain(); });
}

SigtermPipe::~SigtermPipe() {
    if (!Installed()) {
        return;
    }
    sigaction(SIGTERM, &gPrevious, nullptr);
    gSigtermWrite.store(-1);
    notifier_.reset();
    close(read_);
    close(write_);
}

void SigtermPipe::Drain() {
    // Read everything first: the handler may run a nested event loop, and the notifier must
    // not fire again for signals already taken.
    std::vector<pid_t> senders;
    pid_t sender = 0;
    while (read(read_, &sender, sizeof sender) == static_cast<ssize_t>(sizeof sender)) {
        senders.push_back(sender);
    }
    for (const pid_t pid : senders) {
        received_(pid);
    }
}

}  // namespace bm::platform
