#pragma once
// What is left in the drives, said in the desktop's end-of-session dialog.
#include <QDBusConnection>
#include <QString>
#include <QTimer>
#include <string>
#include <vector>

namespace bm::platform {

// An inhibitor of the program's own with the session manager's org.gnome.SessionManager
// (gnome-session; mate-session serves it too), with the logout flag and the media as its reason.
// GNOME Shell's and MATE's logout dialogs list such inhibitors by the app id's desktop entry
// (name, icon) and the reason. Where no session manager serves that interface the call fails and
// nothing else happens. Asynchronous: a session manager that hangs never holds the program up.
// gnome-session hands the shell's dialog the inhibitors it has when the query ends, and drops
// the changes that come while the shell opens it; the program's own interaction ends the query,
// and its inhibitor comes a moment later. So the inhibitor is taken again a second after the
// first is granted: that change reaches the open dialog.
class MediaInhibitor {
  public:
    static constexpr const char* kAppId = "org.bayminder.Bayminder";

    explicit MediaInhibitor(QDBusConnection bus = QDBusConnection::sessionBus());
    ~MediaInhibitor();
    MediaInhibitor(const MediaInhibitor&) = delete;
    MediaInhibitor& operator=(const MediaInhibitor&) = delete;

    // media: "HOLIDAY (D:)" each; empty gives the inhibitor back. A new list replaces the last.
    void Name(const std::vector<std::string>& media);
    // The reason given for a list.
    static QString Reason(const std::vector<std::string>& media);

  private:
    void Inhibit(bool again);
    void Release();
    void Uninhibit(std::uint32_t cookie);

    QDBusConnection bus_;
    QObject context_;
    QTimer again_;
    QString reason_;
    std::uint32_t cookie_ = 0;  // 0: none held
    int asked_ = 0;             // answers to an earlier Inhibit are given back at once
};

}  // namespace bm::platform
