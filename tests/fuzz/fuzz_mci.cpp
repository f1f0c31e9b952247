// The command-string interpreter of the device layers: lines of the input are sent one by one to
// an interpreter over CD drives D (a disc, a motor), E (no motor) and J (held by another program).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "support/fake_platform.h"

namespace {

using namespace bm::platform;

class Layer : public bm::test::FakeMci {
  public:
    Layer() {
        cds['D'] = {true, false, true, kMciOk};
        cds['E'] = {false, false, false, kMciOk};
        cds['J'] = {false, false, true, kMciDeviceOpen};
    }
    std::unique_ptr<CdDevice> Open(char letter, bool shareable, int& error) override {
        if (letter < 'A' || letter > 'Z') {
            std::abort();  // the interpreter passes drive letters only
        }
        return FakeMci::Open(letter, shareable, error);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Layer mci;
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::size_t start = 0;
    while (start <= input.size()) {
        std::size_t end = input.find('\n', start);
        if (end == std::string::npos) {
            end = input.size();
        }
        std::string reply = "stale";
        mci.SendString(input.substr(start, end - start), reply);
        // Replies are the two truth words or nothing: the drive model compares them as text.
        if (!reply.empty() && reply != "true" && reply != "false") {
            std::abort();
        }
        start = end + 1;
    }
    return 0;
}
