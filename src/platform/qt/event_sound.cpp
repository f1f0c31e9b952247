#include "platform/qt/event_sound.h"

#include <canberra.h>
#include <dlfcn.h>

#include <QApplication>
#include <QObject>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/shell.h"

namespace bm::platform {
namespace {

// libcanberra and the sound libraries it brings along are loaded at the first beep: most runs
// never beep, and loading them costs the start-up time and memory.
struct Canberra {
    int (*context_create)(ca_context**) = nullptr;
    int (*context_change_props)(ca_context*, ...) = nullptr;
    int (*context_set_driver)(ca_context*, const char*) = nullptr;
    int (*context_open)(ca_context*) = nullptr;
    int (*context_play_full)(ca_context*, std::uint32_t, ca_proplist*, ca_finish_callback_t,
                             void*) = nullptr;
    int (*proplist_create)(ca_proplist**) = nullptr;
    int (*proplist_sets)(ca_proplist*, const char*, const char*) = nullptr;
    int (*proplist_destroy)(ca_proplist*) = nullptr;

    // Null when the library or one of its functions is missing. Never unloaded: a worker left
    // behind by a hanging sound server may still be inside it.
    static const Canberra* Load() {
        void* lib = dlopen("libcanberra.so.0", RTLD_NOW | RTLD_LOCAL);
        if (lib == nullptr) {
            return nullptr;
        }
        auto* ca = new Canberra;
        const bool found = Find(lib, "ca_context_create", ca->context_create) &&
                           Find(lib, "ca_context_change_props", ca->context_change_props) &&
                           Find(lib, "ca_context_set_driver", ca->context_set_driver) &&
                           Find(lib, "ca_context_open", ca->context_open) &&
                           Find(lib, "ca_context_play_full", ca->context_play_full) &&
                           Find(lib, "ca_proplist_create", ca->proplist_create) &&
                           Find(lib, "ca_proplist_sets", ca->proplist_sets) &&
                           Find(lib, "ca_proplist_destroy", ca->proplist_destroy);
        if (!found) {
            delete ca;
            return nullptr;
        }
        return ca;
    }

  private:
    template <typename F>
    static bool Find(void* lib, const char* name, F& function) {
        function = reinterpret_cast<F>(dlsym(lib, name));
        return function != nullptr;
    }
};

const Canberra* LoadedCanberra() {
    static const Canberra* const ca = Canberra::Load();
    return ca;
}

// A context is kept to the end of the process rather than destroyed: destroying it unloads the
// sound backend that libcanberra loaded for it, and ALSA's configuration cache, which that
// backend's library keeps in its globals, would be left behind unreachable.
void Park(ca_context* context) {
    static std::mutex mutex;
    static auto* const parked = new std::vector<ca_context*>;  // never destroyed: reachable
    const std::lock_guard<std::mutex> lock(mutex);
    parked->push_back(context);
}

}  // namespace

// Shared by the UI side and the worker, which may outlive the EventSound when a sound server
// hangs at the end of the program.
struct EventSound::State {
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable done;
    std::deque<const char*> queue;
    bool stop = false;
    bool finished = false;
    bool started = false;
    std::thread worker;
    std::string driver;
    std::function<void()> fallback;
    QObject* receiver = nullptr;  // on the UI thread; null once the EventSound is gone

    void Fallback() {
        const std::lock_guard<std::mutex> lock(mutex);
        if (receiver != nullptr) {
            QMetaObject::invokeMethod(receiver, fallback, Qt::QueuedConnection);
        }
    }

    static void Finished(ca_context*, std::uint32_t, int error, void* userdata) {
        if (error != CA_SUCCESS && error != CA_ERROR_CANCELED && error != CA_ERROR_DESTROYED) {
            static_cast<State*>(userdata)->Fallback();
        }
    }

    void Run() {
        const Canberra* ca = LoadedCanberra();
        ca_context* context = nullptr;
        bool open = false;
        for (;;) {
            const char* id = nullptr;
            {
                std::unique_lock<std::mutex> lock(mutex);
                wake.wait(lock, [this] { return stop || !queue.empty(); });
                if (stop) {
                    break;
                }
                id = queue.front();
                queue.pop_front();
            }
            if (ca != nullptr && context == nullptr && ca->context_create(&context) == CA_SUCCESS) {
                ca->context_change_props(context, CA_PROP_APPLICATION_NAME, "Bayminder",
                                         CA_PROP_APPLICATION_ID, "bayminder", nullptr);
                if (!driver.empty()) {
                    ca->context_set_driver(context, driver.c_str());
                }
            }
            // A sound server that was missing may have come up since: try again each time.
            if (context != nullptr && !open) {
                open = ca->context_open(context) == CA_SUCCESS;
            }
            ca_proplist* props = nullptr;
            int result = CA_ERROR_NOTAVAILABLE;
            if (open && ca->proplist_create(&props) == CA_SUCCESS) {
                ca->proplist_sets(props, CA_PROP_EVENT_ID, id);
                ca->proplist_sets(props, CA_PROP_EVENT_DESCRIPTION, "Bayminder");
                result = ca->context_play_full(context, 0, props, &State::Finished, this);
                ca->proplist_destroy(props);
            }
            if (result != CA_SUCCESS) {
                Fallback();
            }
        }
        if (context != nullptr) {
            Park(context);
        }
        const std::lock_guard<std::mutex> lock(mutex);
        finished = true;
        done.notify_all();
    }
};

EventSound::EventSound(std::function<void()> fallback, std::string driver)
    : state_(std::make_shared<State>()) {
    state_->driver = std::move(driver);
    state_->fallback = fallback ? std::move(fallback) : [] {
        if (qApp != nullptr) {
            QApplication::beep();
        }
    };
    state_->receiver = new QObject;
}

EventSound::~EventSound() {
    std::unique_lock<std::mutex> lock(state_->mutex);
    delete state_->receiver;
    state_->receiver = nullptr;
    state_->stop = true;
    state_->wake.notify_all();
    if (!state_->started) {
        return;
    }
    // A sound server that hangs must not hold up the end of the program: leave the worker
    // behind then, with the state it shares.
    const bool finished = state_->done.wait_for(lock, std::chrono::milliseconds(500),
                                                [this] { return state_->finished; });
    lock.unlock();
    if (finished) {
        state_->worker.join();
    } else {
        state_->worker.detach();
    }
}

void EventSound::Play(int type) {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    if (!state_->started) {
        state_->started = true;
        state_->worker = std::thread([state = state_] { state->Run(); });
    }
    // Beeps queued behind a slow server would only come late, all at once.
    if (state_->queue.size() < 4) {
        state_->queue.push_back(EventId(type));
        state_->wake.notify_one();
    }
}

const char* EventSound::EventId(int type) {
    switch (type) {
        case MB_ICONASTERISK:
            return "dialog-information";
        case 0x10:
            return "dialog-error";
        case 0x20:
            return "dialog-question";
        case 0x30:
            return "dialog-warning";
        default:
            return "bell";
    }
}

}  // namespace bm::platform
