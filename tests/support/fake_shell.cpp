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

void FakeShell::Send(int message) const {
    if (shown && record.hWnd != nullptr) {
        record.hWnd->TrayMessage(message);
    }
}

void FakeShell::Click() const {
    Send(513);
    Send(514);
}

void FakeShell::DoubleClick() const {
    Send(513);
    Send(514);
    Send(515);
    Send(514);
}

void FakeShell::RightClick() const {
    Send(516);
    Send(517);
}

}  // namespace bm::test
