#pragma once
// Trace lines for diagnostics and acceptance tests; the host decides where they go.
#include <string>

namespace bm::platform {

enum class TraceCategory { Mci, Settings, MsgBox, Tray, Forms, Beep, Session };

using TraceSink = void (*)(TraceCategory category, const std::string& message);

void SetTraceSink(TraceSink sink);
void Trace(TraceCategory category, const std::string& message);
// Whether a line of this category would go anywhere, so callers can skip building it.
bool TraceEnabled(TraceCategory category);
using TraceFilter = bool (*)(TraceCategory category);
void SetTraceFilter(TraceFilter filter);

// A string in double quotes, with \r, \n, \t, quotes, backslashes and other controls escaped.
std::string TraceQuote(const std::string& text);
// Control characters as \xNN, everything else as it is: keeps a message on one line.
std::string EscapeControls(const std::string& text);

}  // namespace bm::platform
