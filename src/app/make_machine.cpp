#include "app/make_machine.h"

#include "platform/linux/linux_machine.h"
#include "platform/sim/sim_machine.h"

namespace bm::app {

std::unique_ptr<platform::Machine> MakeMachine(const std::string& simulatePath) {
    if (simulatePath.empty()) {
        return std::make_unique<platform::linux_::LinuxMachine>();
    }
    return platform::sim::SimMachine::Load(simulatePath);
}

}  // namespace bm::app
