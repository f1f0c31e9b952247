#include "platform/qt/session_xsmp.h"

#include "platform/qt/session_trace.h"

namespace bm::platform {

XsmpSession::XsmpSession(XsmpReplies& replies, Handlers handlers)
    : replies_(replies), handlers_(std::move(handlers)) {}

void XsmpSession::SaveYourself(bool shutdown, int interactStyle) {
    static const char* const kStyles[] = {"None", "Errors", "Any"};
    const char* style = interactStyle >= 0 && interactStyle <= 2 ? kStyles[interactStyle] : "?";
    SessionTrace(std::string("SaveYourself ") + (shutdown ? "shutdown" : "checkpoint") +
                 " interact=" + style);
    if (state_ == State::Checking) {
        return;  // the running check's answer goes out when it is done
    }
    if (!shutdown) {
        // A checkpoint where the end was due: the logout was called off.
        const bool endWasDue = state_ == State::AwaitingEnd;
        state_ = State::Idle;
        replies_.SaveYourselfDone(true);
        if (endWasDue) {
            handlers_.cancelled();
        }
        return;
    }
    if (state_ == State::AwaitingEnd) {
        replies_.SaveYourselfDone(true);  // the same end, asked again: the drives were checked
        return;
    }
    calledOff_ = false;
    died_ = false;
    if (interactStyle != kInteractNone &&
        replies_.InteractRequest(interactStyle == kInteractErrors)) {
        state_ = State::AwaitingInteract;
        return;
    }
    SessionTrace(interactStyle == kInteractNone
                     ? "no windows: the session manager allows no interaction"
                     : "no windows: the interaction request could not be sent");
    Check(false);
}

void XsmpSession::Interact() {
    SessionTrace("Interact");
    if (state_ != State::AwaitingInteract) {
        replies_.InteractDone();
        return;
    }
    if (calledOff_) {
        // Let in after the shutdown was called off: nothing to show.
        state_ = State::Idle;
        calledOff_ = false;
        replies_.InteractDone();
        replies_.SaveYourselfDone(true);
        return;
    }
    Check(true);
}

void XsmpSession::Check(bool withWindows) {
    state_ = State::Checking;
    handlers_.ending(withWindows);
    if (withWindows) {
        replies_.InteractDone();
    }
    replies_.SaveYourselfDone(true);
    if (died_) {
        state_ = State::Idle;
        handlers_.die();
    } else if (calledOff_) {
        state_ = State::Idle;
        handlers_.cancelled();
    } else {
        state_ = State::AwaitingEnd;
    }
    calledOff_ = died_ = false;
}

void XsmpSession::Die() {
    SessionTrace("Die");
    if (state_ == State::Checking) {
        died_ = true;
        return;
    }
    state_ = State::Idle;
    handlers_.die();
}

void XsmpSession::SaveComplete() {
    SessionTrace("SaveComplete");
    // A shutdown that ends in a save complete instead of Die was turned into a checkpoint.
    if (state_ == State::AwaitingEnd) {
        state_ = State::Idle;
        handlers_.cancelled();
    }
}

void XsmpSession::ShutdownCancelled() {
    SessionTrace("ShutdownCancelled");
    switch (state_) {
        case State::AwaitingInteract:
            // The check never started: the icon is still there. The save is answered all the
            // same, as the protocol asks.
            state_ = State::Idle;
            calledOff_ = false;
            replies_.SaveYourselfDone(true);
            break;
        case State::Checking:
            if (!calledOff_) {
                calledOff_ = true;
                handlers_.cancelled();
            }
            break;
        case State::AwaitingEnd:
            state_ = State::Idle;
            handlers_.cancelled();
            break;
        case State::Idle:
            break;
    }
}

void XsmpSession::CalledOff() {
    SessionTrace("the session manager calls the shutdown off");
    switch (state_) {
        case State::AwaitingInteract:
            // The session manager may still let the program in; it is answered then.
            calledOff_ = true;
            break;
        case State::Checking:
        case State::AwaitingEnd:
            ShutdownCancelled();
            break;
        case State::Idle:
            break;
    }
}

void XsmpSession::ConnectionLost() {
    SessionTrace("the connection to the session manager is lost");
    // Without a session manager nothing will say Die; the desktop going away ends the program.
    switch (state_) {
        case State::Checking:
            calledOff_ = true;
            break;
        case State::AwaitingEnd:
            state_ = State::Idle;
            handlers_.cancelled();
            break;
        default:
            state_ = State::Idle;
            break;
    }
}

}  // namespace bm::platform
