#pragma once
// The window-system services the drive model needs from its host.
#include <functional>
#include <memory>
#include <string>

namespace bm::platform {

// A timer with an interval and an enabled state; enabling it (or changing its interval while it
// runs) starts a new interval. It fires its handler every interval while enabled.
class Timer {
  public:
    virtual ~Timer() = default;
    virtual void SetInterval(int milliseconds) = 0;
    virtual int Interval() const = 0;
    virtual void SetEnabled(bool enabled) = 0;
    virtual bool Enabled() const = 0;
    virtual void SetHandler(std::function<void()> handler) = 0;
};

// Message box styles used by the program.
enum MsgBoxStyle : int {
    kVbOkOnly = 0,
    kVbCritical = 16,
    kVbQuestion = 32,
    kVbExclamation = 48,
    kVbInformation = 64,
    kVbSystemModal = 4096,
};

class Host {
  public:
    virtual ~Host() = default;
    virtual std::unique_ptr<Timer> CreateTimer() = 0;
    // Lets pending events run once; handlers may be re-entered here.
    virtual void DoEvents() = 0;
    // Modal; returns when the user has closed it. Returns the button pressed (1 = OK).
    virtual int MsgBox(const std::string& prompt, int style, const std::string& title) = 0;
    // The folder that holds the program's executable file.
    virtual std::string AppPath() = 0;
    // Lets events run until condition() is false; blocks without spinning the processor.
    virtual void WaitWhile(const std::function<bool()>& condition) = 0;
};

}  // namespace bm::platform
