// The conversions of stored settings text into a drive record. The first byte picks the kind of
// drive probed, the lines after it are the values of keys 1 to 8 (fewer lines: keys left absent).
// Loaded or defaulted, the record holds sound values, and a second load finds nothing to repair.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "drives/modMain.h"
#include "fuzz_check.h"
#include "platform/services.h"
#include "support/fake_platform.h"

namespace {

using namespace bm;
using bm::fuzz::Require;

bool Truth(VbBool v) {
    return v == vbTrue || v == vbFalse;
}

// The bare conversions on the whole text.
void Convert(const std::string& text) {
    try {
        const std::int32_t n = CLng(text);
        Require(CLng(std::to_string(n)) == n);
    } catch (const RuntimeError& e) {
        Require(e.Number() == kErrTypeMismatch || e.Number() == kErrOverflow);
    }
    try {
        Require(Truth(CBool(text)));
    } catch (const RuntimeError& e) {
        Require(e.Number() == kErrTypeMismatch);
    }
    Require(ProperCase(text).size() == text.size());
}

// What a load sets, in order: the type, the two truths, the five check boxes.
std::array<std::int32_t, 8> Fields(const DriveRecord& r) {
    return {r.DriveType, r.CanEject,      r.CanClose,   r.Monitor,
            r.Eject,     r.StatusToolTip, r.TrayToggle, r.Notify};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    Convert(text);

    test::MemorySettings store;
    test::FakeMci mci;
    mci.cds['D'] = test::FakeCd{true, false, true, 0};
    platform::Install({nullptr, &mci, &store, nullptr});
    const auto lines = fuzz::Lines(text);
    for (std::size_t i = 0; i < lines.size() && i < 8; ++i) {
        store.sections["D"].emplace_back(std::to_string(i + 1), lines[i]);
    }
    DriveRecord drive;
    drive.Letter = "D";
    const std::int32_t probed = data[0] % 3 + 1;
    drive.DriveType = probed;
    modMain::LoadDriveSettings(drive);
    const auto fields = Fields(drive);
    Require(fields[0] == probed && Truth(fields[1]) && Truth(fields[2]));
    for (std::size_t i = 3; i < fields.size(); ++i) {
        Require(fields[i] >= 0 && fields[i] <= 2);
    }

    const int saves = store.writes;
    DriveRecord again = drive;
    modMain::LoadDriveSettings(again);
    Require(store.writes == saves && Fields(again) == fields);
    platform::Install({});
    return 0;
}
