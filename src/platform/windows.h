#pragma once
// The windows of the program as the start-up sequence reaches them: by name, each existing once.
#include <string>

namespace bm::platform {

class Windows {
  public:
    virtual ~Windows() = default;
    // Another copy of the program runs already.
    virtual bool PrevInstance() = 0;
    // Loads the window on first reference without showing it.
    virtual void Load(const std::string& form) = 0;
    // Loads if needed, then shows it modeless.
    virtual void Show(const std::string& form) = 0;
    // Unloads it by the program's own code (reason 1); a window not loaded is left alone.
    virtual void Unload(const std::string& form) = 0;
};

}  // namespace bm::platform
