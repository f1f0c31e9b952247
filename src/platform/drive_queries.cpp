#include "platform/drive_queries.h"

#include <cctype>

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

}  // namespace bm::platform
