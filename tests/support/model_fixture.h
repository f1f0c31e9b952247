#pragma once
// Installs the fakes as the platform, resets the drive model, and records trace lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "drives/modMain.h"
#include "platform/services.h"
#include "platform/trace.h"
#include "support/fake_host.h"
#include "support/fake_platform.h"

namespace bm::test {

class ModelFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        modMain::Reset();
        platform::Install({&drives, &mci, &settings, &host});
        Lines().clear();
        platform::SetTraceFilter(nullptr);
        platform::SetTraceSink(
            [](platform::TraceCategory, const std::string& line) { Lines().push_back(line); });
    }
    void TearDown() override {
        platform::SetTraceSink(nullptr);
        modMain::Reset();
        platform::Install({});
    }
    static std::vector<std::string>& Lines() {
        static std::vector<std::string> lines;
        return lines;
    }
    static int Count(const std::vector<std::string>& lines, const std::string& line) {
        return static_cast<int>(std::count(lines.begin(), lines.end(), line));
    }
    // The trace lines that start so.
    static int Traced(const std::string& start) {
        return static_cast<int>(std::count_if(
            Lines().begin(), Lines().end(), [&](const auto& l) { return l.rfind(start, 0) == 0; }));
    }

    void AddCd(char letter, bool disc, bool canEject = true) {
        drives.drives[letter] = {platform::kDriveCdRom, disc};
        mci.cds[letter] = FakeCd{disc, false, canEject, 0};
    }
    // The record of a watched drive.
    static DriveRecord& Drive(char letter) {
        return *std::find_if(modMain::gDrives.begin(), modMain::gDrives.end(),
                             [&](const auto& d) { return d.Letter[0] == letter; });
    }

    FakeHost host;
    FakeDrives drives;
    FakeMci mci;
    MemorySettings settings;
};

}  // namespace bm::test
