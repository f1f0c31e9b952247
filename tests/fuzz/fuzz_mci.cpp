// The command-string interpreter of the device layers: lines of the input are sent one by one to
// an interpreter over CD drives D (a disc, a motor), E (no motor) and J (held by another program).
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "support/fake_platform.h"

namespace {

using namespace bm::platform;
using bm::fuzz::Require;

class Layer : public bm::test::FakeMci {
  public:
    Layer() {
        cds['D'] = {true, false, true, kMciOk};
        cds['E'] = {false, false, false, kMciOk};
        cds['J'] = {false, false, true, kMciDeviceOpen};
    }
    std::unique_ptr<CdDevice> Open(char letter, bool shareable, int& error) override {
        Require(letter >= 'A' && letter <= 'Z');  // the interpreter passes drive letters only
        return FakeMci::Open(letter, shareable, error);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Layer mci;
    for (const std::string& line :
         bm::fuzz::Lines(std::string(reinterpret_cast<const char*>(data), size))) {
        std::string reply = "stale";
        mci.SendString(line, reply);
        // Replies are the two truth words or nothing: the drive model compares them as text.
        Require(reply.empty() || reply == "true" || reply == "false");
    }
    return 0;
}
