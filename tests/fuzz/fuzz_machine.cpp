// The machine file parser. What it accepts is bounded and free of control characters, and the
// document it keeps for the write-back parses again to the same machine.
#include <QByteArray>
#include <QJsonDocument>
#include <cstddef>
#include <cstdint>

#include "fuzz_check.h"
#include "platform/sim/machine_file.h"

namespace {

using namespace bm::platform::sim;
using bm::fuzz::Require;

void CheckName(const std::string& name) {
    Require(name.size() <= static_cast<std::size_t>(kMaxNameBytes));
    for (unsigned char c : name) {
        Require(c >= 0x20 && c != 0x7f);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    SimState state;
    try {
        state = ParseMachine(bytes);
    } catch (const MachineFault& fault) {
        Require(fault.what()[0] != '\0');
        return 0;
    }
    for (const auto& drive : state.drives) {
        if (drive && drive->volume) {
            CheckName(drive->volume->label);
            for (const std::string& file : drive->volume->files) {
                CheckName(file);
            }
        }
    }
    // A door move writes the kept document back; the program must be able to read it again.
    const QByteArray written = QJsonDocument(state.document).toJson(QJsonDocument::Indented);
    try {
        // The state is read from the document alone: the same document, the same machine.
        Require(ParseMachine(written).document == state.document);
    } catch (const MachineFault&) {
        Require(false);
    }
    return 0;
}
