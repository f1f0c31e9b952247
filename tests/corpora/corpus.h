#pragma once
// A corpus is a folder of files and a listing beside it (<folder>.txt) of each file's expected
// outcome: "name<tab>outcome" lines, "#" comments. A file without an outcome fails the test, and
// so does a listed file that is missing.
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>

#include <gtest/gtest.h>

namespace bm::test {

inline void ForEachCase(const std::string& corpus,
                        const std::function<void(const std::string&, const std::string&)>& run) {
    const std::filesystem::path root(BM_CORPORA);
    std::map<std::string, std::string> expected;
    std::ifstream listing(root / (corpus + ".txt"));
    for (std::string line; std::getline(listing, line);) {
        const auto tab = line.find('\t');
        if (!line.empty() && line[0] != '#' && tab != std::string::npos) {
            expected[line.substr(0, tab)] = line.substr(tab + 1);
        }
    }
    ASSERT_FALSE(expected.empty()) << corpus << ".txt lists no case";
    for (const auto& entry : std::filesystem::directory_iterator(root / corpus)) {
        const std::string name = entry.path().filename().string();
        const auto it = expected.find(name);
        if (it == expected.end()) {
            ADD_FAILURE() << name << " has no expected outcome in " << corpus << ".txt";
            continue;
        }
        SCOPED_TRACE(name);
        run(entry.path().string(), it->second);
        expected.erase(it);
    }
    for (const auto& [name, outcome] : expected) {
        ADD_FAILURE() << name << " is missing from the corpus";
    }
}

}  // namespace bm::test
