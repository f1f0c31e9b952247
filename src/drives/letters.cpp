#include "drives/letters.h"

#include <algorithm>
#include <set>

#include "platform/drive_queries.h"

namespace bm::letters {
namespace {

bool InRange(const platform::Device& d, char letter) {
    return d.floppy ? (letter == 'A' || letter == 'B') : (letter >= 'D' && letter <= 'Z');
}

}  // namespace

bool FirstRun(const std::vector<Claim>& claims) {
    return std::all_of(claims.begin(), claims.end(),
                       [](const Claim& c) { return c.identity.empty(); });
}

std::map<std::string, char> Give(const std::vector<platform::Device>& present,
                                 const std::vector<Claim>& claims,
                                 const std::map<std::string, char>& kept) {
    std::map<std::string, char> given;
    std::set<char> used{'C'};
    for (const auto& [identity, letter] : kept) {
        used.insert(letter);
    }
    const auto give = [&](const platform::Device& d, char letter) {
        given[d.identity] = letter;
        used.insert(letter);
    };
    // The machine's own letters first, then this run's records.
    for (const auto& d : present) {
        if (d.pinned && d.native != 0) {
            give(d, d.native);
        }
    }
    for (const auto& d : present) {
        const auto k = kept.find(d.identity);
        if (!d.pinned && k != kept.end()) {
            give(d, k->second);
        }
    }
    std::vector<const platform::Device*> waiting;
    for (const auto& d : present) {
        if (!given.contains(d.identity) && !d.pinned) {
            waiting.push_back(&d);
        }
    }
    // The machine's order: floppies, CD drives, removable disks, each in kernel order.
    std::stable_sort(waiting.begin(), waiting.end(), [](const auto* a, const auto* b) {
        const int na = a->native == 0 ? 256 : a->native, nb = b->native == 0 ? 256 : b->native;
        return na < nb;
    });
    const auto take = [&](auto&& rule) {
        std::vector<const platform::Device*> left;
        for (const auto* d : waiting) {
            const char letter = rule(*d);
            if (letter != 0) {
                give(*d, letter);
            } else {
                left.push_back(d);
            }
        }
        waiting = std::move(left);
    };
    // A drive seen before: its own letter.
    take([&](const platform::Device& d) -> char {
        for (const auto& c : claims) {
            if (c.identity == d.identity && InRange(d, c.letter) && !used.contains(c.letter)) {
                return c.letter;
            }
        }
        return 0;
    });
    if (FirstRun(claims)) {
        take([&](const platform::Device& d) -> char {
            return d.native != 0 && InRange(d, d.native) && !used.contains(d.native) ? d.native
                                                                                     : char{0};
        });
    }
    // Letters of drives that are away stay theirs while any other is free.
    std::map<char, std::int64_t> away;
    for (const auto& c : claims) {
        if (!used.contains(c.letter)) {
            away[c.letter] = c.lastSeen;
        }
    }
    take([&](const platform::Device& d) -> char {
        for (char letter = 'A'; letter <= 'Z'; ++letter) {
            if (InRange(d, letter) && !used.contains(letter) && !away.contains(letter)) {
                return letter;
            }
        }
        char oldest = 0;
        for (const auto& [letter, seen] : away) {
            if (InRange(d, letter) && !used.contains(letter) &&
                (oldest == 0 || seen < away.at(oldest))) {
                oldest = letter;
            }
        }
        return oldest;
    });
    return given;
}

}  // namespace bm::letters
