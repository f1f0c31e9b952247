#pragma once
// A shell that keeps the icon record and the beeps, and lets a test send mouse messages.
#include <initializer_list>
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
    bool NotifyIcon(int message, const platform::NOTIFYICONDATA& data) override {
        calls.push_back({message, platform::TipText(data)});
        shown = message != platform::NIM_DELETE;
        if (shown) {
            record = data;
        }
        return true;
    }
    void Beep(int type) override { beeps.push_back(type); }
    void SessionEndMedia(const std::vector<std::string>& media) override {
        sessionEndMedia.push_back(media);
    }

    // Sends mouse messages to the window of the icon, as the shell would.
    void Send(std::initializer_list<int> messages) const {
        for (const int message : messages) {
            if (shown && record.hWnd != nullptr) {
                record.hWnd->TrayMessage(message);
            }
        }
    }
    void Send(int message) const { Send({message}); }
    void Click() const { Send({platform::kWmLButtonDown, platform::kWmLButtonUp}); }
    void DoubleClick() const {
        Send({platform::kWmLButtonDown, platform::kWmLButtonUp, platform::kWmLButtonDblClk,
              platform::kWmLButtonUp});
    }
    void RightClick() const { Send({platform::kWmRButtonDown, platform::kWmRButtonUp}); }
    bool IconShown() const { return shown; }
    std::string Tip() const { return platform::TipText(record); }

    std::vector<Call> calls;
    std::vector<int> beeps;
    std::vector<std::vector<std::string>> sessionEndMedia;
    platform::NOTIFYICONDATA record;
    bool shown = false;
};

}  // namespace bm::test
