// The libSM side of the session client: registration, properties, the socket, the callbacks.
// Qt's headers come first: the X11 ones define Bool and Status as macros.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QSocketNotifier>
#include <array>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/qt/session_trace.h"
#include "platform/qt/session_xsmp.h"

#include <X11/ICE/ICElib.h>
#include <X11/SM/SMlib.h>
#include <unistd.h>

namespace bm::platform {
namespace {

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

}  // namespace

struct XsmpClient::Impl : XsmpReplies {
    Impl(XsmpClient& client, XsmpSession::Handlers handlers)
        : owner(client), session(*this, std::move(handlers)) {}

    bool InteractRequest(bool errorsOnly) override {
        if (conn == nullptr) {
            return false;
        }
        SessionTrace(std::string("InteractRequest ") + (errorsOnly ? "Error" : "Normal"));
        return SmcInteractRequest(conn, errorsOnly ? SmDialogError : SmDialogNormal, &OnInteract,
                                  this) != 0;
    }
    void InteractDone() override {
        if (conn != nullptr) {
            SessionTrace("InteractDone");
            SmcInteractDone(conn, False);
        }
    }
    void SaveYourselfDone(bool success) override {
        if (conn != nullptr) {
            SessionTrace("SaveYourselfDone");
            SmcSaveYourselfDone(conn, success ? True : False);
        }
    }

    // The callbacks run inside IceProcessMessages; the check runs a nested event loop, so the
    // messages are handled once libICE has returned, in their order.
    void Post(std::function<void()> message) {
        QMetaObject::invokeMethod(&owner, std::move(message), Qt::QueuedConnection);
    }
    static Impl& Of(SmPointer data) { return *static_cast<Impl*>(data); }
    // xfce4-session calls a logout off by turning it into a checkpoint, and may still let a
    // client in, with shutdown set, after it said so: its own state tells.
    static bool XfceCalledOff() {
        constexpr int kXfceShutdown = 3;
        const QDBusMessage reply = QDBusConnection::sessionBus().call(
            QDBusMessage::createMethodCall(QStringLiteral("org.xfce.SessionManager"),
                                           QStringLiteral("/org/xfce/SessionManager"),
                                           QStringLiteral("org.xfce.Session.Manager"),
                                           QStringLiteral("GetState")),
            QDBus::Block, 1000);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            return false;  // not xfce4-session
        }
        const bool off = reply.arguments().constFirst().toUInt() != kXfceShutdown;
        if (off) {
            SessionTrace("a save with shutdown set, but xfce4-session is not shutting down");
        }
        return off;
    }
    static void OnSaveYourself(SmcConn, SmPointer data, int /*saveType*/, Bool shutdown,
                               int interactStyle, Bool /*fast*/) {
        Impl& self = Of(data);
        self.Post([&self, shutdown, interactStyle] {
            self.session.SaveYourself(shutdown != False && !XfceCalledOff(), interactStyle);
        });
    }
    static void OnInteract(SmcConn, SmPointer data) {
        Impl& self = Of(data);
        self.Post([&self] { self.session.Interact(); });
    }
    static void OnDie(SmcConn, SmPointer data) {
        Impl& self = Of(data);
        self.Post([&self] { self.session.Die(); });
    }
    static void OnSaveComplete(SmcConn, SmPointer data) {
        Impl& self = Of(data);
        self.Post([&self] { self.session.SaveComplete(); });
    }
    static void OnShutdownCancelled(SmcConn, SmPointer data) {
        Impl& self = Of(data);
        self.Post([&self] { self.session.ShutdownCancelled(); });
    }

    void Open(const std::string& address, const std::string& previousId) {
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
        SessionTrace(std::string("registered as ") + (clientId != nullptr ? clientId : "?"));
        std::free(clientId);
        SetProperties();
        notifier = std::make_unique<QSocketNotifier>(IceConnectionNumber(SmcGetIceConnection(conn)),
                                                     QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(),
                         [this] { Read(); });
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
        notifier.reset();
        SmcCloseConnection(conn, 0, nullptr);
        conn = nullptr;
        session.ConnectionLost();
    }

    ~Impl() override {
        notifier.reset();
        if (conn != nullptr) {
            SmcCloseConnection(conn, 0, nullptr);
        }
    }

    XsmpClient& owner;
    XsmpSession session;
    SmcConn conn = nullptr;
    std::unique_ptr<QSocketNotifier> notifier;
};

XsmpClient::XsmpClient(const std::string& address, const std::string& previousId,
                       XsmpSession::Handlers handlers)
    : impl_(std::make_unique<Impl>(*this, std::move(handlers))) {
    impl_->Open(address, previousId);
    if (impl_->conn != nullptr) {
        QDBusConnection::sessionBus().connect(
            QStringLiteral("org.xfce.SessionManager"), QStringLiteral("/org/xfce/SessionManager"),
            QStringLiteral("org.xfce.Session.Manager"), QStringLiteral("ShutdownCancelled"), this,
            SLOT(XfceShutdownCancelled()));
    }
}

void XsmpClient::XfceShutdownCancelled() {
    impl_->session.CalledOff();
}

XsmpClient::~XsmpClient() = default;

bool XsmpClient::Registered() const {
    return impl_->conn != nullptr;
}

}  // namespace bm::platform
