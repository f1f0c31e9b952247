#pragma once
// The notification-area icon and the system beep, in the shape the program calls them.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bm::platform {

// The icon's mouse messages, numbered as the program has always numbered them.
inline constexpr int kWmMouseMove = 512;
inline constexpr int kWmLButtonDown = 513;
inline constexpr int kWmLButtonUp = 514;
inline constexpr int kWmLButtonDblClk = 515;
inline constexpr int kWmRButtonDown = 516;
inline constexpr int kWmRButtonUp = 517;

// The window that receives the icon's mouse messages; the shell calls it with one of them.
class TrayWindow {
  public:
    virtual ~TrayWindow() = default;
    virtual void TrayMessage(int message) = 0;
};

inline constexpr int NIM_ADD = 0;
inline constexpr int NIM_MODIFY = 1;
inline constexpr int NIM_DELETE = 2;
inline constexpr std::uint32_t NIF_MESSAGE = 1;
inline constexpr std::uint32_t NIF_ICON = 2;
inline constexpr std::uint32_t NIF_TIP = 4;
inline constexpr std::uint32_t WM_MOUSEMOVE = 0x200;
inline constexpr std::uint32_t kNotifyIconDataSize = 88;

inline constexpr int MB_OK = 0;
inline constexpr int MB_ICONASTERISK = 0x40;

struct NOTIFYICONDATA {
    std::uint32_t cbSize = 0;
    TrayWindow* hWnd = nullptr;
    std::uint32_t uID = 0;
    std::uint32_t uFlags = 0;
    std::uint32_t uCallbackMessage = 0;
    const void* hIcon = nullptr;  // the backend's own icon object
    char szTip[64] = {};
};

// Writes text into szTip from its start, cut so that a NUL always follows and no UTF-8 character
// is split; the rest of the field keeps what it held.
void SetTip(NOTIFYICONDATA& data, std::string_view text);
// The tip up to its NUL.
std::string TipText(const NOTIFYICONDATA& data);

class Shell {
  public:
    virtual ~Shell() = default;
    // Result as the shell gives it; the program never looks at it.
    virtual bool NotifyIcon(int message, const NOTIFYICONDATA& data) = 0;
    virtual void Beep(int type) = 0;
    // The icon's popup menu, the backend's own menu object (a QMenu on Qt), for hosts that draw
    // the menu themselves; handed before NIM_ADD, null takes it back. Where the host draws no
    // tooltip, the shell shows the tip at the head of that menu, kept current by NIM_MODIFY.
    virtual void SetTrayMenu(const TrayWindow* /*window*/, void* /*menu*/) {}
    // The media found at the end of the session ("HOLIDAY (D:)" each), for the desktop's
    // end-of-session dialog where it lists what holds the session up; empty takes them back.
    virtual void SessionEndMedia(const std::vector<std::string>& /*media*/) {}
};

// Through the installed shell, traced ("NIM_ADD \"tip\"", "NIM_DELETE", beep "0"/"64").
bool Shell_NotifyIconA(int message, const NOTIFYICONDATA& data);
void MessageBeep(int type);
void Shell_SetTrayMenu(const TrayWindow* window, void* menu);
// Traced as "end-of-session media \"HOLIDAY (D:)\" ...".
void Shell_SessionEndMedia(const std::vector<std::string>& media);

}  // namespace bm::platform
