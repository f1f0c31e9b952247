#include "platform/shell.h"

#include <algorithm>
#include <cstring>

#include "platform/services.h"
#include "platform/trace.h"

namespace bm::platform {

void SetTip(NOTIFYICONDATA& data, std::string_view text) {
    std::size_t length = std::min(text.size(), sizeof(data.szTip) - 1);
    if (length < text.size()) {
        // Back off continuation bytes so the cut falls between characters.
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) {
            --length;
        }
    }
    std::memcpy(data.szTip, text.data(), length);
    data.szTip[length] = '\0';
}

std::string TipText(const NOTIFYICONDATA& data) {
    const char* end = std::find(std::begin(data.szTip), std::end(data.szTip), '\0');
    return {std::begin(data.szTip), end};
}

bool Shell_NotifyIconA(int message, const NOTIFYICONDATA& data) {
    if (TraceEnabled(TraceCategory::Tray)) {
        switch (message) {
            case NIM_ADD:
                Trace(TraceCategory::Tray, "NIM_ADD " + TraceQuote(TipText(data)));
                break;
            case NIM_MODIFY:
                Trace(TraceCategory::Tray, "NIM_MODIFY " + TraceQuote(TipText(data)));
                break;
            case NIM_DELETE:
                Trace(TraceCategory::Tray, "NIM_DELETE");
                break;
            default:
                Trace(TraceCategory::Tray, "NIM " + std::to_string(message));
        }
    }
    Shell* shell = Get().shell;
    return shell != nullptr && shell->NotifyIcon(message, data);
}

void MessageBeep(int type) {
    Trace(TraceCategory::Beep, std::to_string(type));
    if (Shell* shell = Get().shell) {
        shell->Beep(type);
    }
}

void Shell_SetTrayMenu(const TrayWindow* window, void* menu) {
    if (Shell* shell = Get().shell) {
        shell->SetTrayMenu(window, menu);
    }
}

void Shell_SessionEndMedia(const std::vector<std::string>& media) {
    if (TraceEnabled(TraceCategory::Tray)) {
        std::string line = "end-of-session media";
        for (const std::string& medium : media) {
            line += " " + TraceQuote(medium);
        }
        Trace(TraceCategory::Tray, line);
    }
    if (Shell* shell = Get().shell) {
        shell->SessionEndMedia(media);
    }
}

}  // namespace bm::platform
