// What the backend makes of udisks2's names and errors, and the system without it. No Qt here.
#include <cstdio>

#include "platform/linux/udisks.h"

namespace bm::platform::linux_ {
namespace {

class NoUdisks final : public Udisks {
  public:
    bool Available() override { return false; }
    UdisksResult Unmount(const std::string&) override {
        return {UdisksStatus::kAbsent, "no udisks2"};
    }
    UdisksResult Eject(const std::string&) override {
        return {UdisksStatus::kAbsent, "no udisks2"};
    }
};

}  // namespace

std::string UdisksBlockPath(const std::string& name) {
    std::string path = "/org/freedesktop/UDisks2/block_devices/";
    for (const unsigned char c : name) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
            path += static_cast<char>(c);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "_%02x", c);
            path += escaped;
        }
    }
    return path;
}

UdisksStatus UdisksStatusOf(const std::string& errorName) {
    const std::string udisks = "org.freedesktop.UDisks2.Error.";
    if (errorName.empty()) {
        return UdisksStatus::kOk;
    }
    if (errorName == udisks + "DeviceBusy") {
        return UdisksStatus::kBusy;
    }
    if (errorName.rfind(udisks + "NotAuthorized", 0) == 0) {
        return UdisksStatus::kNotAuthorized;
    }
    if (errorName == udisks + "NotMounted") {
        return UdisksStatus::kNotMounted;
    }
    for (const char* gone : {"ServiceUnknown", "NameHasNoOwner", "NoServer", "Disconnected"}) {
        if (errorName == std::string("org.freedesktop.DBus.Error.") + gone) {
            return UdisksStatus::kAbsent;
        }
    }
    return UdisksStatus::kFailed;
}

std::unique_ptr<Udisks> MakeNoUdisks() {
    return std::make_unique<NoUdisks>();
}

}  // namespace bm::platform::linux_
