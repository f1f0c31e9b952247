#include "platform/qt/session_machine.h"

#include <algorithm>
#include <utility>

#include "platform/qt/session_trace.h"

namespace bm::platform {
namespace {

const char* WindowsName(EndWindows windows) {
    switch (windows) {
        case EndWindows::None:
            return "none";
        case EndWindows::Ask:
            return "ask";
        case EndWindows::Allowed:
            break;
    }
    return "allowed";
}

constexpr EndSource kAllSources[] = {EndSource::Xsmp, EndSource::Portal, EndSource::Logind,
                                     EndSource::Signal};

}  // namespace

const char* EndSourceName(EndSource source) {
    switch (source) {
        case EndSource::Xsmp:
            return "xsmp";
        case EndSource::Portal:
            return "portal";
        case EndSource::Logind:
            return "logind";
        case EndSource::Signal:
            break;
    }
    return "signal";
}

const char* SessionMachine::PhaseName(Phase phase) {
    switch (phase) {
        case Phase::Idle:
            return "idle";
        case Phase::Requested:
            return "requested";
        case Phase::Checking:
            return "checking";
        case Phase::CallingOff:
            return "called-off";
        case Phase::Checked:
            return "checked";
        case Phase::Ended:
            break;
    }
    return "ended";
}

void SessionMachine::SetPhase(Phase phase) {
    if (phase != phase_) {
        SessionTrace(std::string("state ") + PhaseName(phase_) + " -> " + PhaseName(phase));
        phase_ = phase;
    }
}

void SessionMachine::Request(EndSource source, EndWindows windows,
                             std::optional<SessionClock::time_point> deadline, bool quitAfter) {
    std::string text =
        std::string("request ") + EndSourceName(source) + " windows=" + WindowsName(windows);
    if (deadline) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - SessionClock::now());
        text += " within " + std::to_string(left.count()) + " ms";
    }
    SessionTrace(text + (quitAfter ? " then quit" : ""));
    Source& s = Of(source);
    if (phase_ == Phase::CallingOff) {
        // The check that was called off still winds down: this one gets its own after it.
        s.owed = true;
        queued_.push_back({source, windows, deadline});
        quitAfter_ = quitAfter_ || quitAfter;
        return;
    }
    quitAfter_ = quitAfter_ || quitAfter;
    s.owed = true;
    if (phase_ == Phase::Ended) {
        Settle(source);  // nobody is kept waiting by a program on its way out
        return;
    }
    s.joined = true;
    switch (phase_) {
        case Phase::Idle:
            if (windows == EndWindows::Ask) {
                s.asked = true;
                deadline_ = deadline;
                SetPhase(Phase::Requested);
                out_.AskWindows(source);
                return;
            }
            StartCheck(windows == EndWindows::Allowed, deadline);
            return;
        case Phase::Requested:
            if (windows == EndWindows::Ask) {
                if (!s.asked) {
                    s.asked = true;
                    out_.AskWindows(source);
                }
                return;
            }
            // A source that does not wait for the other's leave: the check runs now.
            StartCheck(windows == EndWindows::Allowed, deadline);
            return;
        case Phase::Checking:
            // Answered when this check is done. Where nothing waits for the program, its
            // notification must not outlast the session.
            if (quitAfter && windows == EndWindows::None) {
                Finish();
            }
            return;
        case Phase::Checked:
            if (quitAfter_) {
                SettleAll();
                End();
                return;
            }
            Settle(source);  // the same end asked again: the drives were checked
            return;
        case Phase::CallingOff:
        case Phase::Ended:
            return;
    }
}

void SessionMachine::Granted(EndSource source, bool windows) {
    SessionTrace(std::string(windows ? "windows granted by " : "no windows from ") +
                 EndSourceName(source));
    Source& s = Of(source);
    if (!s.asked) {
        // The ask lapsed (the end was called off): nothing to show.
        if (windows) {
            out_.GiveWindowsBack(source);
        }
        return;
    }
    s.asked = false;
    s.granted = windows;
    switch (phase_) {
        case Phase::Requested:
            StartCheck(windows, deadline_);
            return;
        case Phase::Checking:
        case Phase::CallingOff:
            return;  // answered when the running check is done
        case Phase::Idle:
        case Phase::Checked:
        case Phase::Ended:
            Settle(source);
            return;
    }
}

void SessionMachine::Checkpoint(EndSource source) {
    SessionTrace(std::string("checkpoint ") + EndSourceName(source));
    out_.Answer(source, false);
}

