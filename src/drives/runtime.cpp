#include "drives/runtime.h"

#include <cctype>
#include <cmath>
#include <limits>

#include "platform/services.h"
#include "platform/trace.h"

namespace bm {
namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t';
}

[[noreturn]] void Mismatch(const std::string& text) {
    throw RuntimeError(kErrTypeMismatch, "Type mismatch: " + platform::TraceQuote(text));
}

std::string Trim(const std::string& text) {
    size_t b = 0, e = text.size();
    while (b < e && IsSpace(text[b])) {
        ++b;
    }
    while (e > b && IsSpace(text[e - 1])) {
        --e;
    }
    return text.substr(b, e - b);
}

}  // namespace

std::int32_t CLng(const std::string& text) {
    const std::string t = Trim(text);
    size_t i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
        negative = t[i] == '-';
        ++i;
    }
    // Digits are accumulated as a double so that a long run of them overflows, not wraps.
    double whole = 0;
    size_t digits = 0;
    while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) {
        whole = whole * 10 + (t[i] - '0');
        ++i;
        ++digits;
    }
    double fraction = 0, scale = 1;
    if (i < t.size() && t[i] == '.') {
        ++i;
        while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) {
            scale /= 10;
            fraction += (t[i] - '0') * scale;
            ++i;
            ++digits;
        }
    }
    if (digits == 0 || i != t.size()) {
        Mismatch(text);
    }
    double value = whole + fraction;
    value = std::nearbyint(value);  // the default rounding mode is half to even
    if (negative) {
        value = -value;
    }
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        throw RuntimeError(kErrOverflow, "Overflow: " + platform::TraceQuote(text));
    }
    return static_cast<std::int32_t>(value);
}

VbBool CBool(const std::string& text) {
    std::string t = Trim(text);
    for (char& c : t) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (t == "true") {
        return vbTrue;
    }
    if (t == "false") {
        return vbFalse;
    }
    try {
        return ToVb(CLng(t) != 0);
    } catch (const RuntimeError&) {
        Mismatch(text);
    }
}

std::string CStr(VbBool value) {
    return value != 0 ? "True" : "False";
}

std::string ProperCase(const std::string& text) {
    std::string out = text;
    bool startOfWord = true;
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalpha(u) && u < 0x80) {
            c = static_cast<char>(startOfWord ? std::toupper(u) : std::tolower(u));
            startOfWord = false;
        } else {
            startOfWord = IsSpace(c) || c == '\0';
        }
    }
    return out;
}

std::string Chr(int code) {
    return std::string(1, static_cast<char>(code));
}

namespace {
int gNested = 0;
struct Nested {
    Nested() { ++gNested; }
    ~Nested() { --gNested; }
    Nested(const Nested&) = delete;
    Nested& operator=(const Nested&) = delete;
};
}  // namespace

bool InNestedEvents() {
    return gNested > 0;
}

void DoEvents() {
    if (auto* host = platform::Get().host) {
        const Nested nested;
        host->DoEvents();
    }
}

int MsgBox(const std::string& prompt, int style, const std::string& title) {
    platform::Trace(platform::TraceCategory::MsgBox, std::to_string(style) + " " +
                                                         platform::TraceQuote(title) + " " +
                                                         platform::TraceQuote(prompt));
    auto* host = platform::Get().host;
    const Nested nested;
    return host != nullptr ? host->MsgBox(prompt, style, title) : 1;
}

}  // namespace bm
