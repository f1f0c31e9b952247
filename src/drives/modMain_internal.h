#pragma once
// What the parts of modMain share and no one outside the drive model may call.
#include <map>
#include <string>
#include <vector>

#include "drives/letters.h"
#include "drives/modMain.h"
#include "platform/drive_queries.h"

namespace bm::modMain {
// The keys beside a drive's settings that keep its letter: who it is, and when it was last there.
inline constexpr const char* kIdentityKey = "9";
inline constexpr const char* kLastSeenKey = "10";
}  // namespace bm::modMain

namespace bm::modMain::detail {

// The installed drive queries; throws RuntimeError when none are installed.
platform::DriveQueries& Queries();

// The letters given at start or at a change, with what they were given from.
struct LetterPlan {
    std::map<char, std::string> bound;  // letter -> identity
    std::map<std::string, platform::Device> devices;
    std::vector<letters::Claim> claims;
    bool firstRun = false;
};
// The drive's stored settings, or defaults; with a plan, by the drive's identity.
void TakeSettings(DriveRecord& drive, const LetterPlan* plan);
// Plans and binds the letters of the drives present; null where the machine gives them.
const LetterPlan* BindLetters();
void ForgetFollowing();

// Forget what was told once, so that a second run tells it again.
void ForgetStoreFailure();
void ForgetDeviceFaults();

}  // namespace bm::modMain::detail
