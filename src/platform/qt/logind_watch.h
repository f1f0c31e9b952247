#pragma once
// logind's shutdown signal, and the delay lock that holds the shutdown for the check.
#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <chrono>
#include <functional>
#include <optional>

#include "platform/qt/session_machine.h"

namespace bm::platform {

// logind's PrepareForShutdown on the given (system) bus. A delay lock is taken at start and
// after a cancelled shutdown, and given back by Release once the shutdown's check is done.
class LogindWatch : public QObject {
    Q_OBJECT

  public:
    struct Events {
        // PrepareForShutdown(true), once per shutdown; deadline: when logind stops waiting
        // (InhibitDelayMaxUSec after the signal).
        std::function<void(SessionClock::time_point deadline)> shutdown;
        // PrepareForShutdown(false) after a shutdown.
        std::function<void()> cancelled;
    };
    // logind's own default for InhibitDelayMaxSec, until it tells its own.
    static constexpr std::chrono::microseconds kDefaultDelayMax{5'000'000};

    LogindWatch(QDBusConnection bus, Events events);
    bool Locked() const { return lock_.isValid(); }
    std::chrono::microseconds DelayMax() const { return delayMax_; }
    // The check of this shutdown is done: the shutdown may go on.
    void Release();
    // Whether logind says the program's session is closing (false when it cannot tell).
    void AskClosing(std::function<void(bool closing)> answer);

  private Q_SLOTS:
    void PrepareForShutdown(bool start);

  private:
    void TakeLock();
    void ReadDelayMax();

    QDBusConnection bus_;
    Events events_;
    QDBusUnixFileDescriptor lock_;
    std::chrono::microseconds delayMax_ = kDefaultDelayMax;
    int asked_ = 0;  // answers to older Inhibit calls are dropped
    bool inShutdown_ = false;
};

}  // namespace bm::platform
