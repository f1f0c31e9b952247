#pragma once
// The bayminder.session trace: what the desktop said about the end of the session.
#include <string>

namespace bm::platform {

// Shown when the trace is on.
void SessionTrace(const std::string& message);
// Shown always: the program cannot do its part at the end of the session.
void SessionWarning(const std::string& message);

}  // namespace bm::platform
