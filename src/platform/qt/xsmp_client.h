#pragma once
// The program as a client of an X session manager (XSMP), on libSM. Qt's own session management
// hides what matters here: whether a save request is a shutdown, the cancel and Die. The client
// only translates: SessionMachine decides what to answer.
#include <QDBusMessage>
#include <QObject>
#include <functional>
#include <memory>
#include <string>

#include "platform/qt/session_machine.h"

namespace bm::platform {

// The connection to the session manager at address (the value of SESSION_MANAGER), its socket
// on the event loop. A failed registration is traced with the session manager's reason. The
// session manager's messages reach the events in their order, once libICE has returned.
class XsmpClient : public QObject {
    Q_OBJECT

  public:
    struct Events {
        // SaveYourself: a shutdown (with the windows the session manager allows) or a checkpoint.
        std::function<void(bool shutdown, EndWindows windows)> saveYourself;
        // Interact (true), or the interaction request could not be sent (false).
        std::function<void(bool granted)> interact;
        std::function<void()> die;
        std::function<void()> shutdownCancelled;
        // xfce4-session calls a logout off without ShutdownCancelled; it says so on the session
        // bus, and only the very process at the other end of the connection is believed.
        std::function<void()> calledOffByXfce;
        // The session manager is gone (exited after Die, or crashed).
        std::function<void()> connectionLost;
    };

    // previousId: the client id to register under, empty for a new one.
    XsmpClient(const std::string& address, const std::string& previousId, Events events);
    ~XsmpClient() override;
    XsmpClient(const XsmpClient&) = delete;
    XsmpClient& operator=(const XsmpClient&) = delete;

    bool Registered() const;
    // The answers: InteractRequest (in the style the last SaveYourself allowed), InteractDone,
    // and [InteractDone] SaveYourselfDone.
    void AskWindows();
    void GiveWindowsBack();
    void Answer(bool windowsGranted);
    // Leaves the session manager (before the program ends).
    void Close();

  private Q_SLOTS:
    void XfceShutdownCancelled(const QDBusMessage& message);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace bm::platform
