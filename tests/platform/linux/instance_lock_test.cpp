#include "platform/linux/instance_lock.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"

namespace bm::platform::linux_ {
namespace {

TEST(InstanceLock, OneHolderAtATimeAndNothingLeftBlocking) {
    test::TempDir dir;
    const std::string path = dir / "bayminder.lock";
    test::WriteFile(path, "left by a crashed process");  // a file without a holder
    {
        auto first = InstanceLock::Acquire(path);
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(InstanceLock::Acquire(path), nullptr);
    }
    EXPECT_NE(InstanceLock::Acquire(path), nullptr);  // released with its holder
    // A lock that cannot be made never refuses the start.
    EXPECT_NE(InstanceLock::Acquire(dir / "missing/bayminder.lock"), nullptr);
    std::filesystem::create_symlink(path, dir / "link.lock");
    EXPECT_NE(InstanceLock::Acquire(dir / "link.lock"), nullptr);
}

}  // namespace
}  // namespace bm::platform::linux_
