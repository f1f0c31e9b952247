#include "platform/linux/volume.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace bm::platform::linux_ {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    const int lower = std::tolower(static_cast<unsigned char>(c));
    return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

unsigned Le16(const unsigned char* p) {
    return p[0] | (p[1] << 8);
}
std::uint32_t Le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

bool SaneBpb(const unsigned char* s) {
    const unsigned bytesPerSector = Le16(s + 11);
    const unsigned sectorsPerCluster = s[13];
    const unsigned media = s[21];
    return (bytesPerSector == 512 || bytesPerSector == 1024 || bytesPerSector == 2048 ||
            bytesPerSector == 4096) &&
           sectorsPerCluster != 0 && (sectorsPerCluster & (sectorsPerCluster - 1)) == 0 &&
           Le16(s + 14) >= 1 && (s[16] == 1 || s[16] == 2) && (media == 0xF0 || media >= 0xF8);
}

std::string FatLabel(const unsigned char* p) {
    std::string label(reinterpret_cast<const char*>(p), 11);
    while (!label.empty() && (label.back() == ' ' || label.back() == '\0')) {
        label.pop_back();
    }
    for (unsigned char c : label) {
        if (c < 0x20 || c == 0x7f) {
            return {};  // not a label a formatter wrote
        }
    }
    return label == "NO NAME" ? std::string() : label;
}

std::string Trim(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) {
        text.pop_back();
    }
    return text;
}

// Joliet writes UCS-2, big-endian.
std::string Ucs2ToUtf8(const unsigned char* p, std::size_t bytes) {
    std::string out;
    for (std::size_t i = 0; i + 1 < bytes; i += 2) {
        unsigned c = static_cast<unsigned>(p[i]) << 8 | p[i + 1];
        if (c >= 0xD800 && c <= 0xDFFF) {
            c = '?';
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | c >> 12);
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return Trim(out);
}

// blkid's UUID of an ISO 9660 volume: a date of the descriptor as YYYY-MM-DD-HH-MM-SS-cc; ""
// when the date is unset.
std::string IsoDateUuid(const unsigned char* d) {
    bool set = false;
    for (int i = 0; i < 16; ++i) {
        if (d[i] < '0' || d[i] > '9') {
            return {};
        }
        set = set || d[i] != '0';
    }
    if (!set) {
        return {};
    }
    const std::string s(reinterpret_cast<const char*>(d), 16);
    return s.substr(0, 4) + "-" + s.substr(4, 2) + "-" + s.substr(6, 2) + "-" + s.substr(8, 2) +
           "-" + s.substr(10, 2) + "-" + s.substr(12, 2) + "-" + s.substr(14, 2);
}

bool SameLetters(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::toupper(x) == std::toupper(y);
           });
}

}  // namespace

std::optional<VolumeInfo> ParseIso9660(const unsigned char* data, std::size_t size) {
    constexpr std::size_t kSector = 2048;
    const unsigned char* primary = nullptr;
    std::string joliet;
    for (std::size_t at = 0; data != nullptr && at + kSector <= size; at += kSector) {
        const unsigned char* d = data + at;
        if (std::memcmp(d + 1, "CD001", 5) != 0 || d[0] == 255) {
            break;  // the set terminator, or no descriptor at all
        }
        if (d[0] == 1 && primary == nullptr) {
            primary = d;
        } else if (d[0] == 2 && d[88] == '%' && d[89] == '/' &&
                   (d[90] == '@' || d[90] == 'C' || d[90] == 'E')) {
            joliet = Ucs2ToUtf8(d + 40, 32);
        }
    }
    if (primary == nullptr) {
        return std::nullopt;
    }
    VolumeInfo info;
    const std::string label = Trim(std::string(reinterpret_cast<const char*>(primary + 40), 32));
    info.label = label;
    if (!joliet.empty()) {
        // Joliet holds 16 characters, the primary descriptor 32 in capitals: the longer part of
        // a long label comes from the primary one.
        info.label = joliet;
        if (label.size() > joliet.size() && SameLetters(label.substr(0, joliet.size()), joliet)) {
            info.label += label.substr(joliet.size());
        }
    }
    std::string uuid = IsoDateUuid(primary + 830);  // modified, else created
    if (uuid.empty()) {
        uuid = IsoDateUuid(primary + 813);
    }
    info.serial = uuid.empty() ? 0 : Fnv1a(uuid);
    return info;
}

std::string DecodeUdevText(const std::string& encoded) {
    std::string out;
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] == '\\' && i + 3 < encoded.size() && encoded[i + 1] == 'x') {
            const int hi = HexValue(encoded[i + 2]), lo = HexValue(encoded[i + 3]);
            if (hi >= 0 && lo >= 0) {
                if (hi != 0 || lo != 0) {
                    out += static_cast<char>(hi * 16 + lo);
                }
                i += 3;
                continue;
            }
        }
        out += encoded[i];
    }
    return out;
}

std::uint32_t Fnv1a(const std::string& text) {
    std::uint32_t h = 2166136261u;
    for (unsigned char c : text) {
        h ^= c;
        h *= 16777619u;
    }
    return h;
}

std::uint32_t SerialFromUuid(const std::string& uuid) {
    if (uuid.empty()) {
        return 0;
    }
    if (uuid.size() == 9 && uuid[4] == '-') {
        std::uint32_t value = 0;
        bool hex = true;
        for (std::size_t i = 0; i < 9 && hex; ++i) {
            if (i == 4) {
                continue;
            }
            const int v = HexValue(uuid[i]);
            hex = v >= 0;
            value = value << 4 | static_cast<std::uint32_t>(hex ? v : 0);
        }
        if (hex) {
            return value;
        }
    }
    return Fnv1a(uuid);
}

std::optional<VolumeInfo> ParseFatBootSector(const unsigned char* s, std::size_t size) {
    if (s == nullptr || size < 512) {
        return std::nullopt;
    }
    if (!(s[510] == 0x55 && s[511] == 0xAA) && !SaneBpb(s)) {
        return std::nullopt;
    }
    // FAT32 has no 16-bit FAT size and keeps its extended fields further on.
    const bool fat32 = Le16(s + 0x16) == 0 && Le32(s + 0x24) != 0;
    const std::size_t ext = fat32 ? 0x42 : 0x26;
    VolumeInfo info;
    // Without the extended signature these bytes belong to something else.
    if (s[ext] == 0x28 || s[ext] == 0x29) {
        info.serial = Le32(s + ext + 1);
    }
    if (s[ext] == 0x29) {
        info.label = FatLabel(s + ext + 5);
    }
    return info;
}

}  // namespace bm::platform::linux_
