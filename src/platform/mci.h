#pragma once
// The multimedia command-string entry point: a command in, a return code and a short reply out.
#include <string>

namespace bm::platform {

// Return codes of the command interpreter that the drive model tells apart, and those of our own.
enum MciError : int {
    kMciOk = 0,
    kMciUnrecognizedCommand = 261,
    kMciInvalidDeviceName = 263,  // no such drive, or an alias that is not open
    kMciDeviceOpen = 265,         // the device is open already under another alias
    kMciHardware = 262,           // a door command the drive refused
    kMciCannotOpenDevice = 266,   // the device node cannot be opened (no permission, gone)
    kMciDuplicateAlias = 289,
    kMciMustUseShareable = 291,  // another program holds the drive exclusively
    // Ours, from the base of the drivers' own codes on: a tray held shut by the disc's mounts.
    kMciDiscInUse = 512,      // a program uses files on the mounted disc (the unmount was busy)
    kMciNotAuthorized = 513,  // the system did not let this user unmount the disc
    kMciDiscMounted = 514,    // the disc is mounted and nothing here can unmount it (no udisks2)
    kMciUnmountFailed = 515,  // the unmount failed for another reason
};

class Mci {
  public:
    virtual ~Mci() = default;
    virtual int SendString(const std::string& command, std::string& reply) = 0;
};

}  // namespace bm::platform
