#pragma once
// The small runtime the drive model is written against: truth values, the conversions of stored
// text, proper case, and the host services reached through the installed platform.
#include <cstdint>
#include <string>

#include "platform/errors.h"

namespace bm {

// Truth values are 16-bit, True = -1, so that they combine bitwise with check box values.
using VbBool = std::int16_t;
inline constexpr VbBool vbTrue = -1;
inline constexpr VbBool vbFalse = 0;
inline VbBool ToVb(bool b) {
    return b ? vbTrue : vbFalse;
}

inline constexpr const char* kAppTitle = "Bayminder";

// Decimal text to a 32-bit number: surrounding spaces, a sign, a fraction rounded half to even.
// Throws RuntimeError 13 for other text and 6 when out of range.
std::int32_t CLng(const std::string& text);
// "True"/"False" in any case, or a number (nonzero is True). Throws RuntimeError 13 otherwise.
VbBool CBool(const std::string& text);
// "True" or "False".
std::string CStr(VbBool value);
// First letter of every word upper case, the rest lower case (ASCII letters; other bytes kept).
std::string ProperCase(const std::string& text);
std::string Chr(int code);

// Host services, through the installed platform.
void DoEvents();
// Whether events run inside DoEvents or a message box now, under a caller that holds records.
bool InNestedEvents();
// Traces the box, then shows it; modal.
int MsgBox(const std::string& prompt, int style = 0, const std::string& title = kAppTitle);

}  // namespace bm
