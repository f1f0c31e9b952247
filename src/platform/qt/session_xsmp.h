#pragma once
// The program as a client of an X session manager (XSMP), on libSM. Qt's own session management
// hides what matters here: whether a save request is a shutdown, the cancel and Die.
#include <QObject>
#include <functional>
#include <memory>
#include <string>

namespace bm::platform {

// What the client sends back to the session manager.
class XsmpReplies {
  public:
    virtual ~XsmpReplies() = default;
    // Asks for leave to show windows; false when the request could not be sent.
    virtual bool InteractRequest(bool errorsOnly) = 0;
    virtual void InteractDone() = 0;
    virtual void SaveYourselfDone(bool success) = 0;
};

// The client side of saves and shutdowns, apart from the connection: a checkpoint is answered
// at once; a shutdown runs the check (with interaction where the session manager allows it) and
// then waits for Die; a shutdown called off, or turned into a checkpoint, gives the program back.
class XsmpSession {
  public:
    enum InteractStyle { kInteractNone = 0, kInteractErrors = 1, kInteractAny = 2 };
    struct Handlers {
        // Runs the end-of-session check and returns when it is done.
        std::function<void(bool withWindows)> ending;
        // The session goes on: during a check (which may then end early), and once it is done.
        std::function<void()> cancelled;
        // The session manager ends the program.
        std::function<void()> die;
    };

    XsmpSession(XsmpReplies& replies, Handlers handlers);

    // The session manager's messages.
    void SaveYourself(bool shutdown, int interactStyle);
    void Interact();
    void Die();
    void SaveComplete();
    void ShutdownCancelled();
    void ConnectionLost();
    // Told apart from XSMP that the shutdown is off (xfce4-session says so on the session bus
    // only). Until the session manager says more, the save stays unanswered.
    void CalledOff();

  private:
    enum class State { Idle, AwaitingInteract, Checking, AwaitingEnd };
    void Check(bool withWindows);

    XsmpReplies& replies_;
    Handlers handlers_;
    State state_ = State::Idle;
    bool calledOff_ = false;  // while checking: the session goes on after all
    bool died_ = false;       // while checking: Die came
};

// The connection to the session manager at address (the value of SESSION_MANAGER), its socket
// on the event loop. A failed registration is traced with the session manager's reason.
class XsmpClient : public QObject {
    Q_OBJECT

  public:
    // previousId: the client id of an earlier session, empty for none.
    XsmpClient(const std::string& address, const std::string& previousId,
               XsmpSession::Handlers handlers);
    ~XsmpClient() override;
    XsmpClient(const XsmpClient&) = delete;
    XsmpClient& operator=(const XsmpClient&) = delete;

    bool Registered() const;

  private Q_SLOTS:
    // xfce4-session turns a logout that a client calls off into a checkpoint without telling
    // the others over XSMP; it says so on the session bus.
    void XfceShutdownCancelled();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace bm::platform
