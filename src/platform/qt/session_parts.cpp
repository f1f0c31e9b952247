#include "platform/qt/session_parts.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
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

SessionDispatch::SessionDispatch(SessionHandlers handlers,
                                 std::function<bool(pid_t)> isServiceManager)
    : handlers_(std::move(handlers)), isServiceManager_(std::move(isServiceManager)) {}

void SessionDispatch::Ending(SessionEndSource source, bool withWindows) {
    if (handlers_.sessionEnding) {
        ++running_;
        handlers_.sessionEnding(source, withWindows);
        --running_;
    }
    RunPending();
}

void SessionDispatch::Cancelled() {
    if (handlers_.shutdownCancelled) {
        handlers_.shutdownCancelled();
    }
}

void SessionDispatch::Die() {
    if (handlers_.sessionDie) {
        handlers_.sessionDie();
    }
}

void SessionDispatch::Sigterm(pid_t sender) {
    (isServiceManager_(sender) ? endPending_ : closePending_) = true;
    RunPending();
}

void SessionDispatch::RunPending() {
    if (running_ > 0) {
        return;
    }
    if (endPending_) {
        // The end of the session answers a close as well.
        endPending_ = closePending_ = false;
        Ending(SessionEndSource::ServiceManager, true);
    } else if (closePending_) {
        ++running_;
        if (handlers_.taskManagerClose) {
            handlers_.taskManagerClose();
        }
        --running_;
        // A second close while the first one's message box was up is the same close.
        closePending_ = false;
        RunPending();
    }
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

namespace {
const QString kLogind = QStringLiteral("org.freedesktop.login1");
const QString kLogindPath = QStringLiteral("/org/freedesktop/login1");
const QString kManager = QStringLiteral("org.freedesktop.login1.Manager");
}  // namespace

LogindWatch::LogindWatch(QDBusConnection bus, std::function<void()> ending,
                         std::function<void()> cancelled)
    : bus_(std::move(bus)), ending_(std::move(ending)), cancelled_(std::move(cancelled)) {
    if (!bus_.isConnected()) {
        return;
    }
    bus_.connect(kLogind, kLogindPath, kManager, QStringLiteral("PrepareForShutdown"), this,
                 SLOT(PrepareForShutdown(bool)));
    // A restarted logind has forgotten our lock.
    auto* watcher =
        new QDBusServiceWatcher(kLogind, bus_, QDBusServiceWatcher::WatchForRegistration, this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, [this] {
        if (!inShutdown_) {
            TakeLock();
        }
    });
    TakeLock();
}

void LogindWatch::TakeLock() {
    QDBusMessage inhibit =
        QDBusMessage::createMethodCall(kLogind, kLogindPath, kManager, QStringLiteral("Inhibit"));
    inhibit << QStringLiteral("shutdown") << QStringLiteral("Bayminder")
            << QStringLiteral("Checking the drives for media left inside")
            << QStringLiteral("delay");
    const int ask = ++asked_;
    auto* call = new QDBusPendingCallWatcher(bus_.asyncCall(inhibit), this);
    connect(call, &QDBusPendingCallWatcher::finished, this,
            [this, ask](QDBusPendingCallWatcher* done) {
                const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *done;
                // The watcher's copy of the reply holds the lock's descriptor too, and a deferred
                // delete can wait long (a reply taken in a nested event loop): let it go now.
                static_cast<QDBusPendingCall&>(*done) =
                    QDBusPendingCall::fromCompletedCall(QDBusMessage());
                done->deleteLater();
                // A lock granted after the shutdown began would only hold it up for nothing.
                if (ask == asked_ && !inShutdown_ && !reply.isError()) {
                    lock_ = reply.value();
                }
            });
}

void LogindWatch::Release() {
    ++asked_;
    lock_ = QDBusUnixFileDescriptor();
}

void LogindWatch::PrepareForShutdown(bool start) {
    if (!start) {
        if (!inShutdown_) {
            return;
        }
        inShutdown_ = false;
        TakeLock();
        if (!running_) {
            cancelled_();
        }
        return;
    }
    if (inShutdown_) {
        return;  // said again: the check of this shutdown has run or is running
    }
    inShutdown_ = true;
    if (running_) {
        return;  // cancelled and started again meanwhile: the running check answers for both
    }
    running_ = true;
    ending_();
    running_ = false;
    if (inShutdown_) {
        Release();
    } else {
        cancelled_();  // called off while the check ran; the new lock is on its way
    }
}

}  // namespace bm::platform
