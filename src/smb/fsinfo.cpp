// File-system classes of QUERY_INFO (MS-FSCC 2.5): a read-only NTFS-like
// volume per share, labelled with the share's name, whose size is that of
// the host file system holding the open's object.
#include <array>
#include <cstring>

#include "smb/files.h"

namespace {

constexpr uint8_t kFsVolume = 1;
constexpr uint8_t kFsSize = 3;
constexpr uint8_t kFsDevice = 4;
constexpr uint8_t kFsAttribute = 5;
constexpr uint8_t kFsControl = 6;
constexpr uint8_t kFsFullSize = 7;
constexpr uint8_t kFsObjectId = 8;
constexpr uint8_t kFsSectorSize = 11;

constexpr uint64_t kVolumeCreationTime = 0x019DB1DED53E8000ULL;  // 1970-01-01
constexpr uint32_t kBytesPerSector = 512;
// A unit that is not a whole number of sectors is presented as this one.
constexpr uint32_t kFallbackUnit = 4096;
constexpr uint32_t kDeviceDisk = 7;              // FILE_DEVICE_DISK
constexpr uint32_t kReadOnlyDevice = 2;          // FILE_READ_ONLY_DEVICE
// FileFsAttributeInformation flags (MS-FSCC 2.5.1).
constexpr uint32_t kFsCaseSensitiveSearch = 0x00000001;
// Case preserved, Unicode. No named streams: a file's one data stream is
// all there is, and a name with ':' is refused as a share without streams
// refuses it.
constexpr uint32_t kFsAttributes = 0x00000006;
constexpr uint32_t kMaxComponent = 255;
constexpr std::array<uint8_t, 8> kNtfs16 = {'N', 0, 'T', 0, 'F', 0, 'S', 0};
// Logical sectors aligned with physical ones, partition aligned on the device.
constexpr uint32_t kSectorFlags = 0x00000003;
constexpr uint32_t kObjectIdExtendedBytes = 48;

void put_volume(const tw3_open& o, tw3_buf* b) {
  std::array<uint8_t, 2 * TW3_SHARE_NAME_MAX> label{};
  const uint32_t n = qi_utf16(o.share_name, label);
  w64(b, kVolumeCreationTime);
  w32(b, qi_volume_serial(o));
  w32(b, n);
  tw3_buf_byte(b, 0);  // SupportsObjects
  tw3_buf_byte(b, 0);
  tw3_buf_put(b, label.data(), n);
}

// The host figures in whole allocation units of sectors.
struct volume_units {
  uint64_t total = 0;
  uint64_t avail = 0;  // to the calling user
  uint64_t free = 0;
  uint32_t sectors_per_unit = 1;
};

// An object deleted since its open falls back to the share root; a volume
// that cannot be measured at all shows as empty.
volume_units measure(const tw3_open& o) {
  tw3_space sp{};
  if (tw3_fs_space(o.local_path, &sp) != 0 && tw3_fs_space(o.share.root_path, &sp) != 0) return {};
  const uint32_t unit = sp.unit >= kBytesPerSector && sp.unit % kBytesPerSector == 0 ? sp.unit : kFallbackUnit;
  return {sp.total / unit, sp.avail / unit, sp.free / unit, unit / kBytesPerSector};
}

void put_size(const tw3_open& o, tw3_buf* b) {
  const volume_units u = measure(o);
  w64(b, u.total);
  w64(b, u.avail);
  w32(b, u.sectors_per_unit);
  w32(b, kBytesPerSector);
}

void put_full_size(const tw3_open& o, tw3_buf* b) {
  const volume_units u = measure(o);
  w64(b, u.total);
  w64(b, u.avail);
  w64(b, u.free);
  w32(b, u.sectors_per_unit);
  w32(b, kBytesPerSector);
}

void put_device(const tw3_open&, tw3_buf* b) {
  w32(b, kDeviceDisk);
  w32(b, kReadOnlyDevice);
}

// Case-sensitive search is claimed only when names are looked up as spelled.
void put_attribute(const tw3_open&, tw3_buf* b) {
  tw3_opts opts{};
  tw3_opts_get(&opts);
  w32(b, kFsAttributes | (opts.case_sensitive != 0 ? kFsCaseSensitiveSearch : 0));
  w32(b, kMaxComponent);
  w32(b, uint32_t(kNtfs16.size()));
  tw3_buf_put(b, kNtfs16.data(), kNtfs16.size());
}

// FileFsControlInformation (MS-FSCC 2.5.2): no quotas and no content
// indexing, so every threshold, limit and flag is 0.
void put_control(const tw3_open&, tw3_buf* b) {
  for (int i = 0; i < 5; ++i) w64(b, 0);  // the filtering thresholds and the default quota
  w32(b, 0);                              // FileSystemControlFlags
  w32(b, 0);                              // Padding
}

// A GUID of the share, stable for as long as the share keeps its folder.
void put_object_id(const tw3_open& o, tw3_buf* b) {
  const char* root = o.share.root_path;
  const uint64_t lo = tw3_fnv1a64(root, std::strlen(root), TW3_FNV_BASIS);
  w64(b, lo);
  w64(b, tw3_fnv1a64(root, std::strlen(root), lo));
  for (uint32_t i = 0; i < kObjectIdExtendedBytes; ++i) tw3_buf_byte(b, 0);
}

void put_sector_size(const tw3_open&, tw3_buf* b) {
  for (int i = 0; i < 4; ++i) w32(b, kBytesPerSector);  // logical, physical (atomic, fast), effective
  w32(b, kSectorFlags);
  w32(b, 0);  // ByteOffsetForSectorAlignment
  w32(b, 0);  // ByteOffsetForPartitionAlignment
}

// Minimums are the fixed part of each class; the volume label is padded to
// the 24-byte structure clients read even for a one-letter share.
constexpr std::array<qi_layout, 8> kFsLayouts = {{
    // The smallest buffers are the structures' sizes as Windows declares
    // them, padded to 8 bytes: clients size their buffers by those.
    {kFsVolume, 24, 24, put_volume},
    {kFsSize, 24, 24, put_size},
    {kFsDevice, 8, 8, put_device},
    {kFsAttribute, 16, 20, put_attribute},
    {kFsControl, 48, 48, put_control},
    {kFsFullSize, 32, 32, put_full_size},
    {kFsObjectId, 64, 64, put_object_id},
    {kFsSectorSize, 28, 28, put_sector_size},
}};

}  // namespace

const qi_layout* qi_find_layout(std::span<const qi_layout> table, uint8_t cls) {
  for (const qi_layout& l : table) {
    if (l.cls == cls) return &l;
  }
  return nullptr;
}

const qi_layout* qi_fs_layout(uint8_t cls) { return qi_find_layout(kFsLayouts, cls); }

uint32_t qi_volume_serial(const tw3_open& o) {
  return uint32_t(tw3_fnv1a64(o.local_path, std::strlen(o.local_path), TW3_FNV_BASIS));
}

uint32_t qi_utf16(const char* text, std::span<uint8_t> out) {
  int32_t n = 0;
  if (tw3_utf8_to_utf16le(text, out.data(), int32_t(out.size()), &n) != 0 || n < 0) return 0;
  return uint32_t(n);
}
