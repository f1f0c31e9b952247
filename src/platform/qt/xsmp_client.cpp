// The libSM side of the session client: registration, properties, the socket, the callbacks.
// Qt's headers come first: the X11 ones define Bool and Status as macros.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QSocketNotifier>
#include <array>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "platform/qt/session_trace.h"
#include "platform/qt/xsmp_client.h"

#include <X11/ICE/ICElib.h>
#include <X11/SM/SMlib.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bm::platform {
namespace {

const QString kXfce = QStringLiteral("org.xfce.SessionManager");
const QString kXfcePath = QStringLiteral("/org/xfce/SessionManager");
const QString kXfceInterface = QStringLiteral("org.xfce.Session.Manager");
constexpr int kBusTimeoutMs = 1000;

// libICE's default handlers end the process on a broken connection or a protocol error.
void IgnoreIoError(IceConn /*conn*/) {}
void TraceIceError(IceConn /*conn*/, Bool /*swap*/, int /*offendingMinorOpcode*/,
                   unsigned long /*offendingSequence*/, int errorClass, int severity,
                   IcePointer /*values*/) {
    SessionTrace("ICE error " + std::to_string(errorClass) + " severity " +
                 std::to_string(severity));
}
void TraceSmError(SmcConn /*conn*/, Bool /*swap*/, int /*offendingMinorOpcode*/,
                  unsigned long /*offendingSequence*/, int errorClass, int severity,
                  SmPointer /*values*/) {
    SessionTrace("XSMP error " + std::to_string(errorClass) + " severity " +
                 std::to_string(severity));
}

std::string ProgramPath() {
    const QString path = QCoreApplication::applicationFilePath();
    return path.isEmpty() ? std::string("bayminder") : path.toStdString();
}

QDBusMessage BusCall(const QString& method, const QString& name) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), method);
    call << name;
    return call;
}

}  // namespace

struct XsmpClient::Impl {
    Impl(XsmpClient& client, Events e) : owner(client), events(std::move(e)) {}

