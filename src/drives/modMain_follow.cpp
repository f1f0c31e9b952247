// The table follows the machine: letters kept by identity, drives attached and taken away.
#include <algorithm>
#include <memory>
#include <set>

#include "drives/letters.h"
#include "drives/modCode.h"
#include "drives/modMain.h"
#include "drives/modMain_internal.h"
#include "platform/services.h"
#include "platform/trace.h"

namespace bm::modMain {

std::function<void(const std::vector<TableChange>&)> OnTableChanged;
std::function<bool()> TableBusy;

namespace {

// A change put off while the table is in use is tried again after this long.
constexpr int kRetryInterval = 200;

detail::LetterPlan gPlan;
bool gFollowing = false;  // FindDrives ran with a drive set: the table may follow
bool gInFollow = false;
std::unique_ptr<platform::Timer> gRetry;

// The sections that hold a drive, with the identity and time they were stored with.
std::vector<letters::Claim> ReadClaims() {
    std::vector<letters::Claim> claims;
    try {
        for (char letter = 'A'; letter <= 'Z'; ++letter) {
            const std::string section(1, letter);
            const std::string identity = modCode::ReadSetting(section, kIdentityKey, "");
            if (identity.empty() && modCode::ReadSetting(section, "1", "").empty()) {
                continue;
            }
            std::int64_t seen = 0;
            try {
                seen = CLng(modCode::ReadSetting(section, kLastSeenKey, "0"));
            } catch (const RuntimeError&) {
                seen = 0;  // damaged: as if away since ever
            }
            claims.push_back({letter, identity, seen});
        }
    } catch (const RuntimeError&) {
        // An unreadable store keeps no letter: the drives take the free ones for this run.
    }
    return claims;
}

void Plan(platform::DriveSet& set, const std::map<std::string, char>& kept,
          const std::vector<platform::Device>& present) {
    gPlan = {};
    for (const auto& d : present) {
        gPlan.devices[d.identity] = d;
    }
    gPlan.claims = ReadClaims();
    gPlan.firstRun = letters::FirstRun(gPlan.claims);
    for (const auto& [identity, letter] : letters::Give(present, gPlan.claims, kept)) {
        gPlan.bound[letter] = identity;
    }
    set.Bind(gPlan.bound);
}

void Trace(const std::string& line) {
    if (platform::TraceEnabled(platform::TraceCategory::Settings)) {
        platform::Trace(platform::TraceCategory::Settings, line);
    }
}

void Stamp(const DriveRecord& drive) {
    try {
        StampDrive(drive);
    } catch (const RuntimeError&) {
        // The store failure was told at start, or will be at the next save.
    }
}

// Whether the drives present are those the table has there: most notices are of media.
bool Unchanged(const std::vector<platform::Device>& present) {
    std::size_t there = 0;
    for (const auto& d : present) {
        if (d.type != platform::kDriveRemovable && d.type != platform::kDriveCdRom) {
            continue;  // the machine's own fixed and network drives are never in the table
        }
        const auto record = std::find_if(gDrives.begin(), gDrives.end(), [&](const DriveRecord& r) {
            return !r.Letter.empty() && (d.pinned ? r.Identity.empty() && r.Letter[0] == d.native
                                                  : r.Identity == d.identity);
        });
        if (record == gDrives.end() || record->Gone) {
            return false;
        }
        ++there;
    }
    return there == static_cast<std::size_t>(std::count_if(
                        gDrives.begin(), gDrives.end(),
                        [](const DriveRecord& r) { return !r.Letter.empty() && !r.Gone; }));
}

void RetryLater() {
    auto* host = platform::Get().host;
    if (host == nullptr) {
        return;
    }
    if (!gRetry) {
        gRetry = host->CreateTimer();
        gRetry->SetInterval(kRetryInterval);
        gRetry->SetHandler([] {
            gRetry->SetEnabled(false);
            FollowMachine();
        });
    }
    gRetry->SetEnabled(true);
}

void Insert(DriveRecord drive) {
    if (gDrives.size() == 1 && gDrives[0].Letter.empty()) {
        gDrives.clear();  // the empty record of a table that found nothing
    }
    const auto at = std::find_if(gDrives.begin(), gDrives.end(),
                                 [&](const DriveRecord& d) { return d.Letter < drive.Letter; });
    gDrives.insert(at, std::move(drive));
}

}  // namespace

const detail::LetterPlan* detail::BindLetters() {
    platform::DriveSet* set = platform::Get().set;
    gFollowing = set != nullptr;
    if (set == nullptr) {
        return nullptr;
    }
    Plan(*set, {}, set->Devices());
    return &gPlan;
}

void detail::ForgetFollowing() {
    gPlan = {};
    gFollowing = false;
    gInFollow = false;
    gRetry.reset();
    OnTableChanged = nullptr;
    TableBusy = nullptr;
}

void FollowMachine() {
    platform::DriveSet* set = platform::Get().set;
    if (!gFollowing || set == nullptr || gInFollow) {
        return;
    }
    // Records are held by reference across the events an operation lets run: the table may
    // only change between operations.
    if (InNestedEvents() || (TableBusy && TableBusy())) {
        RetryLater();
        return;
    }
    const std::vector<platform::Device> attached = set->Devices();
    if (Unchanged(attached)) {
        set->Bind(gPlan.bound);  // the same drives, perhaps under other kernel names
        return;
    }
    gInFollow = true;
    // Nobody asked for these probes: a drive that fails is traced, not put in a box.
    const QuietDeviceFaults quiet;
    std::vector<TableChange> changes;
    // Every letter of the table stays its drive's; a drive whose letter is the machine's is
    // known by its letter alone (the key below is no identity any drive has).
    std::map<std::string, char> kept;  // a drive without identity as "\n" + its letter
    for (const auto& d : gDrives) {
        if (!d.Letter.empty()) {
            kept[d.Identity.empty() ? "\n" + d.Letter : d.Identity] = d.Letter[0];
        }
    }
    Plan(*set, kept, attached);
    const auto pinnedAt = [](char letter) {
        const auto b = gPlan.bound.find(letter);
        return b != gPlan.bound.end() && gPlan.devices[b->second].pinned;
    };
    std::set<std::string> present;
    for (const auto& [letter, identity] : gPlan.bound) {
        present.insert(identity);
    }
    for (auto& d : gDrives) {
        if (d.Letter.empty()) {
            continue;
        }
        const bool there =
            d.Identity.empty() ? pinnedAt(d.Letter[0]) : present.contains(d.Identity);
        if (there == !d.Gone) {
            continue;
        }
        d.Gone = !there;
        if (d.Gone) {
            d.MediaPresent = vbFalse;
            d.DoorUncertain = d.DriveType == kCD ? vbTrue : vbFalse;
        } else if (platform::Timer* timer =
                       tmrDriveStatusTimeout.Item(static_cast<unsigned char>(d.Letter[0]))) {
            timer->SetEnabled(false);  // back: probed at the next look
        }
        Stamp(d);
        Trace(std::string(d.Gone ? "gone " : "back ") + d.Letter + " " + d.Identity);
        changes.push_back({d.Gone ? "gone" : "added", d.Letter});
    }
    for (const auto& [letter, identity] : gPlan.bound) {
        const bool known = pinnedAt(letter) ? kept.contains("\n" + std::string(1, letter))
                                            : kept.contains(identity);
        if (known) {
            continue;
        }
        DriveRecord drive = ProbeDrive(std::string(1, letter));
        if (drive.Letter.empty()) {
            continue;
        }
        drive.Identity = identity;
        detail::TakeSettings(drive, &gPlan);
        tmrDriveStatusTimeout.Load(letter).SetInterval(StatusInterval(drive.DriveType));
        Trace(std::string("added ") + drive.Letter + " " + drive.Identity);
        Insert(std::move(drive));
        changes.push_back({"added", std::string(1, letter)});
    }
    gInFollow = false;
    if (!changes.empty() && OnTableChanged) {
        const auto handler = OnTableChanged;
        handler(changes);
    }
}

}  // namespace bm::modMain
