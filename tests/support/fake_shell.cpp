#include "support/fake_shell.h"

namespace bm::test {

bool FakeShell::NotifyIcon(int message, const platform::NOTIFYICONDATA& data) {
    calls.push_back({message, platform::TipText(data)});
    if (message == platform::NIM_DELETE) {
        shown = false;
    } else {
        record = data;
        shown = true;
    }
    return true;
}

void FakeShell::Send(std::initializer_list<int> messages) const {
    for (const int message : messages) {
        if (shown && record.hWnd != nullptr) {
            record.hWnd->TrayMessage(message);
        }
    }
}

}  // namespace bm::test