    // The callbacks run inside IceProcessMessages, and the check runs a nested event loop: the
    // messages are handled once libICE has returned, in their order, and wait while the client
    // asks the session bus something about them.
    void Post(std::function<void()> message) {
        inbox.push_back(std::move(message));
        QMetaObject::invokeMethod(
            &owner, [this] { Pump(); }, Qt::QueuedConnection);
    }
    void Pump() {
        while (!holding && !inbox.empty()) {
            std::function<void()> message = std::move(inbox.front());
            inbox.pop_front();
            message();
        }
    }
    void Hold() { holding = true; }
    void Resume() {
        holding = false;
        Pump();
    }
    template <typename Done>
    void AskBus(const QDBusMessage& call, Done done) {
        auto* watcher = new QDBusPendingCallWatcher(
            QDBusConnection::sessionBus().asyncCall(call, kBusTimeoutMs), &owner);
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &owner,
                         [done = std::move(done)](QDBusPendingCallWatcher* finished) {
                             finished->deleteLater();
                             done(QDBusMessage(finished->reply()));
                         });
    }
    static QVariant FirstArgument(const QDBusMessage& reply) {
        return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
                   ? reply.arguments().constFirst()
                   : QVariant();
    }

    // Whether the session manager at the other end of the connection is xfce4-session: the
    // owner of its bus name must be that very process.
    void FindXfce() {
        ucred peer{};
        socklen_t size = sizeof peer;
        if (getsockopt(IceConnectionNumber(SmcGetIceConnection(conn)), SOL_SOCKET, SO_PEERCRED,
                       &peer, &size) != 0 ||
            peer.pid <= 0) {
            return;  // not a local socket: nobody on our bus can speak for it
        }
        Hold();
        AskBus(BusCall(QStringLiteral("GetNameOwner"), kXfce), [this, peer](const QDBusMessage& r) {
            const QString unique = FirstArgument(r).toString();
            if (unique.isEmpty()) {
                Resume();
                return;
            }
            AskBus(BusCall(QStringLiteral("GetConnectionUnixProcessID"), unique),
                   [this, peer, unique](const QDBusMessage& pid) {
                       if (FirstArgument(pid).toUInt() == static_cast<uint>(peer.pid)) {
                           xfceOwner = unique;
                           SessionTrace("the session manager is xfce4-session");
                       }
                       Resume();
                   });
        });
    }

    void SaveYourself(bool shutdown, int interactStyle) {
        static const char* const kStyles[] = {"None", "Errors", "Any"};
        const char* style = interactStyle >= 0 && interactStyle <= 2 ? kStyles[interactStyle] : "?";
        SessionTrace(std::string("SaveYourself ") + (shutdown ? "shutdown" : "checkpoint") +
                     " interact=" + style);
        errorsOnly = interactStyle == SmInteractStyleErrors;
        const EndWindows windows =
            interactStyle == SmInteractStyleNone ? EndWindows::None : EndWindows::Ask;
        if (shutdown && windows == EndWindows::None) {
            SessionTrace("no windows: the session manager allows no interaction");
        }
        if (!shutdown || xfceOwner.isEmpty()) {
            events.saveYourself(shutdown, windows);
            return;
        }
        // xfce4-session calls a logout off by turning it into a checkpoint, and may still let a
        // client in, with shutdown set, after it said so: its own state tells.
        Hold();
        AskBus(QDBusMessage::createMethodCall(xfceOwner, kXfcePath, kXfceInterface,
                                              QStringLiteral("GetState")),
               [this, windows](const QDBusMessage& reply) {
                   constexpr uint kXfceShutdown = 3;
                   const QVariant state = FirstArgument(reply);
                   const bool off = state.isValid() && state.toUInt() != kXfceShutdown;
                   if (off) {
                       SessionTrace(
                           "a save with shutdown set, but xfce4-session is not "
                           "shutting down");
                   }
                   events.saveYourself(!off, windows);
                   Resume();
               });
    }

    static Impl& Of(SmPointer data) { return *static_cast<Impl*>(data); }
    static void OnSaveYourself(SmcConn, SmPointer data, int /*saveType*/, Bool shutdown,
                               int interactStyle, Bool /*fast*/) {
        Impl& self = Of(data);
        self.Post([&self, shutdown, interactStyle] {
            self.SaveYourself(shutdown != False, interactStyle);
        });
    }
    static void OnInteract(SmcConn, SmPointer data) {
        Impl& self = Of(data);
        self.Post([&self] {
            SessionTrace("Interact");
            self.events.interact(true);
        });
    }
    static void OnDie(SmcConn, SmPointer data) {
        Impl& self = Of(data);
        self.Post([&self] {
            SessionTrace("Die");
            self.events.die();
        });
    }
    static void OnSaveComplete(SmcConn, SmPointer data) {
        // The end of a save, nothing more: gnome-session and mate-session send it after every
        // save, in a shutdown too.
        Of(data).Post([] { SessionTrace("SaveComplete"); });
    }
    static void OnShutdownCancelled(SmcConn, SmPointer data) {
        Impl& self = Of(data);
        self.Post([&self] {
            SessionTrace("ShutdownCancelled");
            self.events.shutdownCancelled();
        });
    }

    void Open(const std::string& address, const std::string& previousId) {
        // gnome-session closes its end right after Die; a late write must not kill the program.
        std::signal(SIGPIPE, SIG_IGN);
        IceSetIOErrorHandler(&IgnoreIoError);
        IceSetErrorHandler(&TraceIceError);
        SmcSetErrorHandler(&TraceSmError);
        SmcCallbacks callbacks{};
        callbacks.save_yourself = {&OnSaveYourself, this};
        callbacks.die = {&OnDie, this};
        callbacks.save_complete = {&OnSaveComplete, this};
        callbacks.shutdown_cancelled = {&OnShutdownCancelled, this};
        std::array<char, 256> error{};
        char* clientId = nullptr;
        std::string networkIds = address;
        conn = SmcOpenConnection(networkIds.data(), this, SmProtoMajor, SmProtoMinor,
                                 SmcSaveYourselfProcMask | SmcDieProcMask |
                                     SmcSaveCompleteProcMask | SmcShutdownCancelledProcMask,
                                 &callbacks, previousId.empty() ? nullptr : previousId.c_str(),
                                 &clientId, static_cast<int>(error.size()), error.data());
        if (conn == nullptr) {
            error.back() = '\0';
            SessionWarning("not registered with the session manager at " + address + ": " +
                           (error[0] != '\0' ? error.data() : "no reason given") +
                           "; a logout will not wait for the drive check");
            return;
        }
        SessionTrace(std::string("registered as ") + (clientId != nullptr ? clientId : "?") +
                     (previousId.empty() ? "" : " (asked for " + previousId + ")"));
        std::free(clientId);
        SetProperties();
        notifier = std::make_unique<QSocketNotifier>(IceConnectionNumber(SmcGetIceConnection(conn)),
                                                     QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(),
                         [this] { Read(); });
        FindXfce();
    }

    void SetProperties() {
        // The autostart entry starts the program at login; a restored copy would be a second one.
        std::string program = ProgramPath();
        std::string user = std::to_string(getuid());
        std::string pid = std::to_string(getpid());
        char never = SmRestartNever;
        auto value = [](std::string& text) {
            return SmPropValue{static_cast<int>(text.size()), text.data()};
        };
        SmPropValue programValue = value(program);
        SmPropValue userValue = value(user);
        SmPropValue pidValue = value(pid);
        SmPropValue neverValue{1, &never};
        std::string names[] = {SmProgram, SmRestartCommand, SmCloneCommand,
                               SmUserID,  SmProcessID,      SmRestartStyleHint};
        std::string types[] = {SmARRAY8, SmLISTofARRAY8, SmLISTofARRAY8,
                               SmARRAY8, SmARRAY8,       SmCARD8};
        SmPropValue* values[] = {&programValue, &programValue, &programValue,
                                 &userValue,    &pidValue,     &neverValue};
        std::vector<SmProp> props(std::size(names));
        std::vector<SmProp*> list;
        for (std::size_t i = 0; i < props.size(); ++i) {
            props[i] = SmProp{names[i].data(), types[i].data(), 1, values[i]};
            list.push_back(&props[i]);
        }
        SmcSetProperties(conn, static_cast<int>(list.size()), list.data());
    }

    void Read() {
        const IceProcessMessagesStatus status =
            IceProcessMessages(SmcGetIceConnection(conn), nullptr, nullptr);
        if (status == IceProcessMessagesSuccess) {
            return;
        }
        // Inside the notifier's own signal: it goes once that has returned.
        notifier->setEnabled(false);
        notifier.release()->deleteLater();
        Close();
        Post([this] {
            SessionTrace("the connection to the session manager is lost");
            events.connectionLost();
        });
    }

    void Close() {
        notifier.reset();
        if (conn != nullptr) {
            SmcCloseConnection(conn, 0, nullptr);
            conn = nullptr;
        }
    }

    XsmpClient& owner;
    Events events;
    SmcConn conn = nullptr;
    std::unique_ptr<QSocketNotifier> notifier;
    std::deque<std::function<void()>> inbox;
    bool holding = false;
    bool errorsOnly = false;  // the interaction the last SaveYourself allowed
    QString xfceOwner;        // xfce4-session's unique name on the session bus, if it is ours
};

