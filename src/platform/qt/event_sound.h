#pragma once
// The program's beeps as the desktop's event sounds, played off the UI thread.
#include <functional>
#include <memory>
#include <string>

namespace bm::platform {

class EventSound {
  public:
    // fallback runs on the creating thread's event loop when a sound cannot be played (no sound
    // server, no such sound in the theme); by default the X bell. driver picks libcanberra's
    // backend, empty for its own choice.
    explicit EventSound(std::function<void()> fallback = {}, std::string driver = {});
    ~EventSound();
    EventSound(const EventSound&) = delete;
    EventSound& operator=(const EventSound&) = delete;

    // Returns at once; the sound is played by a worker thread.
    void Play(int type);

    // The freedesktop sound theme's event name for a message beep type.
    static const char* EventId(int type);

  private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace bm::platform
