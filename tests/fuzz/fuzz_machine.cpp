// The machine file parser. What it accepts is bounded and free of control characters, and the
// document it keeps for the write-back parses again to the same machine.
#include <QByteArray>
#include <QJsonDocument>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/sim/machine_file.h"

namespace {

using namespace bm::platform::sim;

void CheckName(const std::string& name) {
    if (name.size() > static_cast<std::size_t>(kMaxNameBytes)) {
        std::abort();
    }
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f) {
            std::abort();
        }
    }
}

bool Same(const SimState& a, const SimState& b) {
    for (std::size_t i = 0; i < a.drives.size(); ++i) {
        const auto& x = a.drives[i];
        const auto& y = b.drives[i];
        if (x.has_value() != y.has_value()) {
            return false;
        }
        if (!x) {
            continue;
        }
        if (x->index != y->index || x->type != y->type || x->canEject != y->canEject ||
            x->doorOpen != y->doorOpen || x->mciOpenError != y->mciOpenError ||
            x->volume.has_value() != y->volume.has_value()) {
            return false;
        }
        if (x->volume &&
            (x->volume->label != y->volume->label || x->volume->serial != y->volume->serial ||
             x->volume->files != y->volume->files)) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    SimState state;
    try {
        state = ParseMachine(bytes);
    } catch (const MachineFault& fault) {
        if (fault.what()[0] == '\0') {
            std::abort();
        }
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
        if (!Same(ParseMachine(written), state)) {
            std::abort();
        }
    } catch (const MachineFault&) {
        std::abort();
    }
    return 0;
}
