#include "platform/qt/qt_trace.h"

#include <QLoggingCategory>

#include "platform/trace.h"

// Debug is off by default for these categories; the rules switch it on.
Q_LOGGING_CATEGORY(lcMci, "bayminder.mci", QtInfoMsg)
Q_LOGGING_CATEGORY(lcSettings, "bayminder.settings", QtInfoMsg)
Q_LOGGING_CATEGORY(lcMsgBox, "bayminder.msgbox", QtInfoMsg)
Q_LOGGING_CATEGORY(lcTray, "bayminder.tray", QtInfoMsg)
Q_LOGGING_CATEGORY(lcForms, "bayminder.forms", QtInfoMsg)
Q_LOGGING_CATEGORY(lcBeep, "bayminder.beep", QtInfoMsg)
Q_LOGGING_CATEGORY(lcSession, "bayminder.session", QtInfoMsg)

namespace bm::platform {
namespace {

const QLoggingCategory& Category(TraceCategory category) {
    switch (category) {
        case TraceCategory::Mci:
            return lcMci();
        case TraceCategory::Settings:
            return lcSettings();
        case TraceCategory::MsgBox:
            return lcMsgBox();
        case TraceCategory::Tray:
            return lcTray();
        case TraceCategory::Forms:
            return lcForms();
        case TraceCategory::Beep:
            return lcBeep();
        case TraceCategory::Session:
            return lcSession();
    }
    return lcMci();
}

}  // namespace

void InstallQtTrace() {
    SetTraceFilter([](TraceCategory category) { return Category(category).isDebugEnabled(); });
    SetTraceSink([](TraceCategory category, const std::string& message) {
        qCDebug(Category(category), "%s", message.c_str());
    });
}

}  // namespace bm::platform
