#pragma once
// The XDG desktop portal's session monitor, for a session without an X session manager (a
// Wayland desktop that sets no SESSION_MANAGER): the end of the session is announced as the
// monitor's "query end" state; an inhibitor with the logout flag holds it while the check runs.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QObject>
#include <QVariantMap>
#include <functional>

namespace bm::platform {

class PortalSessionMonitor : public QObject {
    Q_OBJECT

  public:
    struct Handlers {
        // Runs the end-of-session check and returns when it is done.
        std::function<void()> ending;
        // The session goes on: during a check (which may then end early), and once it is done.
        std::function<void()> cancelled;
        // The session ends now.
        std::function<void()> ended;
    };

    PortalSessionMonitor(QDBusConnection bus, Handlers handlers);
    // Whether the portal gave a monitor session.
    bool Monitoring() const { return !session_.path().isEmpty(); }

  private Q_SLOTS:
    void CreateResponse(uint response, const QVariantMap& results);
    void StateChanged(const QDBusMessage& message);

  private:
    void QueryEnd();
    void Respond();
    // The check, once the inhibitor (path, or empty: none) is granted or refused.
    void Check(const QString& inhibitor);
    QDBusObjectPath RequestPath(const QString& token) const;

    QDBusConnection bus_;
    Handlers handlers_;
    QDBusObjectPath session_;
    bool asking_ = false;  // for the inhibitor
    bool checking_ = false;
    // A check ran for this end: the state going back to running calls it off.
    bool checked_ = false;
    bool calledOff_ = false;  // while checking
    bool ended_ = false;      // while checking
};

}  // namespace bm::platform
