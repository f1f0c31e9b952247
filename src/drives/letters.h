#pragma once
// Which letter each drive present gets: the rules alone, on plain values, so that they can be
// tested as a table. The store's side (reading the claims, writing them) is modMain's.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/drive_set.h"

namespace bm::letters {

// A letter whose section in the store holds a drive.
struct Claim {
    char letter = 0;
    std::string identity;       // "" in a section written before identities were kept
    std::int64_t lastSeen = 0;  // seconds since the epoch; 0 unknown
};

// Letters for the devices present, by identity; a device left out gets no letter (none free).
// kept: the letters of the records this run already has (present or gone): never given to another.
std::map<std::string, char> Give(const std::vector<platform::Device>& present,
                                 const std::vector<Claim>& claims,
                                 const std::map<std::string, char>& kept);

// Whether no claim names an identity yet: the first start with kept letters, where the drives
// present take the letters the machine gives them.
bool FirstRun(const std::vector<Claim>& claims);

}  // namespace bm::letters
