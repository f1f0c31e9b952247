// Another client of the session manager, as a desktop test needs one: it answers a logout with
// an interaction request and then calls the logout off (InteractDone with cancel), and answers
// checkpoints at once. Each message it gets is written to standard output, one line each.
//
//     xsmp_canceller          the session manager is in SESSION_MANAGER
#include <X11/ICE/ICElib.h>
#include <X11/SM/SMlib.h>
#include <poll.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool gDone = false;

void Say(const char* line) {
    std::printf("%s\n", line);
    std::fflush(stdout);
}

void OnInteract(SmcConn conn, SmPointer) {
    Say("Interact");
    SmcInteractDone(conn, True);
    SmcSaveYourselfDone(conn, True);
}

void OnSaveYourself(SmcConn conn, SmPointer, int, Bool shutdown, int interactStyle, Bool) {
    Say(shutdown ? "SaveYourself shutdown" : "SaveYourself checkpoint");
    if (shutdown && interactStyle != SmInteractStyleNone &&
        SmcInteractRequest(conn, SmDialogNormal, &OnInteract, nullptr)) {
        return;
    }
    SmcSaveYourselfDone(conn, True);
}

void OnDie(SmcConn, SmPointer) {
    Say("Die");
    gDone = true;
}
void OnSaveComplete(SmcConn, SmPointer) {
    Say("SaveComplete");
}
void OnShutdownCancelled(SmcConn, SmPointer) {
    Say("ShutdownCancelled");
}

}  // namespace

int main() {
    SmcCallbacks callbacks{};
    callbacks.save_yourself.callback = &OnSaveYourself;
    callbacks.die.callback = &OnDie;
    callbacks.save_complete.callback = &OnSaveComplete;
    callbacks.shutdown_cancelled.callback = &OnShutdownCancelled;
    char error[256] = "";
    char* id = nullptr;
    SmcConn conn = SmcOpenConnection(nullptr, nullptr, SmProtoMajor, SmProtoMinor,
                                     SmcSaveYourselfProcMask | SmcDieProcMask |
                                         SmcSaveCompleteProcMask | SmcShutdownCancelledProcMask,
                                     &callbacks, nullptr, &id, sizeof error, error);
    if (conn == nullptr) {
        std::fprintf(stderr, "xsmp_canceller: %s\n", error);
        return 1;
    }
    char program[] = "xsmp_canceller";
    char never = SmRestartNever;
    SmPropValue programValue{static_cast<int>(std::strlen(program)), program};
    SmPropValue neverValue{1, &never};
    char names[4][32] = {SmProgram, SmRestartCommand, SmUserID, SmRestartStyleHint};
    char types[4][16] = {SmARRAY8, SmLISTofARRAY8, SmARRAY8, SmCARD8};
    SmProp props[4];
    SmProp* list[4];
    for (int i = 0; i < 4; ++i) {
        props[i] = SmProp{names[i], types[i], 1, i == 3 ? &neverValue : &programValue};
        list[i] = &props[i];
    }
    SmcSetProperties(conn, 4, list);
    std::printf("registered %s\n", id);
    std::fflush(stdout);
    std::free(id);
    pollfd fd{IceConnectionNumber(SmcGetIceConnection(conn)), POLLIN, 0};
    while (!gDone && poll(&fd, 1, -1) >= 0) {
        if (IceProcessMessages(SmcGetIceConnection(conn), nullptr, nullptr) !=
            IceProcessMessagesSuccess) {
            Say("lost");
            return 0;
        }
    }
    SmcCloseConnection(conn, 0, nullptr);
    return 0;
}
