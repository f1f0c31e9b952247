// tooltip_bench: times the tooltip rebuild of the tray window in-process, on the fakes the tests
// use (or on a simulated machine file), with a number of drives that all hold media.
//
//   tooltip_bench [--drives N] [--rebuilds N] [--chosen all|none] [--machine fakes|sim]
//
// Prints one JSON object: the median, 90th percentile and mean of one rebuild in microseconds.
// "--chosen none" leaves every drive out of the tooltip: what a rebuild costs without probing.
#include <QCoreApplication>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "app/all_forms.h"
#include "drives/modMain.h"
#include "forms/form.h"
#include "platform/services.h"
#include "platform/sim/sim_machine.h"
#include "platform/trace.h"
#include "support/fake_host.h"
#include "support/fake_platform.h"
#include "support/fake_shell.h"
#include "support/qt_app.h"
#include "tray/frmSystemTray.h"

using namespace bm;

namespace {

// The virtual clock of the tests, with the real program's DoEvents: every probe lets Qt's
// pending events run, and that belongs in the cost.
class BenchHost : public test::FakeHost {
  public:
    void DoEvents() override {
        QCoreApplication::processEvents();
        FakeHost::DoEvents();
    }
};

struct Options {
    int drives = 24;
    int rebuilds = 500;
    bool chosen = true;
    bool sim = false;
};

[[noreturn]] void Usage() {
    std::fprintf(stderr,
                 "usage: tooltip_bench [--drives N] [--rebuilds N] [--chosen all|none] "
                 "[--machine fakes|sim]\n");
    std::exit(2);
}

Options Parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) {
            Usage();
        }
        const std::string value = argv[++i];
        if (arg == "--drives") {
            o.drives = std::atoi(value.c_str());
        } else if (arg == "--rebuilds") {
            o.rebuilds = std::atoi(value.c_str());
        } else if (arg == "--chosen" && (value == "all" || value == "none")) {
            o.chosen = value == "all";
        } else if (arg == "--machine" && (value == "fakes" || value == "sim")) {
            o.sim = value == "sim";
        } else {
            Usage();
        }
    }
    if (o.drives < 1 || o.drives > 25 || o.rebuilds < 1) {
        Usage();
    }
    return o;
}

// A floppy on A:, then CD drives and removable disks from D: on, half and half, each with a
// labelled medium. C: stays fixed, so up to 25 drives.
std::vector<char> Letters(int count) {
    std::vector<char> letters{'A'};
    for (char letter = 'D'; static_cast<int>(letters.size()) < count && letter <= 'Z'; ++letter) {
        letters.push_back(letter);
    }
    if (count >= 25) {
        letters.push_back('B');
    }
    return letters;
}

bool IsCd(char letter, int count) {
    return letter >= 'D' && letter < 'D' + count / 2;
}

void FillFakes(test::FakeDrives& drives, test::FakeMci& mci, int count) {
    drives.drives['C'] = test::Disk(platform::kDriveFixed, true);
    for (char letter : Letters(count)) {
        const bool cd = IsCd(letter, count);
        drives.drives[letter] =
            test::Disk(cd ? platform::kDriveCdRom : platform::kDriveRemovable, true, {"a.txt"});
        drives.drives[letter].label = std::string("VOLUME ") + letter;
        drives.drives[letter].serial = static_cast<std::uint32_t>(letter) * 1000U;
        if (cd) {
            mci.cds[letter] = test::FakeCd{true, false, true, 0};
        }
    }
}

std::string MachineJson(int count) {
    std::string json = "{ \"drives\": [\n    { \"letter\": \"C\", \"type\": \"fixed\" }";
    for (char letter : Letters(count)) {
        const std::string medium = std::string("{ \"label\": \"VOLUME ") + letter +
                                   "\", \"serial\": " + std::to_string(letter * 1000) +
                                   ", \"files\": [\"a.txt\"] }";
        json += ",\n    { \"letter\": \"" + std::string(1, letter) + "\", ";
        json += IsCd(letter, count) ? "\"type\": \"cdrom\", \"canEject\": true, \"door\": "
                                      "\"closed\", \"disc\": " +
                                          medium + " }"
                                    : "\"type\": \"removable\", \"medium\": " + medium + " }";
    }
    return json + "\n] }\n";
}

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    return values[index];
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = Parse(argc, argv);
    test::EnsureQApplication();

    BenchHost host;
    test::FakeShell shell;
    test::MemorySettings settings;
    test::FakeDrives fakeDrives;
    test::FakeMci fakeMci;
    forms::QtWindows windows{[] { return false; }};
    QTemporaryDir dir;
    std::unique_ptr<platform::sim::SimMachine> machine;
    platform::Services services{&fakeDrives, &fakeMci, &settings, &host, &shell, &windows};
    if (options.sim) {
        const std::string path = dir.filePath(QStringLiteral("machine.json")).toStdString();
        std::ofstream(path) << MachineJson(options.drives);
        // A file written in the last two seconds is read again at every query, since its
        // time stamp could be shared by a later write; the program mostly sees an older one.
        std::this_thread::sleep_for(std::chrono::milliseconds(2100));
        machine = platform::sim::SimMachine::Load(path);
        services.drives = &machine->Drives();
        services.mci = &machine->MciDevice();
    } else {
        FillFakes(fakeDrives, fakeMci, options.drives);
    }
    platform::Install(services);
    app::RegisterAllForms();
    forms::FormRegistry::SetOnProgramEnd([] {});

    modMain::InitOptions();
    if (!modMain::FindDrives() || forms::Loaded<frmSystemTray>() == nullptr) {
        std::fprintf(stderr, "tooltip_bench: the tray window did not load\n");
        return 1;
    }
    for (DriveRecord& drive : modMain::gDrives) {
        drive.StatusToolTip = options.chosen ? 1 : 0;
    }

    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(options.rebuilds));
    const int warmUp = std::max(5, options.rebuilds / 20);
    std::size_t modifies = 0;
    for (int i = 0; i < warmUp + options.rebuilds; ++i) {
        // Past the tooltip's one-second throttle and every drive's status interval but the
        // floppy's, as after a second without moves.
        host.Advance(1000);
        fakeDrives.listings.clear();
        fakeMci.sent.clear();
        shell.calls.clear();
        const auto start = std::chrono::steady_clock::now();
        shell.Send(512);
        const auto end = std::chrono::steady_clock::now();
        modifies += shell.calls.size();
        if (i >= warmUp) {
            micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
        }
    }
    const int moves = warmUp + options.rebuilds;
    if (modifies != static_cast<std::size_t>(moves)) {
        std::fprintf(stderr, "tooltip_bench: %zu tooltip updates for %d moves\n", modifies, moves);
        return 1;
    }
    const double mean =
        std::accumulate(micros.begin(), micros.end(), 0.0) / static_cast<double>(micros.size());
    std::printf(
        "{\"drives\": %zu, \"rebuilds\": %zu, \"median_us\": %.3f, \"p90_us\": %.3f, "
        "\"mean_us\": %.3f, \"tip\": \"%s\"}\n",
        modMain::gDrives.size(), micros.size(), Percentile(micros, 0.5), Percentile(micros, 0.9),
        mean, platform::EscapeControls(shell.Tip()).c_str());

    forms::FormRegistry::DestroyAll();
    modMain::Reset();
    platform::Install({});
    return 0;
}
