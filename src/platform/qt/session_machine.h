#pragma once
// The end of the session, whoever announces it: one owner for "asked", "checking", "checked",
// "called off" and "ending", so that an end of the session checks the drives at most once and
// every request gets its answer. Plain C++: the sources' adapters turn their protocol into the
// events below and send the answers the machine decides through SessionOutput.
#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace bm::platform {

enum class EndSource { Xsmp, Portal, Logind, Signal };
const char* EndSourceName(EndSource source);

// What a request allows: no windows, windows once the source grants them (XSMP's interaction),
// or windows now.
enum class EndWindows { None, Ask, Allowed };

using SessionClock = std::chrono::steady_clock;

// What the machine decides; the adapters and the program carry it out.
class SessionOutput {
  public:
    virtual ~SessionOutput() = default;
    // Asks the source for leave to show windows (XSMP: InteractRequest); the answer comes as
    // Granted.
    virtual void AskWindows(EndSource source) = 0;
    // Leave to show windows granted when none is wanted: given back at once (InteractDone).
    virtual void GiveWindowsBack(EndSource source) = 0;
    // The request is answered: XSMP InteractDone (if windows were granted) and SaveYourselfDone;
    // the portal's inhibitor closed; logind's delay lock released.
    virtual void Answer(EndSource source, bool windowsGranted) = 0;
    // Runs the check and returns when it is done (a nested event loop: events arrive meanwhile).
    // deadline: the time by which it must be over, if a source set one.
    virtual void Check(bool withWindows, std::optional<SessionClock::time_point> deadline) = 0;
    // The running check's notification is answered now, as with OK; with the session gone it
    // goes at once, not a second later.
    virtual void FinishCheck(bool sessionGone) = 0;
    // The end did not come: the icon goes up again.
    virtual void RestoreIcon() = 0;
    // A close from outside (the task manager): the message, then the end of the program.
    virtual void TaskManagerClose() = 0;
    // Ends the program, status 0, once the running handler has returned.
    virtual void Quit() = 0;
};

class SessionMachine {
  public:
    enum class Phase { Idle, Requested, Checking, CallingOff, Checked, Ended };
    static const char* PhaseName(Phase phase);

    explicit SessionMachine(SessionOutput& out) : out_(out) {}

    // The session is to end. quitAfter: nobody will say Die (a SIGTERM): the program ends
    // once the check is over.
    void Request(EndSource source, EndWindows windows,
                 std::optional<SessionClock::time_point> deadline = {}, bool quitAfter = false);
    // The source's answer to AskWindows: windows granted, or the ask failed.
    void Granted(EndSource source, bool windows);
    // A save that does not end the session: answered at once.
    void Checkpoint(EndSource source);
    // The source calls its end off. askStands: an ask for windows stays open (xfce4-session
    // still lets the client in after it called a logout off); otherwise it lapses.
    void CalledOff(EndSource source, bool askStands = false);
    // The session ends now (XSMP's Die, the portal's "ending").
    void Confirmed(EndSource source);
    // The source is gone (the session manager's connection lost): nobody to answer.
    void Gone(EndSource source);
    // A close from outside.
    void Close();

    Phase phase() const { return phase_; }
    // Whether the running check is to end now: called off, or the session is gone.
    bool Finishing() const { return phase_ == Phase::CallingOff || finishing_; }
    int checks() const { return checks_; }

  private:
    struct Source {
        bool joined = false;   // the current end is this source's too
        bool owed = false;     // an answer is owed to it
        bool asked = false;    // windows asked for, not granted yet
        bool granted = false;  // windows granted and not given back yet
    };
    struct Queued {
        EndSource source;
        EndWindows windows;
        std::optional<SessionClock::time_point> deadline;
    };

    Source& Of(EndSource source) { return sources_.at(static_cast<std::size_t>(source)); }
    void SetPhase(Phase phase);
    void StartCheck(bool withWindows, std::optional<SessionClock::time_point> deadline);
    void CheckDone();
    // Sends the source's owed answer, unless it still waits for its grant.
    void Settle(EndSource source);
    void SettleAll();
    bool AnyJoined() const;
    void End();
    void Finish();

    SessionOutput& out_;
    Phase phase_ = Phase::Idle;
    std::array<Source, 4> sources_{};
    std::optional<SessionClock::time_point> deadline_;
    std::vector<Queued> queued_;  // requests that came while a called-off check wound down
    bool quitAfter_ = false;
    bool dying_ = false;
    bool closePending_ = false;
    bool finishing_ = false;
    int checks_ = 0;
};

}  // namespace bm::platform
