// The end of the session as one table of event scripts: what each source says, in what order,
// also while the check runs, and what must come back. "[check" ... "]" is a check with the
// notification, "[bare" ... "]" one without windows (trays closed, chosen media ejected); the
// words between are what happened while it ran. Each check moves the doors once: a script that
// must move them once has one bracket.
#include "platform/qt/session_machine.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace bm::platform {
namespace {

struct Log : SessionOutput {
    void AskWindows(EndSource source) override { Say("ask", source); }
    void GiveWindowsBack(EndSource source) override { Say("back", source); }
    void Answer(EndSource source, bool windowsGranted) override {
        Say(windowsGranted ? "done+w" : "done", source);
    }
    void Check(bool withWindows, std::optional<SessionClock::time_point> deadline) override {
        text += withWindows ? " [check" : " [bare";
        if (deadline) {
            text += "@";
        }
        if (!during.empty()) {
            const std::string script = during.front();
            during.erase(during.begin());
            play(script);
        }
        text += "]";
    }
    void FinishCheck(bool sessionGone) override { text += sessionGone ? " finish!" : " finish"; }
    void RestoreIcon() override { text += " icon"; }
    void TaskManagerClose() override { text += " close"; }
    void Quit() override { text += " quit"; }
    void Say(const char* what, EndSource source) {
        text += std::string(" ") + what + ":" + EndSourceName(source);
    }
    std::string text;
    std::vector<std::string> during;
    std::function<void(const std::string&)> play;
};

TEST(SessionMachineTest, OneCheckPerEndAndEveryRequestAnsweredOnce) {
    const struct {
        const char* script;
        std::vector<std::string> during;  // one script per check, run while it runs
        const char* log;
    } cases[] = {
        // clang-format off
        // gnome-session, Logout(1) and the query confirmed later: the end-session phase's
        // second save allows no windows and finds the drives checked; Die ends the program.
        {"save interact save-none die", {}, "ask:xsmp [check] done+w:xsmp done:xsmp quit"},
        // Logout(2), forced: no windows, and the second save moves nothing.
        {"save-none save-none die", {}, "[bare] done:xsmp done:xsmp quit"},
        // The connection lost after the check (gnome-session exits after Die), or with nothing
        // asked: the program ends.
        {"save-none lost", {}, "[bare] done:xsmp quit"},
        {"lost", {}, "quit"},
        // Die with no save first: what needs no window, then the end.
        {"die", {}, "[bare] quit"},
        {"checkpoint save refuse", {}, "done:xsmp ask:xsmp [bare] done:xsmp"},
        // ksmserver calls off before our turn, and may let us in afterwards: nothing shown.
        {"save cancel interact", {}, "ask:xsmp done:xsmp back:xsmp"},
        // xfce4-session calls off on its bus only, and still lets us in: answered then.
        {"save xfce-off interact", {}, "ask:xsmp done+w:xsmp"},
        // Called off (twice, as XSMP may) during the check, or after it: the icon comes back.
        {"save interact", {"cancel cancel"}, "ask:xsmp [check finish] done+w:xsmp icon"},
        {"save interact cancel save interact", {}, "ask:xsmp [check] done+w:xsmp icon ask:xsmp [check] done+w:xsmp"},
        // Die during the check: the notification answered, the save answered, then the end.
        {"save interact", {"die"}, "ask:xsmp [check finish!] done+w:xsmp quit"},
        {"save interact", {"lost"}, "ask:xsmp [check finish!] quit"},
        // A second source during the check is answered when it ends, not by a check of its own;
        // one that comes while XSMP waits for its turn starts the check, and XSMP's turn joins it.
        {"save interact", {"logind"}, "ask:xsmp [check] done+w:xsmp done:logind"},
        {"save logind", {"interact"}, "ask:xsmp [check@] done+w:xsmp done:logind"},
        {"logind save", {}, "[check@] done:logind done:xsmp"},
        // One source calling off does not call off another's end, nor one it had no part in.
        {"save interact logind-off", {}, "ask:xsmp [check] done+w:xsmp"},
        {"save interact logind logind-off die", {}, "ask:xsmp [check] done+w:xsmp done:logind quit"},
        // logind: said twice, called off and started again; a call-off with no shutdown.
        {"logind-off logind logind logind-off logind", {}, "[check@] done:logind done:logind icon [check@] done:logind"},
        // Started again while the called-off check winds down: its own check, after it.
        {"logind", {"logind-off logind"}, "[check@ finish] icon [check@] done:logind"},
        {"portal", {"running save"}, "[check finish] done:portal icon ask:xsmp"},
        // The portal: asked again for the same end, called off, asked again, ending.
        {"portal portal running portal ending", {}, "[check] done:portal done:portal icon [check] done:portal quit"},
        // SIGTERM: the service manager's ends the program after the check; the session's
        // (parent, leader) waits for nothing: no windows, or the running window answered.
        {"systemd", {}, "[check] done:signal quit"},
        {"logind", {"systemd"}, "[check@] done:logind done:signal quit"},
        {"parent", {}, "[bare] done:signal quit"},
        {"portal", {"parent"}, "[check finish!] done:portal done:signal quit"},
        {"save interact systemd", {}, "ask:xsmp [check] done+w:xsmp done:signal quit"},
        // Anyone else's: the task manager's close, after a running check; once.
        {"kill", {}, "close"},
        {"save interact", {"kill kill"}, "ask:xsmp [check] done+w:xsmp close"},
        {"portal", {"running kill"}, "[check finish] done:portal icon close"},
        // clang-format on
    };
    for (const auto& c : cases) {
        Log log;
        SessionMachine machine(log);
        const auto at = SessionClock::now() + std::chrono::seconds(5);
        const std::map<std::string, std::function<void()>> steps = {
            {"save", [&] { machine.Request(EndSource::Xsmp, EndWindows::Ask); }},
            {"save-none", [&] { machine.Request(EndSource::Xsmp, EndWindows::None); }},
            {"checkpoint", [&] { machine.Checkpoint(EndSource::Xsmp); }},
            {"interact", [&] { machine.Granted(EndSource::Xsmp, true); }},
            {"refuse", [&] { machine.Granted(EndSource::Xsmp, false); }},
            {"cancel", [&] { machine.CalledOff(EndSource::Xsmp); }},
            {"xfce-off", [&] { machine.CalledOff(EndSource::Xsmp, true); }},
            {"die", [&] { machine.Confirmed(EndSource::Xsmp); }},
            {"lost", [&] { machine.Gone(EndSource::Xsmp); }},
            {"logind", [&] { machine.Request(EndSource::Logind, EndWindows::Allowed, at); }},
            {"logind-off", [&] { machine.CalledOff(EndSource::Logind); }},
            {"portal", [&] { machine.Request(EndSource::Portal, EndWindows::Allowed); }},
            {"running", [&] { machine.CalledOff(EndSource::Portal); }},
            {"ending", [&] { machine.Confirmed(EndSource::Portal); }},
            {"systemd", [&] { machine.Request(EndSource::Signal, EndWindows::Allowed, {}, true); }},
            {"parent", [&] { machine.Request(EndSource::Signal, EndWindows::None, {}, true); }},
            {"kill", [&] { machine.Close(); }},
        };
        log.play = [&steps](const std::string& script) {
            std::istringstream words(script);
            for (std::string word; words >> word;) {
                steps.at(word)();
            }
        };
        log.during = c.during;
        log.play(c.script);
        EXPECT_EQ(log.text, std::string(" ") + c.log)
            << c.script << (c.during.empty() ? "" : " / " + c.during.front());
    }
}

}  // namespace
}  // namespace bm::platform
