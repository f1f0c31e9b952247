#include "app/drive_tool.h"

#include <cstdio>
#include <iomanip>
#include <memory>
#include <sstream>

#include "app/console_host.h"
#include "app/drive_watch.h"
#include "app/make_machine.h"
#include "drives/modMain.h"
#include "platform/machine.h"
#include "platform/services.h"
#include "platform/settings/qt_settings_backing.h"
#include "version.h"

namespace bm::app {
namespace {

constexpr const char* kSeeHelp = " (see 'bayminder-drives --help')\n";

constexpr const char* kHelp =
    "Usage: bayminder-drives [--simulate FILE] COMMAND\n"
    "Shows and drives the removable drives as Bayminder sees them, with its settings.\n"
    "\n"
    "Commands:\n"
    "  list [--json]   the drive table, one drive a line (or as JSON)\n"
    "  refresh LETTER  ask the drive again for its media and tray, and show its record\n"
    "  open LETTER     open the CD tray of the drive\n"
    "  close LETTER    close the CD tray of the drive\n"
    "  toggle          open or close the trays chosen for the tray toggle, as a click does\n"
    "  watch           print one JSON line for each change of the drive table, as it happens,\n"
    "                  until interrupted: {\"change\":C,\"letter\":L,\"drive\":RECORD}, where C\n"
    "                  is added, gone, media or label and RECORD is as list --json prints it;\n"
    "                  the drives there at start are not printed\n"
    "\n"
    "Options:\n"
    "  --simulate FILE  use the simulated machine described in FILE (JSON)\n"
    "  --help           show this help and exit\n"
    "  --version        show the version and exit\n"
    "\n"
    "Exit status: 0 on success, 1 when the letter is not a watched drive, 2 on a usage error\n"
    "or a bad machine file.\n";

// JSON string; invalid UTF-8 bytes become U+FFFD so the output always parses.
std::string JsonString(const std::string& s) {
    std::ostringstream out;
    out << '"';
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool valid = len != 0 && i + len <= s.size();
        for (size_t k = 1; valid && k < len; ++k) {
            valid = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
        }
        if (!valid) {
            out << "\\ufffd";
            ++i;
            continue;
        }
        if (c == '"' || c == '\\') {
            out << '\\' << static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            out << "\\u" << std::hex << std::setw(4) << std::setfill('0') << static_cast<int>(c)
                << std::dec;
        } else {
            out << s.substr(i, len);
        }
        i += len;
    }
    out << '"';
    return out.str();
}

std::string Bool(VbBool b) {
    return b != 0 ? "true" : "false";
}

}  // namespace

std::string RecordJson(const DriveRecord& d) {
    std::ostringstream o;
    o << "{\"Letter\": " << JsonString(d.Letter) << ", \"DriveType\": " << d.DriveType
      << ", \"MediaName\": " << JsonString(d.MediaName)
      << ", \"TypeName\": " << JsonString(d.TypeName) << ", \"CanEject\": " << Bool(d.CanEject)
      << ", \"CanClose\": " << Bool(d.CanClose) << ", \"DoorClosed\": " << Bool(d.DoorClosed)
      << ", \"MediaPresent\": " << Bool(d.MediaPresent)
      << ", \"DoorUncertain\": " << Bool(d.DoorUncertain)
      << ", \"VolumeLabel\": " << JsonString(d.VolumeLabel)
      << ", \"SerialNumber\": " << d.SerialNumber << ", \"Monitor\": " << d.Monitor
      << ", \"Eject\": " << d.Eject << ", \"Notify\": " << d.Notify
      << ", \"StatusToolTip\": " << d.StatusToolTip << ", \"TrayToggle\": " << d.TrayToggle
      << ", \"Identity\": " << JsonString(d.Identity)
      << ", \"Gone\": " << (d.Gone ? "true" : "false") << "}";
    return o.str();
}

namespace {

void PrintTableJson(std::ostream& out) {
    out << "[";
    bool first = true;
    for (const auto& d : modMain::gDrives) {
        if (!d.Letter.empty()) {
            out << (first ? "\n  " : ",\n  ") << RecordJson(d);
            first = false;
        }
    }
    out << (first ? "]\n" : "\n]\n");
}

void PrintTable(std::ostream& out) {
    char line[200];
    std::snprintf(line, sizeof line, "%-6s %-9s %-6s %-6s %-9s %-7s %-10s %s\n", "Drive", "Type",
                  "Eject", "Close", "Media", "Door", "Settings", "Label");
    out << line;
    for (const auto& d : modMain::gDrives) {
        if (d.Letter.empty()) {
            continue;
        }
        const std::string door = d.DriveType != modMain::kCD
                                     ? "-"
                                     : std::string(d.DoorClosed != 0 ? "closed" : "open") +
                                           (d.DoorUncertain != 0 ? "?" : "");
        const std::string settings = std::to_string(d.Monitor) + std::to_string(d.Eject) +
                                     std::to_string(d.Notify) + std::to_string(d.StatusToolTip) +
                                     std::to_string(d.TrayToggle);
        std::snprintf(line, sizeof line, "%-6s %-9s %-6s %-6s %-9s %-7s %-10s %s\n",
                      (d.Letter + ":").c_str(), d.TypeName.c_str(), d.CanEject ? "yes" : "no",
                      d.CanClose ? "yes" : "no", d.MediaPresent ? "present" : "none", door.c_str(),
                      settings.c_str(), d.VolumeLabel.c_str());
        out << line;
    }
}

DriveRecord* FindRecord(const std::string& letter) {
    for (auto& d : modMain::gDrives) {
        if (!d.Letter.empty() && d.Letter == letter) {
            return &d;
        }
    }
    return nullptr;
}

}  // namespace

int RunDriveTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                 const std::string& configDir) {
    std::string simulate;
    size_t i = 0;
    if (args.size() == 1 && args[0] == "--help") {
        out << kHelp;
        return kExitOk;
    }
    if (args.size() == 1 && args[0] == "--version") {
        out << "bayminder-drives (" << kProductName << ") " << kVersionText << "\n";
        return kExitOk;
    }
    if (i < args.size() && args[i] == "--simulate") {
        if (i + 1 >= args.size()) {
            err << "bayminder-drives: option '--simulate' needs a FILE" << kSeeHelp;
            return kExitUsage;
        }
        simulate = args[i + 1];
        i += 2;
    }
    const std::vector<std::string> cmd(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    const bool list = !cmd.empty() && cmd[0] == "list" &&
                      (cmd.size() == 1 || (cmd.size() == 2 && cmd[1] == "--json"));
    const bool onDrive =
        cmd.size() == 2 && (cmd[0] == "refresh" || cmd[0] == "open" || cmd[0] == "close");
    const bool toggle = cmd.size() == 1 && cmd[0] == "toggle";
    const bool watch = cmd.size() == 1 && cmd[0] == "watch";
    std::string letter;
    if (onDrive) {
        letter = cmd[1];
        if (letter.size() == 2 && letter[1] == ':') {
            letter.pop_back();
        }
        if (letter.size() != 1 || !std::isalpha(static_cast<unsigned char>(letter[0]))) {
            err << "bayminder-drives: not a drive letter: " << cmd[1] << "\n";
            return kExitUsage;
        }
        letter[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(letter[0])));
    }
    if (watch) {
        CatchStopSignals();  // before anything slow: an early interrupt is a clean end too
    }
    if (!list && !onDrive && !toggle && !watch) {
        err << "bayminder-drives: "
            << (cmd.empty()                 ? std::string("no command")
                : cmd[0].rfind('-', 0) == 0 ? "unknown option '" + cmd[0] + "'"
                                            : "unknown command '" + cmd[0] + "'")
            << kSeeHelp;
        return kExitUsage;
    }

    std::unique_ptr<platform::Machine> machine;
    try {
        machine = MakeMachine(simulate);
    } catch (const std::exception& e) {
        err << "bayminder-drives: " << e.what() << "\n";
        return kExitUsage;
    }
    ConsoleHost host(err);
    platform::QtSettingsBacking settings(configDir);
    // Watched before the drives are found, so that no change between the two is missed.
    std::unique_ptr<platform::ChangeFeed> feed = watch ? machine->WatchChanges() : nullptr;
    platform::Install({&machine->Drives(), &machine->MciDevice(), &settings, &host, nullptr,
                       nullptr, nullptr, machine->Letters()});
    struct Uninstall {
        ~Uninstall() {
            modMain::Reset();
            platform::Install({});
        }
    } uninstall;

    modMain::InitOptions();
    if (watch) {
        modMain::FindDrives();  // drives may come later
        return WatchDrives(*feed, out);
    }
    if (!modMain::FindDrives()) {
        if (list && cmd.size() == 2) {
            out << "[]\n";
        }
        err << "bayminder-drives: no drive is watched\n";
        return kExitNotWatched;
    }
    if (list) {
        for (auto& d : modMain::gDrives) {
            modMain::RefreshDriveStatus(d);
        }
        if (cmd.size() == 2) {
            PrintTableJson(out);
        } else {
            PrintTable(out);
        }
        return kExitOk;
    }
    if (toggle) {
        modMain::ToggleTrayDoors();
        PrintTableJson(out);
        return kExitOk;
    }
    DriveRecord* drive = FindRecord(letter);
    if (drive == nullptr) {
        err << "bayminder-drives: drive " << letter << ": is not watched\n";
        return kExitNotWatched;
    }
    if (cmd[0] == "refresh") {
        modMain::RefreshDriveStatus(*drive);
    } else if (cmd[0] == "open") {
        modMain::OpenDoor(*drive);
    } else {
        modMain::CloseDoor(*drive);
    }
    out << RecordJson(*drive) << "\n";
    return kExitOk;
}

}  // namespace bm::app
