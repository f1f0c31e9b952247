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

// ISO 9660 keeps its volume descriptors from sector 16 on, 2048 bytes each.
inline constexpr std::int64_t kIsoDescriptorsOffset = std::int64_t{16} * 2048;
// Label and serial of an ISO 9660 file system from its volume descriptors (data starts at
// sector 16), as blkid reads them: the Joliet label where there is one, the primary one's
// otherwise; the serial from the UUID that blkid makes of the volume's dates. nullopt when the
// data holds no primary volume descriptor.
std::optional<VolumeInfo> ParseIso9660(const unsigned char* data, std::size_t size);

}  // namespace bm::platform::linux_
