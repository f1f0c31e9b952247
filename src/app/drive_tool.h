#pragma once
// bayminder-drives: the drive model without windows, for diagnostics and hardware tests.
#include <ostream>
#include <string>
#include <vector>

#include "drives/modMain.h"

namespace bm::app {

// A record as `list --json` prints it: one JSON object on one line.
std::string RecordJson(const DriveRecord& d);

enum ToolExit : int { kExitOk = 0, kExitNotWatched = 1, kExitUsage = 2 };

// args excludes the program name. Settings live under configDir ("" for the user's).
int RunDriveTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                 const std::string& configDir = {});

}  // namespace bm::app
