#pragma once
// A shell that keeps the icon record and the beeps, and lets a test send mouse messages.
#include <string>
#include <vector>

#include "platform/shell.h"

namespace bm::test {

class FakeShell : public platform::Shell {
  public:
    struct Call {
        int message;
        std::string tip;
    };
    bool NotifyIcon(int message, const platform::NOTIFYICONDATA& data) override;
    void Beep(int type) override { beeps.push_back(type); }

    // Sends a mouse message to the window of the icon, as the shell would.
    void Send(int message) const;
    void Click() const;        // 513, 514
    void DoubleClick() const;  // 513, 514, 515, 514
    void RightClick() const;   // 516, 517
    bool IconShown() const { return shown; }
    std::string Tip() const { return platform::TipText(record); }

    std::vector<Call> calls;
    std::vector<int> beeps;
    platform::NOTIFYICONDATA record;
    bool shown = false;
};

}  // namespace bm::test
