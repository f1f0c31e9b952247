#pragma once
// Volume labels and serial numbers from what udev and the boot sector tell.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace bm::platform::linux_ {

struct VolumeInfo {
    std::string label;
    std::uint32_t serial = 0;
};

// Undoes udev's \xNN escapes (ID_FS_LABEL_ENC).
std::string DecodeUdevText(const std::string& encoded);
// "1234-ABCD" (FAT, exFAT) reads as 0x1234ABCD; any other UUID as its FNV-1a hash; "" as 0.
std::uint32_t SerialFromUuid(const std::string& uuid);
std::uint32_t Fnv1a(const std::string& text);
// Label and serial of a FAT boot sector; nullopt when the sector does not look like FAT.
std::optional<VolumeInfo> ParseFatBootSector(const unsigned char* sector, std::size_t size);

}  // namespace bm::platform::linux_
