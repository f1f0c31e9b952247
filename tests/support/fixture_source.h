#pragma once
// A machine described as files, for the Linux backend's tests; no program links it.
#include <memory>
#include <string>

#include "platform/linux/block_source.h"

namespace bm::platform::linux_ {

// A tree with sys/block/NAME/{dev,removable,size,PART/{dev,partition,size}},
// run/udev/data/bMAJOR:MINOR ("E:KEY=VALUE" lines) and proc/self/mountinfo, whose mount points
// are taken as paths inside the tree.
std::unique_ptr<BlockDeviceSource> MakeFixtureSource(const std::string& root);

}  // namespace bm::platform::linux_
