#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/sim/machine_file.h"
#include "platform/trace.h"

namespace bm::platform::sim {
namespace {

[[noreturn]] void FailErrno(const std::string& what) {
    throw MachineFault(what + ": " + std::strerror(errno));
}

FileStamp StampOf(const struct stat& st) {
    FileStamp s;
    s.dev = st.st_dev;
    s.ino = st.st_ino;
    s.size = st.st_size;
    s.mtime = st.st_mtim;
    s.ctime = st.st_ctim;
    return s;
}

bool SameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Closes the descriptor on every path out.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

void WriteAll(int fd, const QByteArray& bytes) {
    const char* p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, static_cast<size_t>(left));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            FailErrno("cannot be written");
        }
        p += n;
        left -= n;
    }
}

}  // namespace

bool FileStamp::operator==(const FileStamp& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && SameTime(mtime, o.mtime) &&
           SameTime(ctime, o.ctime);
}

bool StatFile(const std::string& path, FileStamp& stamp, std::string& fault) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        fault = std::string("cannot be read: ") + std::strerror(errno);
        return false;
    }
    stamp = StampOf(st);
    return true;
}

QByteArray ReadWholeFile(const std::string& path, FileStamp& stamp) {
    Fd in;
    in.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (in.fd < 0) {
        FailErrno("cannot be read");
    }
    struct stat st {};
    if (::fstat(in.fd, &st) != 0) {
        FailErrno("cannot be read");
    }
    if (!S_ISREG(st.st_mode)) {
        throw MachineFault("is not a regular file");
    }
    stamp = StampOf(st);
    QByteArray bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(in.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            FailErrno("cannot be read");
        }
        if (n == 0) {
            break;
        }
        // Checked while reading: the file may grow after the fstat.
        if (bytes.size() + n > kMaxFileBytes) {
            throw MachineFault("is larger than " + std::to_string(kMaxFileBytes >> 20) + " MiB");
        }
        bytes.append(buffer, n);
    }
    return bytes;
}

void WriteFileAtomically(const std::string& path, const QByteArray& bytes, FileStamp& stamp) {
    // Write through a symlink to its target rather than replacing the link by a plain file.
    char resolved[PATH_MAX];
    const std::string target = ::realpath(path.c_str(), resolved) ? resolved : path;
    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string temp = dir + (slash == std::string::npos ? "/." : ".") + base + ".XXXXXX";

    struct stat old {};
    const bool haveOld = ::stat(target.c_str(), &old) == 0;
    Fd out;
    out.fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (out.fd < 0) {
        FailErrno("cannot be written");
    }
    try {
        if (haveOld && ::fchmod(out.fd, old.st_mode & 07777) != 0) {
            FailErrno("cannot be written");
        }
        WriteAll(out.fd, bytes);
        if (::fsync(out.fd) != 0) {
            FailErrno("cannot be written");
        }
        if (::rename(temp.c_str(), target.c_str()) != 0) {
            FailErrno("cannot be written");
        }
    } catch (...) {
        ::unlink(temp.c_str());
        throw;
    }
    // The rename is durable only once the folder is synced; a failure here loses nothing.
    Fd folder;
    folder.fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder.fd >= 0) {
        ::fsync(folder.fd);
    }
    // After the rename: it may change the inode's ctime.
    struct stat st {};
    if (::fstat(out.fd, &st) != 0) {
        FailErrno("cannot be read");
    }
    stamp = StampOf(st);
}

bool StampIsRecent(const FileStamp& stamp) {
    // File times come from a coarse clock (a few ms, a second or more on some network file
    // systems); a stamp within this window of now could be shared by a later write.
    constexpr time_t kWindowSeconds = 2;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return stamp.ctime.tv_sec >= now.tv_sec - kWindowSeconds ||
           stamp.mtime.tv_sec >= now.tv_sec - kWindowSeconds;
}

std::string OneLine(const std::string& text) {
    return EscapeControls(text);
}

}  // namespace bm::platform::sim
