#pragma once
// The udisks2 daemon, which mounts what a desktop user puts in: the few calls the backend needs
// from it, behind an interface so tests can play it. Nothing of D-Bus or Qt shows here.
#include <memory>
#include <string>

namespace bm::platform::linux_ {

enum class UdisksStatus {
    kOk,
    kAbsent,         // no daemon on the system bus (a bare system, a container)
    kBusy,           // files on the file system are in use (DeviceBusy)
    kNotAuthorized,  // polkit said no (NotAuthorized, ...CanObtain, ...Dismissed)
    kNotMounted,     // nothing to unmount (any more)
    kFailed,         // anything else
};

struct UdisksResult {
    UdisksStatus status = UdisksStatus::kOk;
    std::string error;  // the D-Bus error name and message, for the trace; "" when it worked
};

class Udisks {
  public:
    virtual ~Udisks() = default;
    // Whether the daemon is there to be asked (running, or started on the first call).
    virtual bool Available() = 0;
    // Filesystem.Unmount of the block device with that kernel name ("sr0", "sdb1").
    virtual UdisksResult Unmount(const std::string& name) = 0;
    // Drive.Eject of the drive behind the whole disk with that kernel name ("sr0").
    virtual UdisksResult Eject(const std::string& name) = 0;
};

// How long a call may go unanswered before the daemon counts as not answering: then the call
// fails (kFailed, org.freedesktop.DBus.Error.NoReply), as any other failed unmount does.
struct UdisksDeadlines {
    // The bus daemon's own answers (whether udisks2 runs or can be started): given at once.
    int busMs = 2000;
    // An unmount, the drive lookup, an eject. Unmounting a slow disc and waiting for the tray
    // take a few seconds, and the first call may start the daemon first; a daemon that needs
    // longer is hung, and a check at the end of the session cannot wait for it for long.
    int callMs = 10000;
};

// The daemon on the system bus, through Qt D-Bus. A call waits for its answer with events
// running (user input waits), so windows paint and timers tick meanwhile: a caller may be
// re-entered there. No password is ever asked for (auth.no_user_interaction), so a refusal
// comes back at once instead of a dialog.
std::unique_ptr<Udisks> MakeSystemUdisks(UdisksDeadlines deadlines = {});
// The same on the bus at that address.
std::unique_ptr<Udisks> MakeBusUdisks(const std::string& address, UdisksDeadlines deadlines);
// A system without the daemon.
std::unique_ptr<Udisks> MakeNoUdisks();

// The object path of a block device: udisks2 writes every character but [A-Za-z0-9] as _XX.
std::string UdisksBlockPath(const std::string& name);
// What a D-Bus error name means for the backend.
UdisksStatus UdisksStatusOf(const std::string& errorName);

}  // namespace bm::platform::linux_
