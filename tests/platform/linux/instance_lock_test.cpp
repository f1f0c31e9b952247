#include "platform/linux/instance_lock.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace bm::platform::linux_ {
namespace {

TEST(InstanceLock, OneHolderAtATimeAndNothingLeftBlocking) {
    char tmpl[] = "/tmp/bm-lock-XXXXXX";
    const std::string dir = ::mkdtemp(tmpl);
    const std::string path = dir + "/bayminder.lock";
    std::ofstream(path) << "left by a crashed process";  // a file without a holder
    {
        auto first = InstanceLock::Acquire(path);
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(InstanceLock::Acquire(path), nullptr);
    }
    EXPECT_NE(InstanceLock::Acquire(path), nullptr);  // released with its holder
    // A lock that cannot be made never refuses the start.
    EXPECT_NE(InstanceLock::Acquire(dir + "/missing/bayminder.lock"), nullptr);
    std::filesystem::create_symlink(path, dir + "/link.lock");
    EXPECT_NE(InstanceLock::Acquire(dir + "/link.lock"), nullptr);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace bm::platform::linux_
