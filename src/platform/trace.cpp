#include "platform/trace.h"

#include <string>

namespace bm::platform {

namespace {
TraceSink gSink = nullptr;
TraceFilter gFilter = nullptr;
}  // namespace

void SetTraceSink(TraceSink sink) {
    gSink = sink;
}
void SetTraceFilter(TraceFilter filter) {
    gFilter = filter;
}

bool TraceEnabled(TraceCategory category) {
    return gSink != nullptr && (gFilter == nullptr || gFilter(category));
}

void Trace(TraceCategory category, const std::string& message) {
    if (TraceEnabled(category)) {
        gSink(category, message);
    }
}

std::string TraceQuote(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                out += EscapeControls(std::string(1, static_cast<char>(c)));
        }
    }
    out += '"';
    return out;
}

std::string EscapeControls(const std::string& text) {
    static const char* hex = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace bm::platform
