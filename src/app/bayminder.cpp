// bayminder: the tray program.
#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include <sys/syscall.h>
#include <unistd.h>

#include "app/all_forms.h"
#include "app/make_machine.h"
#include "app/session_end.h"
#include "drives/modMain.h"
#include "forms/form.h"
#include "platform/linux/instance_lock.h"
#include "platform/machine.h"
#include "platform/qt/qt_host.h"
#include "platform/qt/qt_media_notices.h"
#include "platform/qt/qt_shell.h"
#include "platform/qt/qt_trace.h"
#include "platform/qt/session.h"
#include "platform/services.h"
#include "platform/settings/qt_settings_backing.h"
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
    "Qt's own options (-display, -platform, -name, -session...) are taken as Qt takes them.\n"
    "\n"
    "Settings are kept in $XDG_CONFIG_HOME/Bayminder/Bayminder.ini.\n";

int Usage(const std::string& problem) {
    std::fprintf(stderr, "bayminder: %s (see 'bayminder --help')\n", problem.c_str());
    return kExitUsage;
}

// Qt's own options, which a desktop or an earlier session may give (Qt's session client wrote
// "-session ID" into the restart command): QApplication takes them. Names without their dashes.
constexpr std::string_view kQtOptionsWithValue[] = {"platform",
                                                    "platformpluginpath",
                                                    "platformtheme",
                                                    "plugin",
                                                    "qwindowgeometry",
                                                    "geometry",
                                                    "qwindowicon",
                                                    "icon",
                                                    "qwindowtitle",
                                                    "title",
                                                    "session",
                                                    "name",
                                                    "display",
                                                    "visual",
                                                    "style",
                                                    "stylesheet",
                                                    "ncols",
                                                    "cmap",
                                                    "im",
                                                    "qmljsdebugger"};
constexpr std::string_view kQtFlags[] = {"reverse", "nograb", "dograb", "sync", "widgetcount"};

bool Listed(std::span<const std::string_view> names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// Set once the drives are checked for an end of the session that was not called off (or the
// session has ended the program). From then on the display may go first: gnome-session stops
// the Wayland compositor as it sends Die, and the QApplication's own teardown after main meets
// a compositor already gone. Qt's X11 client then ends the process with exit(1), Qt 6.4's
// Wayland client with _exit(1): that loss is the end the session asked for, not a failure.
std::atomic<bool> gEndedBySession{false};
// Once main returns, exit() is the program's own, with LeakSanitizer's check in it.
std::atomic<bool> gMainReturned{false};
void EndedBySessionIsSuccess() {
    if (gEndedBySession.load() && !gMainReturned.load()) {
        std::_Exit(0);
    }
}

// Once a check has run for an end of the session, the display may go; a check called off
// gives the icon back, and the program goes on as before.
bm::platform::SessionHandlers EndingIsExpected(bm::platform::SessionHandlers handlers) {
    handlers.check = [check = std::move(handlers.check)](
                         bool withWindows,
                         std::optional<bm::platform::SessionClock::time_point> deadline,
                         const std::function<bool()>& finishing) {
        check(withWindows, deadline, finishing);
        gEndedBySession.store(true);
    };
    handlers.restoreIcon = [restore = std::move(handlers.restoreIcon)] {
        gEndedBySession.store(false);
        restore();
    };
    return handlers;
}

}  // namespace

// Exported (see CMakeLists.txt), so that the display plugin's call lands here rather than in
// the C library; the C library's own exit path does not come through it.
extern "C" void _exit(int status) {
    syscall(SYS_exit_group, status != 0 && gEndedBySession.load() ? 0 : status);
    __builtin_unreachable();
}

int main(int argc, char** argv) {
    std::string simulate;
    std::string session;
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
        } else if (arg.rfind('-', 0) == 0 && arg.size() > 1) {
            const std::string option = arg.substr(arg.rfind("--", 0) == 0 ? 2 : 1);
            const std::size_t equals = option.find('=');
            const std::string name = option.substr(0, equals);
            const bool valued = Listed(kQtOptionsWithValue, name);
            if (!valued && (!Listed(kQtFlags, name) || equals != std::string::npos)) {
                return Usage("unknown option '" + arg + "'");
            }
            std::string value;
            if (valued && equals != std::string::npos) {
                value = option.substr(equals + 1);
            } else if (valued) {
                if (i + 1 >= argc) {
                    return Usage("option '" + arg + "' needs a value");
                }
                value = argv[++i];
            }
            if (name == "session") {
                session = value;
            }
        } else {
            return Usage("unexpected argument '" + arg + "'");
        }
    }

    // The machine first: a bad machine file is an error before anything is shown.
    std::unique_ptr<bm::platform::Machine> machine;
    try {
        machine = bm::app::MakeMachine(simulate);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bayminder: %s\n", e.what());
        return kExitUsage;
    }

    // Before the QApplication: Qt's session client would answer the session manager for us.
    const std::string sessionManager = bm::platform::TakeSessionManagerAddress();
    // The id the session started us under names us to it (our desktop entry); it wins over an
    // earlier session's, and is not our children's.
    const std::string autostartId = bm::platform::TakeAutostartId();
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
    bm::platform::QtMediaNotices notices(machine->WatchChanges());
    std::unique_ptr<bm::platform::linux_::InstanceLock> lock;
    bm::forms::QtWindows windows([&lock] {
        lock = bm::platform::linux_::InstanceLock::Acquire(
            bm::platform::linux_::InstanceLock::DefaultPath());
        return lock == nullptr;
    });
    bm::platform::Install({&machine->Drives(), &machine->MciDevice(), &settings, &host, &shell,
                           &windows, &notices, machine->Letters()});
    bm::app::RegisterAllForms();

    std::atexit(&EndedBySessionIsSuccess);
    bm::app::SessionEnd sessionEnd([] {
        gEndedBySession.store(true);
        QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
    });
    std::unique_ptr<bm::platform::SessionWatch> watch;

    bm::modMain::Main();
    if (lock == nullptr) {
        return 0;  // another copy runs: nothing shown, nothing probed
    }
    watch = std::make_unique<bm::platform::SessionWatch>(
        EndingIsExpected(sessionEnd.Handlers()),
        bm::platform::SessionOptions{
            sessionManager,
            !autostartId.empty() ? autostartId : bm::platform::ClientIdOfSessionArgument(session)});
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
    watch.reset();  // leaves the session manager before the windows go
    bm::forms::FormRegistry::DestroyAll();
    bm::platform::Install({});
    gMainReturned.store(true);
    return status;
}
