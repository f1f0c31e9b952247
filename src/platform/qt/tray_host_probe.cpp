#include "platform/qt/tray_host_probe.h"

#include <xcb/xcb.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QStyleHints>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace bm::platform {

namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");
constexpr int kPollMs = 400;

class DesktopTrayHostProbe : public TrayHostProbe {
  public:
    DesktopTrayHostProbe()
        : bus_(QDBusConnection::sessionBus()),
          watcher_(kWatcherService, bus_,
                   QDBusServiceWatcher::WatchForRegistration |
                       QDBusServiceWatcher::WatchForUnregistration) {
        poll_.setInterval(kPollMs);
        QObject::connect(&poll_, &QTimer::timeout, &poll_, [this] { Report(); });
        if (!bus_.isConnected()) {
            return;
        }
        QObject::connect(&watcher_, &QDBusServiceWatcher::serviceRegistered, &poll_,
                         [this](const QString&) {
                             AskWatcher();
                             if (restarted_) {
                                 restarted_();
                             }
                         });
        QObject::connect(&watcher_, &QDBusServiceWatcher::serviceUnregistered, &poll_,
                         [this](const QString&) {
                             sniHost_ = false;
                             ++asked_;  // answers still on their way are stale now
                         });
        // A host that registers with a running watcher only says so by this signal.
        ask_.setSingleShot(true);
        ask_.setInterval(0);
        QObject::connect(&ask_, &QTimer::timeout, &ask_, [this] { AskWatcher(); });
        bus_.connect(kWatcherService, kWatcherPath, kWatcherService,
                     QStringLiteral("StatusNotifierHostRegistered"), &ask_, SLOT(start()));
        AskWatcher();
    }

    bool Present() override { return sniHost_ || XEmbedTrayOwned(); }
    bool GnomeShellHost() override { return sniHost_ && gnomeShell_; }

    void Watch(std::function<void()> changed, std::function<void()> restarted) override {
        changed_ = std::move(changed);
        restarted_ = std::move(restarted);
    }

    void SetWaiting(bool waiting) override {
        waiting_ = waiting;
        // The XEmbed selection has no signal of its own here: poll it while waiting.
        if (waiting && QGuiApplication::platformName() == QStringLiteral("xcb")) {
            poll_.start();
        } else {
            poll_.stop();
        }
    }

  private:
    void Report() {
        if (waiting_ && changed_) {
            changed_();
        }
    }

    // Asynchronous, so a watcher that hangs never holds up the event loop.
    void AskWatcher() {
        QDBusMessage get = QDBusMessage::createMethodCall(
            kWatcherService, kWatcherPath, QStringLiteral("org.freedesktop.DBus.Properties"),
            QStringLiteral("Get"));
        get << kWatcherService << QStringLiteral("IsStatusNotifierHostRegistered");
        const int ask = ++asked_;
        auto* call = new QDBusPendingCallWatcher(bus_.asyncCall(get, 2000), &poll_);
        QObject::connect(call, &QDBusPendingCallWatcher::finished, &poll_,
                         [this, ask](QDBusPendingCallWatcher* done) {
                             done->deleteLater();
                             const QDBusPendingReply<QDBusVariant> reply = *done;
                             if (ask != asked_) {
                                 return;
                             }
                             if (!reply.isError() && reply.value().variant().toBool()) {
                                 AskOwner(ask);
                             } else {
                                 sniHost_ = false;
                             }
                         });
    }

    // Which program holds the watcher, before the host counts as there: the icon's menu and
    // clicks depend on it.
    void AskOwner(int ask) {
        QDBusMessage get = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetConnectionUnixProcessID"));
        get << kWatcherService;
        auto* call = new QDBusPendingCallWatcher(bus_.asyncCall(get, 2000), &poll_);
        QObject::connect(call, &QDBusPendingCallWatcher::finished, &poll_,
                         [this, ask](QDBusPendingCallWatcher* done) {
                             done->deleteLater();
                             const QDBusPendingReply<std::uint32_t> reply = *done;
                             if (ask != asked_) {
                                 return;
                             }
                             gnomeShell_ = !reply.isError() && ProcessName(reply.value()) ==
                                                                   QByteArrayLiteral("gnome-shell");
                             sniHost_ = true;
                             Report();
                         });
    }

    static QByteArray ProcessName(std::uint32_t pid) {
        QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
        return comm.open(QIODevice::ReadOnly) ? comm.readAll().trimmed() : QByteArray();
    }

    static bool XEmbedTrayOwned() {
        auto* x11 = qGuiApp == nullptr
                        ? nullptr
                        : qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
        xcb_connection_t* connection = x11 == nullptr ? nullptr : x11->connection();
        if (connection == nullptr) {
            return false;
        }
        const std::string name = "_NET_SYSTEM_TRAY_S" + std::to_string(ScreenNumber());
        xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
            connection,
            xcb_intern_atom(connection, 1, static_cast<std::uint16_t>(name.size()), name.c_str()),
            nullptr);
        if (atom == nullptr) {
            return false;
        }
        const xcb_atom_t selection = atom->atom;
        std::free(atom);
        if (selection == XCB_ATOM_NONE) {
            return false;  // nobody ever named that selection: no tray
        }
        xcb_get_selection_owner_reply_t* owner = xcb_get_selection_owner_reply(
            connection, xcb_get_selection_owner(connection, selection), nullptr);
        const bool owned = owner != nullptr && owner->owner != XCB_WINDOW_NONE;
        std::free(owner);
        return owned;
    }

    // The screen of the display Qt opened, as in ":0.1"; Qt's tray code asks for the same one.
    static int ScreenNumber() {
        const QByteArray display = qgetenv("DISPLAY");
        const qsizetype colon = display.lastIndexOf(':');
        const qsizetype dot = display.indexOf('.', colon < 0 ? 0 : colon);
        if (dot < 0) {
            return 0;
        }
        bool ok = false;
        const int screen = display.mid(dot + 1).toInt(&ok);
        return ok ? screen : 0;
    }

    QDBusConnection bus_;
    QDBusServiceWatcher watcher_;
    QTimer poll_;
    QTimer ask_;
    std::function<void()> changed_;
    std::function<void()> restarted_;
    bool sniHost_ = false;
    bool gnomeShell_ = false;
    bool waiting_ = false;
    int asked_ = 0;
};

}  // namespace

std::unique_ptr<TrayHostProbe> MakeDesktopTrayHostProbe() {
    return std::make_unique<DesktopTrayHostProbe>();
}

}  // namespace bm::platform
