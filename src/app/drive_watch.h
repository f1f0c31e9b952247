#pragma once
// bayminder-drives watch: the changes of the drive table as JSON lines, as they happen.
#include <map>
#include <ostream>
#include <string>

#include "platform/media_notices.h"

namespace bm::app {

// Prints what changed since the last look, one line per change; the first look prints nothing.
class TableWatch {
  public:
    explicit TableWatch(std::ostream& out) : out_(out) {}
    // The table as it is now, without a line.
    void Start();
    // After a notice of the machine: follows it, probes every drive there, prints the changes.
    void Notice();

  private:
    struct Seen {
        bool media = false;
        std::string label;
    };
    void Print(const std::string& change, const std::string& letter);
    void Look(bool print);
    // Follows the machine's drives: added and gone drives, each with its line.
    void Follow();

    std::ostream& out_;
    std::map<std::string, Seen> seen_;  // by letter
};

// From now on SIGINT and SIGTERM end the watch (and nothing else) instead of the process.
void CatchStopSignals();
// Runs until SIGINT or SIGTERM (then returns 0), reading the feed.
int WatchDrives(platform::ChangeFeed& feed, std::ostream& out);

}  // namespace bm::app
