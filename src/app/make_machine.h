#pragma once
// The one place where the programs choose the machine they run on.
#include <memory>
#include <string>

#include "platform/machine.h"

namespace bm::app {

// The simulated machine in simulatePath, or the real one when it is empty. A bad machine file
// throws, with a one-line what(): "<path>: <fault>".
std::unique_ptr<platform::Machine> MakeMachine(const std::string& simulatePath);

}  // namespace bm::app
