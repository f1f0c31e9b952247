#pragma once
// Run-time errors with numbers: the drive model recovers from them by number.
#include <stdexcept>
#include <string>

namespace bm {

enum ErrorNumber : int {
    kErrOverflow = 6,       // also what reading an absent setting raises
    kErrTypeMismatch = 13,  // a text the conversions reject
    kErrBadFileName = 52,
    kErrDeviceUnavailable = 68,
    kErrDiskNotReady = 71,
    kErrPathFileAccess = 75,  // the settings store could not be written or read
};

class RuntimeError : public std::runtime_error {
  public:
    RuntimeError(int number, const std::string& description)
        : std::runtime_error(description), number_(number) {}
    int Number() const { return number_; }

  private:
    int number_;
};

}  // namespace bm