XsmpClient::XsmpClient(const std::string& address, const std::string& previousId, Events events)
    : impl_(std::make_unique<Impl>(*this, std::move(events))) {
    impl_->Open(address, previousId);
    if (impl_->conn != nullptr) {
        QDBusConnection::sessionBus().connect(kXfce, kXfcePath, kXfceInterface,
                                              QStringLiteral("ShutdownCancelled"), this,
                                              SLOT(XfceShutdownCancelled(QDBusMessage)));
    }
}

void XsmpClient::XfceShutdownCancelled(const QDBusMessage& message) {
    if (impl_->xfceOwner.isEmpty() || message.service() != impl_->xfceOwner) {
        return;  // only the session manager we are a client of speaks for our logout
    }
    impl_->Post([this] {
        SessionTrace("the session manager calls the shutdown off");
        impl_->events.calledOffByXfce();
    });
}

XsmpClient::~XsmpClient() {
    impl_->Close();
}

bool XsmpClient::Registered() const {
    return impl_->conn != nullptr;
}

void XsmpClient::AskWindows() {
    if (impl_->conn != nullptr) {
        SessionTrace(std::string("InteractRequest ") + (impl_->errorsOnly ? "Error" : "Normal"));
        if (SmcInteractRequest(impl_->conn, impl_->errorsOnly ? SmDialogError : SmDialogNormal,
                               &Impl::OnInteract, impl_.get()) != 0) {
            return;
        }
    }
    impl_->Post([this] {
        SessionTrace("no windows: the interaction request could not be sent");
        impl_->events.interact(false);
    });
}

void XsmpClient::GiveWindowsBack() {
    if (impl_->conn != nullptr) {
        SessionTrace("InteractDone");
        SmcInteractDone(impl_->conn, False);
    }
}

void XsmpClient::Answer(bool windowsGranted) {
    if (windowsGranted) {
        GiveWindowsBack();
    }
    if (impl_->conn != nullptr) {
        SessionTrace("SaveYourselfDone");
        SmcSaveYourselfDone(impl_->conn, True);
    }
}

void XsmpClient::Close() {
    impl_->Close();
}

}  // namespace bm::platform
