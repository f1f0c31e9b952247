#include "platform/mci_interpreter.h"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <vector>

namespace bm::platform {
namespace {

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::vector<std::string> Words(const std::string& command) {
    std::istringstream in(command);
    std::vector<std::string> words;
    std::string w;
    while (in >> w) {
        words.push_back(Lower(w));
    }
    return words;
}

}  // namespace

int MciInterpreter::Open(const std::string& device, const std::string& alias, bool shareable) {
    // The device is a drive root: one letter and a colon.
    if (device.size() != 2 || device[1] != ':' ||
        !std::isalpha(static_cast<unsigned char>(device[0]))) {
        return kMciInvalidDeviceName;
    }
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(device[0])));
    if (aliases_.count(alias) != 0) {
        return kMciDuplicateAlias;
    }
    for (const auto& [name, open] : aliases_) {
        if (open.letter == letter) {
            return kMciDeviceOpen;
        }
    }
    int error = kMciOk;
    auto handle = layer_.Open(letter, shareable, error);
    if (!handle) {
        return error == kMciOk ? kMciCannotOpenDevice : error;
    }
    aliases_[alias] = Alias{letter, std::move(handle)};
    return kMciOk;
}

int MciInterpreter::SendString(const std::string& command, std::string& reply) {
    reply.clear();
    const std::vector<std::string> w = Words(command);
    if (w.empty()) {
        return kMciUnrecognizedCommand;
    }
    if (w[0] == "open") {
        // open X: type cdaudio alias A [shareable] [wait]
        if (w.size() < 2) {
            return kMciInvalidDeviceName;
        }
        std::string alias = w[1];
        bool shareable = false;
        for (size_t i = 2; i < w.size(); ++i) {
            if (w[i] == "alias" && i + 1 < w.size()) {
                alias = w[++i];
            } else if (w[i] == "type" && i + 1 < w.size()) {
                if (w[++i] != "cdaudio") {
                    return kMciInvalidDeviceName;
                }
            } else if (w[i] == "shareable") {
                shareable = true;
            } else if (w[i] != "wait") {
                return kMciUnrecognizedCommand;
            }
        }
        return Open(w[1], alias, shareable);
    }
    if (w.size() < 2) {
        return kMciUnrecognizedCommand;
    }
    auto it = aliases_.find(w[1]);
    if (it == aliases_.end()) {
        return kMciInvalidDeviceName;
    }
    CdDevice& dev = *it->second.device;
    const std::vector<std::string> rest(w.begin() + 2, w.end());
    auto is = [&rest](std::initializer_list<const char*> words) {
        return std::equal(rest.begin(), rest.end(), words.begin(), words.end(),
                          [](const std::string& a, const char* b) { return a == b; });
    };
    if (w[0] == "close" && (rest.empty() || is({"wait"}))) {
        aliases_.erase(it);
        return kMciOk;
    }
    if (w[0] == "status" && (is({"media", "present"}) || is({"media", "present", "wait"}))) {
        reply = dev.MediaPresent() ? "true" : "false";
        return kMciOk;
    }
    if (w[0] == "capability" && (is({"can", "eject"}) || is({"can", "eject", "wait"}))) {
        reply = dev.CanEject() ? "true" : "false";
        return kMciOk;
    }
    if (w[0] == "set" && rest.size() >= 2 && rest[0] == "door") {
        if (rest[1] == "open" && (rest.size() == 2 || is({"door", "open", "wait"}))) {
            return dev.SetDoor(true);
        }
        if (rest[1] == "closed" && (rest.size() == 2 || is({"door", "closed", "wait"}))) {
            return dev.SetDoor(false);
        }
    }
    return kMciUnrecognizedCommand;
}

}  // namespace bm::platform
