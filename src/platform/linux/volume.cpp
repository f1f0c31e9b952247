#include "platform/linux/volume.h"

#include <cctype>

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

}  // namespace

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
