#pragma once
// What the fuzz targets share: a check that fails aborts, so libFuzzer keeps the input.
#include <cstdlib>
#include <string>
#include <vector>

namespace bm::fuzz {

inline void Require(bool holds) {
    if (!holds) {
        std::abort();
    }
}

// The input's lines; the last needs no newline, and an empty input is one empty line.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines(1);
    for (const char c : text) {
        if (c == '\n') {
            lines.emplace_back();
        } else {
            lines.back().push_back(c);
        }
    }
    return lines;
}

}  // namespace bm::fuzz
