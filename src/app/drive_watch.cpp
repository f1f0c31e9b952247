#include "app/drive_watch.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <vector>

#include "app/drive_tool.h"
#include "drives/modMain.h"

namespace bm::app {
namespace {

DriveRecord* Find(const std::string& letter) {
    for (auto& d : modMain::gDrives) {
        if (d.Letter == letter) {
            return &d;
        }
    }
    return nullptr;
}

// Probes now, past the hold-off that keeps the tray program from asking too often.
void Probe(DriveRecord& d) {
    if (platform::Timer* timer =
            modMain::tmrDriveStatusTimeout.Item(static_cast<unsigned char>(d.Letter[0]))) {
        timer->SetEnabled(false);
    }
    modMain::RefreshDriveStatus(d);
}

}  // namespace

void TableWatch::Print(const std::string& change, const std::string& letter) {
    const DriveRecord* d = Find(letter);
    if (d == nullptr) {
        return;
    }
    out_ << "{\"change\":\"" << change << "\",\"letter\":\"" << letter
         << "\",\"drive\":" << RecordJson(*d) << "}\n"
         << std::flush;
}

void TableWatch::Look(bool print) {
    const modMain::QuietDeviceFaults quiet;
    std::vector<std::string> emptied;
    for (auto& d : modMain::gDrives) {
        if (d.Letter.empty() || d.Gone) {
            continue;
        }
        Probe(d);
        Seen now{d.MediaPresent != 0, d.VolumeLabel};
        const auto before = seen_.find(d.Letter);
        if (print && before != seen_.end()) {
            if (now.media != before->second.media) {
                if (!now.media) {
                    emptied.push_back(d.Letter);
                    continue;
                }
                Print("media", d.Letter);
            } else if (now.media && now.label != before->second.label) {
                Print("label", d.Letter);
            }
        }
        seen_[d.Letter] = now;
    }
    if (emptied.empty()) {
        return;
    }
    // A drive being pulled out reads as empty while udev has yet to say it is gone, but it is
    // already out of the machine's list: told as gone then, not as emptied.
    Follow();
    for (const auto& letter : emptied) {
        if (const DriveRecord* d = Find(letter); d != nullptr && !d->Gone) {
            seen_[letter] = Seen{false, d->VolumeLabel};
            Print("media", letter);
        }
    }
}

void TableWatch::Start() {
    Look(false);
}

void TableWatch::Follow() {
    std::vector<modMain::TableChange> changes;
    modMain::OnTableChanged = [&changes](const std::vector<modMain::TableChange>& c) {
        changes.insert(changes.end(), c.begin(), c.end());
    };
    modMain::FollowMachine();
    modMain::OnTableChanged = nullptr;
    const modMain::QuietDeviceFaults quiet;
    for (const auto& c : changes) {
        DriveRecord* d = Find(c.letter);
        if (d == nullptr) {
            continue;
        }
        if (c.change == "added") {
            Probe(*d);
        }
        seen_[c.letter] = Seen{d->MediaPresent != 0, d->VolumeLabel};
        Print(c.change, c.letter);
    }
}

void TableWatch::Notice() {
    Follow();
    Look(true);
}

namespace {

int gStopPipe[2] = {-1, -1};

void OnStop(int /*signal*/) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(gStopPipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

void CatchStopSignals() {
    if (gStopPipe[0] >= 0 || ::pipe2(gStopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    struct sigaction action {};
    action.sa_handler = OnStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int WatchDrives(platform::ChangeFeed& feed, std::ostream& out) {
    CatchStopSignals();
    TableWatch watch(out);
    watch.Start();
    int feedFd = feed.Descriptor();
    for (;;) {
        pollfd fds[2] = {{gStopPipe[0], POLLIN, 0}, {feedFd, POLLIN, 0}};
        const int n = ::poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 || (fds[0].revents & POLLIN) != 0) {
            break;
        }
        if ((fds[1].revents & POLLIN) != 0 && feed.Drain()) {
            watch.Notice();
        } else if ((fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            feedFd = -1;  // a feed that broke tells nothing more; the signals still end the run
        }
    }
    return 0;
}

}  // namespace bm::app
