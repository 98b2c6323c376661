// Directory-entry layouts of QUERY_DIRECTORY (MS-FSCC 2.4) and the 8.3 short
// names some of them carry.
#include <array>
#include <cstring>
#include <string>

#include "smb/files.h"

namespace {

struct dir_class {
  uint8_t cls;
  uint32_t fixed;  // bytes before the name; the name starts right there
};

constexpr std::array<dir_class, 6> kClasses = {{
    {FILE_DIRECTORY_INFORMATION, 64},
    {FILE_FULL_DIRECTORY_INFORMATION, 68},
    {FILE_BOTH_DIRECTORY_INFORMATION, 94},
    {FILE_NAMES_INFORMATION, 12},
    {FILE_ID_BOTH_DIRECTORY_INFORMATION, 104},
    {FILE_ID_FULL_DIRECTORY_INFORMATION, 80},
}};

constexpr size_t kShortNameBytes = 24;
constexpr size_t kShortBaseMax = 8;
constexpr size_t kShortExtMax = 3;

void upper_ascii(std::string_view in, std::string& out) {
  for (char c : in) out.push_back(c >= 'a' && c <= 'z' ? char(c - 32) : c);
}

// The times, sizes and attributes shared by every class but names-only.
void put_common(tw3_buf* b, const tw3_vent& e, std::span<const uint8_t> name16) {
  w64(b, tw3_filetime(e.mtime));  // CreationTime: listings send the write time
  w64(b, tw3_filetime(e.atime));
  w64(b, tw3_filetime(e.mtime));
  w64(b, tw3_filetime(e.btime));  // ChangeTime
  w64(b, e.size);
  w64(b, tw3_alloc_size(e.size));
  w32(b, e.target_kind == TW3_KIND_DIR ? TW3_ATTR_DIR : TW3_ATTR_FILE);
  w32(b, uint32_t(name16.size()));
}

void put_short_name(tw3_buf* b, const char* name) {
  std::array<uint8_t, kShortNameBytes> sn{};
  int n = dirinfo_short_name(name, sn.data());
  tw3_buf_byte(b, n);
  tw3_buf_byte(b, 0);
  tw3_buf_put(b, sn.data(), sn.size());
}

}  // namespace

uint64_t tw3_alloc_size(uint64_t size) {
  uint64_t rest = size % TW3_ALLOC_UNIT;
  if (rest == 0) return size;
  uint64_t up = size - rest + TW3_ALLOC_UNIT;
  return up < size ? size - rest : up;  // no wrap for absurd sizes
}

uint32_t dirinfo_fixed_size(uint8_t cls) {
  for (const dir_class& c : kClasses) {
    if (c.cls == cls) return c.fixed;
  }
  return 0;
}

uint64_t dirinfo_entry_size(uint8_t cls, uint64_t name16_len) {
  uint64_t n = dirinfo_fixed_size(cls) + name16_len;
  return (n + 7) & ~uint64_t(7);
}

int dirinfo_short_name(const char* name, uint8_t out[24]) {
  std::memset(out, 0, kShortNameBytes);
  std::string_view full(name);
  size_t dot = full.rfind('.');
  std::string_view base = dot == std::string_view::npos ? full : full.substr(0, dot);
  std::string_view ext = dot == std::string_view::npos ? std::string_view() : full.substr(dot + 1);
  if (base.empty() || base.size() > kShortBaseMax || ext.size() > kShortExtMax) return 0;
  if (dot != std::string_view::npos && ext.empty() && base.size() == kShortBaseMax) return 0;
  std::string shortname;
  upper_ascii(base, shortname);
  if (!ext.empty()) {
    shortname.push_back('.');
    upper_ascii(ext, shortname);
  }
  int32_t n16 = 0;
  if (tw3_utf8_to_utf16le(shortname.c_str(), out, int32_t(kShortNameBytes), &n16) != 0 ||
      n16 <= 0 || n16 > int32_t(kShortNameBytes)) {
    std::memset(out, 0, kShortNameBytes);
    return 0;
  }
  return n16;
}

void dirinfo_put(tw3_buf* b, uint8_t cls, const tw3_vent& e, uint32_t file_index,
                 std::span<const uint8_t> name16) {
  uint64_t start = b->len;
  w32(b, 0);  // NextEntryOffset, set by the caller once the next entry is known
  w32(b, file_index);
  if (cls == FILE_NAMES_INFORMATION) {
    w32(b, uint32_t(name16.size()));
  } else {
    put_common(b, e, name16);
  }
  if (cls != FILE_DIRECTORY_INFORMATION && cls != FILE_NAMES_INFORMATION) w32(b, 0);  // EaSize
  if (cls == FILE_BOTH_DIRECTORY_INFORMATION || cls == FILE_ID_BOTH_DIRECTORY_INFORMATION) {
    put_short_name(b, e.name);
  }
  if (cls == FILE_ID_BOTH_DIRECTORY_INFORMATION) {
    w16(b, 0);  // Reserved2
    w64(b, e.file_index);
  } else if (cls == FILE_ID_FULL_DIRECTORY_INFORMATION) {
    w32(b, 0);  // Reserved
    w64(b, e.file_index);
  }
  tw3_buf_put(b, name16.data(), name16.size());
  uint64_t want = dirinfo_entry_size(cls, name16.size());
  while (!b->failed && b->len - start < want) tw3_buf_byte(b, 0);
}
