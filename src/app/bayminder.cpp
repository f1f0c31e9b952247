// bayminder: the tray program.
#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <string>

#include "app/all_forms.h"
#include "app/session_end.h"
#include "drives/modMain.h"
#include "platform/linux/block_monitor.h"
#include "platform/linux/instance_lock.h"
#include "platform/linux/linux_machine.h"
#include "platform/qt/form.h"
#include "platform/qt/qt_host.h"
#include "platform/qt/qt_media_notices.h"
#include "platform/qt/qt_shell.h"
#include "platform/qt/qt_trace.h"
#include "platform/qt/session.h"
#include "platform/services.h"
#include "platform/settings/qt_settings_backing.h"
#include "platform/sim/machine_watch.h"
#include "platform/sim/sim_machine.h"
#include "tray/frmSystemTray.h"
#include "version.h"

namespace {

constexpr int kExitUsage = 2;

constexpr const char* kHelp =
    "Usage: bayminder [--simulate FILE]\n"
    "Watches the removable, floppy and CD-ROM drives from a tray icon. The tooltip names the\n"
    "drives that hold media; a click opens or closes the chosen CD trays; a double click opens\n"
    "the drive properties. When the session ends it closes the trays, looks for media left in\n"
    "the drives, ejects it where asked and counts down with warning beeps.\n"
    "\n"
    "  --simulate FILE  run on the simulated machine described in FILE (JSON)\n"
    "  --help           show this help and exit\n"
    "  --version        show the version and exit\n"
    "\n"
    "Settings are kept in $XDG_CONFIG_HOME/Bayminder/Bayminder.ini.\n";

int Usage(const std::string& problem) {
    std::fprintf(stderr, "bayminder: %s (see 'bayminder --help')\n", problem.c_str());
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    std::string simulate;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--simulate" && i + 1 < argc) {
            simulate = argv[++i];
        } else if (arg.rfind("--simulate=", 0) == 0) {
            simulate = arg.substr(11);
        } else if (arg == "--simulate") {
            return Usage("option '--simulate' needs a FILE");
        } else if (arg == "--help") {
            std::fputs(kHelp, stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("bayminder (%s) %s\n", bm::kProductName, bm::kVersionText);
            return 0;
        } else if (arg.rfind('-', 0) == 0) {
            return Usage("unknown option '" + arg + "'");
        } else {
            return Usage("unexpected argument '" + arg + "'");
        }
    }

    // The machine first: a bad machine file is an error before anything is shown.
    std::unique_ptr<bm::platform::Machine> machine;
    try {
        if (simulate.empty()) {
            machine = std::make_unique<bm::platform::linux_::LinuxMachine>();
        } else {
            machine = bm::platform::sim::SimMachine::Load(simulate);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bayminder: %s\n", e.what());
        return kExitUsage;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(bm::kProductName));
    QApplication::setApplicationVersion(QString::fromLatin1(bm::kVersionText));
    QApplication::setDesktopFileName(QStringLiteral("org.bayminder.Bayminder"));
    // The program lives in its tray icon, not in its windows.
    QApplication::setQuitOnLastWindowClosed(false);
    bm::platform::InstallQtTrace();

    bm::platform::QtSettingsBacking settings{std::string()};
    bm::platform::QtHost host;
    bm::platform::QtShell shell;
    bm::platform::QtMediaNotices notices(simulate.empty()
                                             ? bm::platform::linux_::WatchBlockDevices()
                                             : bm::platform::sim::WatchMachineFile(simulate));
    std::unique_ptr<bm::platform::linux_::InstanceLock> lock;
    bm::forms::QtWindows windows([&lock] {
        lock = bm::platform::linux_::InstanceLock::Acquire(
            bm::platform::linux_::InstanceLock::DefaultPath());
        return lock == nullptr;
    });
    bm::platform::Install(
        {&machine->Drives(), &machine->MciDevice(), &settings, &host, &shell, &windows, &notices});
    bm::app::RegisterAllForms();

    bm::app::SessionEnd sessionEnd(
        [] { QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); }); });
    std::unique_ptr<bm::platform::SessionWatch> watch;

    bm::modMain::Main();
    if (lock == nullptr) {
        return 0;  // another copy runs: nothing shown, nothing probed
    }
    watch = std::make_unique<bm::platform::SessionWatch>(bm::platform::SessionHandlers{
        [&sessionEnd](bm::platform::SessionEndSource source) { sessionEnd.Ending(source); },
        [&sessionEnd] { sessionEnd.Cancelled(); },
        [&sessionEnd] { sessionEnd.TaskManagerClose(); }});
    bm::forms::FormRegistry::SetMainReturned();
    // Start-up is over: the tooltip is built as soon as its throttles allow, for the hosts that
    // read it without sending a mouse message (on a machine whose start-up probed nothing, now).
    if (auto* tray = bm::forms::Loaded<bm::frmSystemTray>()) {
        tray->MediaChanged();
    }
    if (bm::forms::FormRegistry::LoadedCount() == 0) {
        return 0;
    }
    const int status = QApplication::exec();
    bm::forms::FormRegistry::ResetForTests();
    bm::platform::Install({});
    return status;
}
