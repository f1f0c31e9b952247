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
    struct Events {
        // "query end", answered (the logout inhibited where the portal granted it).
        std::function<void()> queryEnd;
        // Back to "running": the end is called off.
        std::function<void()> running;
        // "ending": the session ends now.
        std::function<void()> ending;
    };

    PortalSessionMonitor(QDBusConnection bus, Events events);
    // Whether the portal gave a monitor session.
    bool Monitoring() const { return !session_.path().isEmpty(); }
    // The check of this end is done: the inhibitor, if one is held, is given back.
    void Release();

  private Q_SLOTS:
    void CreateResponse(uint response, const QVariantMap& results);
    void InhibitResponse(uint response, const QVariantMap& results);
    void StateChanged(const QDBusMessage& message);

  private:
    void QueryEnd();
    // The inhibitor granted (its request's path) or not (empty): answer the query.
    void Held(QString inhibitor);
    QDBusObjectPath RequestPath(const QString& token) const;

    QDBusConnection bus_;
    Events events_;
    QDBusObjectPath session_;
    QString asking_;  // the inhibitor request waiting for its Response
    QString held_;    // the inhibitor held
    int tokens_ = 0;
};

}  // namespace bm::platform
