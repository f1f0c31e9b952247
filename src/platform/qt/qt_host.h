#pragma once
// The host services on Qt: timers on QTimer, message boxes on QMessageBox, the event loop.
#include <functional>
#include <memory>
#include <string>

#include "platform/host.h"

namespace bm::platform {

class QtHost : public Host {
  public:
    // Repeating timers; interval 0 (or less) never fires, even while enabled. A timer may be
    // destroyed from inside its own handler.
    std::unique_ptr<Timer> CreateTimer() override;
    // QCoreApplication::processEvents() once.
    void DoEvents() override;
    // A modal box with one OK button, run in a nested event loop (other events keep being
    // handled meanwhile). Carriage returns in the prompt break lines; the prompt is plain text.
    // The icon comes from style & 0x70, kVbSystemModal keeps the box on top. Returns 1 (OK).
    // Without a QApplication it writes "title: prompt" to standard error instead.
    int MsgBox(const std::string& prompt, int style, const std::string& title) override;
    // The folder of the executable, without a trailing separator.
    std::string AppPath() override;

    // Blocks in a nested event loop while condition() holds, handling events meanwhile. Not
    // spinning: the thread sleeps in the event loop between checks, which come every 50 ms.
    // Returns at once when the condition is false, when no application exists, or when the
    // application is told to quit (QCoreApplication::exit ends nested loops too).
    void WaitWhile(const std::function<bool()>& condition) override;
};

}  // namespace bm::platform
