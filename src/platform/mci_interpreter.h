#pragma once
// Interprets the command strings of the drive model on a device layer of CD drives, keeping the
// alias table and answering with the return codes the drive model tells apart. The command set is
// the one the program sends: open X: type cdaudio alias A [shareable] [wait], status A media
// present, capability A can eject, set A door open|closed, close A. Words are case-insensitive.
#include <map>
#include <memory>
#include <string>

#include "platform/cd_device_layer.h"
#include "platform/mci.h"

namespace bm::platform {

class MciInterpreter : public Mci {
  public:
    explicit MciInterpreter(CdDeviceLayer& layer) : layer_(layer) {}
    int SendString(const std::string& command, std::string& reply) override;

  private:
    struct Alias {
        char letter;
        std::unique_ptr<CdDevice> device;
    };
    int Open(const std::string& device, const std::string& alias, bool shareable);

    CdDeviceLayer& layer_;
    std::map<std::string, Alias> aliases_;  // keyed by lower-case alias
};

}  // namespace bm::platform
