#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <sstream>

#include "platform/linux/block_source.h"

namespace bm::platform::linux_ {

std::optional<std::string> ReadSmallFile(const std::string& path, std::size_t limit) {
    // O_NONBLOCK and the regular-file check keep a FIFO or device planted in a tree from hanging
    // us.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat st {};
    std::optional<std::string> out;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        std::string text;
        char buffer[4096];
        bool ok = true;
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n == 0) {
                break;
            }
            if (n < 0 || text.size() + static_cast<std::size_t>(n) > limit) {
                ok = false;
                break;
            }
            text.append(buffer, static_cast<std::size_t>(n));
        }
        if (ok) {
            out = std::move(text);
        }
    }
    ::close(fd);
    return out;
}

std::optional<std::uint64_t> ParseUnsigned(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
        ++i;
    }
    std::uint64_t value = 0;
    std::size_t digits = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i, ++digits) {
        const unsigned d = static_cast<unsigned>(text[i] - '0');
        if (value > (UINT64_MAX - d) / 10) {
            return std::nullopt;
        }
        value = value * 10 + d;
    }
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
        ++i;
    }
    if (digits == 0 || i != text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<DevNum> ParseDevNum(const std::string& text) {
    const auto colon = text.find(':');
    if (colon == std::string::npos) {
        return std::nullopt;
    }
    const auto major = ParseUnsigned(text.substr(0, colon));
    const auto minor = ParseUnsigned(text.substr(colon + 1));
    if (!major || !minor || *major > 0xfffffff || *minor > 0xfffffff) {
        return std::nullopt;
    }
    return DevNum{static_cast<unsigned>(*major), static_cast<unsigned>(*minor)};
}

namespace {

// The mount table writes space, tab, newline and backslash as \NNN in octal.
std::string DecodeOctal(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size()) {
            const char a = s[i + 1], b = s[i + 2], c = s[i + 3];
            if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
                out += static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0'));
                i += 3;
                continue;
            }
        }
        out += s[i];
    }
    return out;
}

}  // namespace

std::vector<MountEntry> ParseMountInfo(const std::string& text) {
    std::vector<MountEntry> out;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string id, parent, dev, root, mountPoint;
        if (!(fields >> id >> parent >> dev >> root >> mountPoint)) {
            continue;
        }
        const auto num = ParseDevNum(dev);
        if (!num) {
            continue;
        }
        MountEntry e;
        e.dev = *num;
        e.root = DecodeOctal(root);
        e.mountPoint = DecodeOctal(mountPoint);
        e.path = e.mountPoint;
        out.push_back(std::move(e));
    }
    return out;
}

}  // namespace bm::platform::linux_
