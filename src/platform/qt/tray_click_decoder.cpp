#include "platform/qt/tray_click_decoder.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QStyleHints>
#include "platform/shell.h"

namespace bm::platform {

TrayClickDecoder::TrayClickDecoder()
    : TrayClickDecoder(
          [] {
              static QElapsedTimer clock = [] {
                  QElapsedTimer t;
                  t.start();
                  return t;
              }();
              return static_cast<std::int64_t>(clock.elapsed());
          },
          [] { return QGuiApplication::styleHints()->mouseDoubleClickInterval(); }) {}

std::vector<int> TrayClickDecoder::Messages(QSystemTrayIcon::ActivationReason reason) {
    const std::int64_t now = clock_();
    switch (reason) {
        case QSystemTrayIcon::Trigger:
            if (triggered_ && now - triggerAt_ <= interval_()) {
                triggered_ = false;
                doubled_ = true;
                doubledAt_ = now;
                return {kWmLButtonDblClk, kWmLButtonUp};
            }
            triggered_ = true;
            triggerAt_ = now;
            doubled_ = false;
            return {kWmLButtonDown, kWmLButtonUp};
        case QSystemTrayIcon::DoubleClick:
            triggered_ = false;
            if (doubled_ && now - doubledAt_ <= interval_()) {
                doubled_ = false;
                return {};  // already reported by its second Trigger
            }
            return {kWmLButtonDblClk, kWmLButtonUp};
        case QSystemTrayIcon::Context:
            triggered_ = false;
            doubled_ = false;
            return {kWmRButtonDown, kWmRButtonUp};
        default:
            return {};  // middle clicks mean nothing to the program
    }
}

}  // namespace bm::platform