void SessionMachine::CalledOff(EndSource source, bool askStands) {
    SessionTrace(std::string("called off by ") + EndSourceName(source));
    Source& s = Of(source);
    if (!askStands) {
        s.asked = false;
    }
    const auto was = queued_.size();
    std::erase_if(queued_, [source](const Queued& q) { return q.source == source; });
    if (!s.joined && was == queued_.size()) {
        if (phase_ == Phase::Idle) {
            Settle(source);  // an ask left standing has lapsed
        }
        return;  // not this source's end
    }
    s.joined = false;
    if (AnyJoined()) {
        return;  // another source's end goes on
    }
    switch (phase_) {
        case Phase::Requested:
            SetPhase(Phase::Idle);
            SettleAll();
            return;
        case Phase::Checking:
            SetPhase(Phase::CallingOff);
            Finish();
            return;
        case Phase::Checked:
            SetPhase(Phase::Idle);
            SettleAll();
            out_.RestoreIcon();
            return;
        case Phase::Idle:
            Settle(source);
            return;
        case Phase::CallingOff:
        case Phase::Ended:
            return;
    }
}

void SessionMachine::Confirmed(EndSource source) {
    SessionTrace(std::string("confirmed by ") + EndSourceName(source));
    switch (phase_) {
        case Phase::Idle:
        case Phase::Requested:
            // Told to end before any check: the one that needs no window, then the end.
            dying_ = true;
            Of(source).joined = true;
            StartCheck(false, {});
            return;
        case Phase::Checking:
            dying_ = true;
            Finish();  // no window counts down with no session behind it
            return;
        case Phase::CallingOff:
            dying_ = true;
            return;
        case Phase::Checked:
            End();
            return;
        case Phase::Ended:
            return;
    }
}

void SessionMachine::Gone(EndSource source) {
    SessionTrace(std::string("gone: ") + EndSourceName(source));
    Of(source) = Source{};
    std::erase_if(queued_, [source](const Queued& q) { return q.source == source; });
    if (phase_ == Phase::Idle) {
        End();
        return;
    }
    Confirmed(source);
}

void SessionMachine::Close() {
    SessionTrace("close from outside");
    switch (phase_) {
        case Phase::Checking:
        case Phase::CallingOff:
            closePending_ = true;  // told once the check is done
            return;
        case Phase::Ended:
            return;
        default:
            SetPhase(Phase::Ended);
            SettleAll();
            out_.TaskManagerClose();
            return;
    }
}

void SessionMachine::StartCheck(bool withWindows,
                                std::optional<SessionClock::time_point> deadline) {
    SetPhase(Phase::Checking);
    finishing_ = false;
    const int check = ++checks_;
    deadline_ = deadline;
    SessionTrace("check " + std::to_string(check) + ": " +
                 (withWindows ? "windows" : "no windows"));
    out_.Check(withWindows, deadline);
    SessionTrace("check " + std::to_string(check) + " done");
    CheckDone();
}

void SessionMachine::CheckDone() {
    if (phase_ == Phase::Checking) {
        SetPhase(Phase::Checked);
        SettleAll();
        if (dying_ || quitAfter_) {
            End();
        } else if (closePending_) {
            closePending_ = false;
            SetPhase(Phase::Ended);
            out_.TaskManagerClose();
        }
        return;
    }
    if (phase_ != Phase::CallingOff) {
        return;
    }
    std::vector<Queued> queued = std::move(queued_);
    queued_.clear();
    for (const EndSource source : kAllSources) {
        const bool again = std::any_of(queued.begin(), queued.end(),
                                       [source](const Queued& q) { return q.source == source; });
        if (!again) {
            Settle(source);
        }
        Of(source).joined = false;
    }
    if (dying_) {
        SettleAll();
        End();
        return;
    }
    SetPhase(Phase::Idle);
    out_.RestoreIcon();
    if (closePending_) {
        closePending_ = false;
        SetPhase(Phase::Ended);
        SettleAll();
        out_.TaskManagerClose();
        return;
    }
    // Each runs in turn: the first starts the new check, the ones after it join or find it done.
    for (const Queued& q : queued) {
        Request(q.source, q.windows, q.deadline);
    }
}

void SessionMachine::Settle(EndSource source) {
    Source& s = Of(source);
    if (!s.owed) {
        if (s.granted) {
            s.granted = false;
            out_.GiveWindowsBack(source);
        }
        return;
    }
    if (s.asked) {
        return;  // answered when the source lets the program in
    }
    s.owed = false;
    out_.Answer(source, std::exchange(s.granted, false));
}

void SessionMachine::SettleAll() {
    for (const EndSource source : kAllSources) {
        Settle(source);
    }
}

bool SessionMachine::AnyJoined() const {
    return std::any_of(sources_.begin(), sources_.end(), [](const Source& s) { return s.joined; });
}

void SessionMachine::Finish() {
    finishing_ = true;
    out_.FinishCheck(dying_ || quitAfter_);
}

void SessionMachine::End() {
    SetPhase(Phase::Ended);
    out_.Quit();
}

}  // namespace bm::platform
