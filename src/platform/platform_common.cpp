#include <cctype>

#include "platform/drive_queries.h"
#include "platform/services.h"
#include "platform/trace.h"

namespace bm::platform {

bool WildcardMatch(const std::string& pattern, const std::string& name) {
    // Iterative match with one backtrack point for the last '*'.
    size_t p = 0, n = 0, star = std::string::npos, mark = 0;
    auto eq = [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) ==
               std::tolower(static_cast<unsigned char>(b));
    };
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || eq(pattern[p], name[n]))) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = n;
        } else if (star != std::string::npos) {
            p = star + 1;
            n = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}

DirPattern ParseDirPattern(const std::string& pattern) {
    DirPattern out;
    std::string rest = pattern;
    if (rest.size() >= 2 && rest[1] == ':' && std::isalpha(static_cast<unsigned char>(rest[0]))) {
        out.letter = static_cast<char>(std::toupper(static_cast<unsigned char>(rest[0])));
        rest.erase(0, 2);
    }
    while (!rest.empty() && (rest.front() == '\\' || rest.front() == '/')) {
        rest.erase(0, 1);
    }
    out.namePattern = rest;
    return out;
}

namespace {
TraceSink gSink = nullptr;
TraceFilter gFilter = nullptr;
Services gServices;
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

void Install(const Services& services) {
    gServices = services;
}
const Services& Get() {
    return gServices;
}

}  // namespace bm::platform
