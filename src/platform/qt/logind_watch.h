#pragma once
// logind's shutdown signal, and the delay lock that holds the shutdown for the check.
#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <functional>

namespace bm::platform {

// logind's PrepareForShutdown on the given (system) bus. A delay lock is taken at start and
// after a cancelled shutdown, and given back once ending has returned.
class LogindWatch : public QObject {
    Q_OBJECT

  public:
    // ending runs once per shutdown, however often logind announces it; cancelled runs on
    // PrepareForShutdown(false), after the running check (if any) has returned.
    LogindWatch(QDBusConnection bus, std::function<void()> ending, std::function<void()> cancelled);
    bool Locked() const { return lock_.isValid(); }

  private Q_SLOTS:
    void PrepareForShutdown(bool start);

  private:
    void TakeLock();
    void Release();

    QDBusConnection bus_;
    std::function<void()> ending_;
    std::function<void()> cancelled_;
    QDBusUnixFileDescriptor lock_;
    int asked_ = 0;  // answers to older Inhibit calls are dropped
    bool inShutdown_ = false;
    bool running_ = false;
};

}  // namespace bm::platform
