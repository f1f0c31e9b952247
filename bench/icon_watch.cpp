// bench_icon_watch: prints the monotonic time at which a window of a given process is shown
// inside the tray host's panel (embedded and viewable), then ends.
//
//   bench_icon_watch [TIMEOUT_S] < pid
//
// It connects to $DISPLAY first and reads the process id from standard input afterwards, so
// that the program can be started between the two without the watcher's set-up in its time.
// It rescans the panel on every structure event inside it, with a short poll as a safety net
// for an event that came before it was listening.
#include <poll.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr int kSafetyPollMs = 20;

template <typename T>
struct Reply {
    T* p;
    explicit Reply(T* reply) : p(reply) {}
    ~Reply() { std::free(p); }
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;
};

double Now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

xcb_atom_t Atom(xcb_connection_t* c, const char* name) {
    Reply<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
    return r.p != nullptr ? r.p->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

std::vector<xcb_window_t> Children(xcb_connection_t* c, xcb_window_t w) {
    Reply<xcb_query_tree_reply_t> r(xcb_query_tree_reply(c, xcb_query_tree(c, w), nullptr));
    if (r.p == nullptr) {
        return {};
    }
    const xcb_window_t* kids = xcb_query_tree_children(r.p);
    return {kids, kids + xcb_query_tree_children_length(r.p)};
}

bool IsTrayer(xcb_connection_t* c, xcb_window_t w) {
    Reply<xcb_get_property_reply_t> r(xcb_get_property_reply(
        c, xcb_get_property(c, 0, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 64), nullptr));
    if (r.p == nullptr) {
        return false;
    }
    const char* text = static_cast<const char*>(xcb_get_property_value(r.p));
    const std::string classes(text, static_cast<std::size_t>(xcb_get_property_value_length(r.p)));
    return classes.find("trayer") != std::string::npos ||
           classes.find("Trayer") != std::string::npos;
}

class Watch {
  public:
    Watch(xcb_connection_t* c, xcb_window_t root) : c_(c), root_(root) {
        pidAtom_ = Atom(c, "_NET_WM_PID");
        const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &mask);
    }

    // True once a window of pid is viewable somewhere under a trayer panel.
    bool Shown(std::uint32_t pid) {
        for (xcb_window_t top : Children(c_, root_)) {
            if (IsTrayer(c_, top) && Under(top, pid)) {
                return true;
            }
        }
        return false;
    }

  private:
    bool Under(xcb_window_t w, std::uint32_t pid) {
        const std::uint32_t mask =
            XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        for (xcb_window_t kid : Children(c_, w)) {
            xcb_change_window_attributes(c_, kid, XCB_CW_EVENT_MASK, &mask);
            if (Owned(kid, pid) && Viewable(kid)) {
                return true;
            }
            if (Under(kid, pid)) {
                return true;
            }
        }
        return false;
    }

    bool Owned(xcb_window_t w, std::uint32_t pid) {
        Reply<xcb_get_property_reply_t> r(xcb_get_property_reply(
            c_, xcb_get_property(c_, 0, w, pidAtom_, XCB_ATOM_CARDINAL, 0, 1), nullptr));
        return r.p != nullptr && xcb_get_property_value_length(r.p) == 4 &&
               *static_cast<std::uint32_t*>(xcb_get_property_value(r.p)) == pid;
    }

    bool Viewable(xcb_window_t w) {
        Reply<xcb_get_window_attributes_reply_t> a(
            xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, w), nullptr));
        Reply<xcb_get_geometry_reply_t> g(
            xcb_get_geometry_reply(c_, xcb_get_geometry(c_, w), nullptr));
        return a.p != nullptr && g.p != nullptr && a.p->map_state == XCB_MAP_STATE_VIEWABLE &&
               g.p->width >= 2 && g.p->height >= 2;
    }

    xcb_connection_t* c_;
    xcb_window_t root_;
    xcb_atom_t pidAtom_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const double timeout = argc > 1 ? std::atof(argv[1]) : 20.0;
    int screenNumber = 0;
    xcb_connection_t* c = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(c) != 0) {
        std::fprintf(stderr, "bench_icon_watch: cannot open the display\n");
        return 2;
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber && it.rem > 0; ++i) {
        xcb_screen_next(&it);
    }
    Watch watch(c, it.data->root);
    xcb_flush(c);
    std::printf("ready\n");
    std::fflush(stdout);

    unsigned long pid = 0;
    if (std::scanf("%lu", &pid) != 1) {
        std::fprintf(stderr, "bench_icon_watch: no process id on standard input\n");
        return 2;
    }
    const double deadline = Now() + timeout;
    pollfd fd{xcb_get_file_descriptor(c), POLLIN, 0};
    while (true) {
        if (watch.Shown(static_cast<std::uint32_t>(pid))) {
            std::printf("%.6f\n", Now());
            return 0;
        }
        if (Now() > deadline || xcb_connection_has_error(c) != 0) {
            std::fprintf(stderr, "bench_icon_watch: no icon of process %lu\n", pid);
            return 1;
        }
        xcb_flush(c);
        poll(&fd, 1, kSafetyPollMs);
        while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
            std::free(event);
        }
    }
}
