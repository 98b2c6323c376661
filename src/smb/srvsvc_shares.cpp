// NetrShareEnum (MS-SRVS 3.1.4.8): the level the request asks for, and the
// answer's NDR stub at levels 0, 1 and 2 (MS-SRVS 2.2.4.22, 2.2.4.23,
// 2.2.4.24). Clients display the records of the level they asked for, so an
// answer at another level is misread (rpcclient asks for 2 and crashed on 1).
#include <array>
#include <memory>
#include <string_view>

#include "config/config.h"
#include "smb/files.h"

namespace {

// NDR referent identifiers; any non-zero value serves, distinct ones keep
// the stub readable in a capture. Each range holds 2048 entries.
constexpr uint32_t kRefContainer = 0x00010000;
constexpr uint32_t kRefBuffer = 0x00020000;
constexpr uint32_t kRefNetnameBase = 0x00022000;
constexpr uint32_t kRefRemarkBase = 0x00024000;
constexpr uint32_t kRefPathBase = 0x00026000;
constexpr uint32_t kNullPointer = 0;

constexpr uint32_t kStypeDisktree = 0;
constexpr uint32_t kStypeIpc = 3;
constexpr uint32_t kUsesUnlimited = 0xFFFFFFFF;  // shi2_max_uses
constexpr uint32_t kErrorInvalidLevel = 124;     // ERROR_INVALID_LEVEL
constexpr uint32_t kMaxServerNameUnits = 1024;   // more is no server name
constexpr int kMaxNameUnits = 128;               // UTF-16 units of one share name or remark

// NDR conformant varying string of UTF-16 units with a terminating zero unit,
// padded to 4 bytes. A name that is not valid UTF-8 is sent byte by byte.
void put_ndr_string(tw3_buf* out, const char* text) {
  std::array<uint8_t, 2 * kMaxNameUnits> units{};
  int32_t n16 = 0;
  if (tw3_utf8_to_utf16le(text, units.data(), int32_t(units.size()), &n16) != 0) {
    n16 = 0;
    for (const char* p = text; *p != 0 && n16 + 2 <= int32_t(units.size()); ++p) {
      units[size_t(n16)] = uint8_t(*p);
      n16 += 2;
    }
  }
  uint32_t count = uint32_t(n16 / 2) + 1;
  w32(out, count);  // maximum count
  w32(out, 0);      // offset
  w32(out, count);  // actual count
  tw3_buf_put(out, units.data(), uint64_t(n16));
  w16(out, 0);
  if ((count * 2) % 4 != 0) w16(out, 0);
}

bool is_ipc(const tw3_share& s) {
  return std::string_view(s.name) == "IPC$";
}

// The fixed part of one SHARE_INFO_0/1/2 record; its strings follow the array.
void put_record(tw3_buf* out, uint32_t level, uint32_t i, const tw3_share& s) {
  w32(out, kRefNetnameBase + 4 * i);
  if (level == 0) return;
  w32(out, is_ipc(s) ? kStypeIpc : kStypeDisktree);
  w32(out, kRefRemarkBase + 4 * i);
  if (level == 1) return;
  w32(out, 0);               // shi2_permissions: not used with user-level security
  w32(out, kUsesUnlimited);  // shi2_max_uses
  w32(out, 0);               // shi2_current_uses
  w32(out, kRefPathBase + 4 * i);
  w32(out, kNullPointer);    // shi2_passwd
}

// The strings a record points at. The host path stays private: shi2_path is empty.
void put_strings(tw3_buf* out, uint32_t level, const tw3_share& s) {
  put_ndr_string(out, s.name);
  if (level == 0) return;
  put_ndr_string(out, is_ipc(s) ? "IPC share" : "read-only share");
  if (level == 1) return;
  put_ndr_string(out, "");
}

}  // namespace

int64_t srvsvc_requested_level(std::span<const uint8_t> stub) {
  tw3_rd rd{stub.data(), stub.size(), 0, 0};
  if (rd_u32(&rd) != kNullPointer) {  // ServerName
    rd_skip(&rd, 8);  // maximum count, offset
    const uint32_t units = rd_u32(&rd);
    if (units > kMaxServerNameUnits) return -1;
    rd_skip(&rd, 2ull * units);
    rd_skip(&rd, (4 - rd.pos % 4) % 4);
  }
  const uint32_t level = rd_u32(&rd);
  return rd.bad ? -1 : int64_t(level);
}

void srvsvc_share_enum(uint32_t level, tw3_buf* out) {
  tw3_stat_add(ST_SRVSVC_QUERIES, 1);
  w32(out, level);
  w32(out, level);  // union discriminant
  if (level > 2) {
    w32(out, kNullPointer);  // no container
    w32(out, 0);             // TotalEntries
    w32(out, kNullPointer);  // ResumeHandle
    w32(out, kErrorInvalidLevel);
    return;
  }
  tw3_share* raw = nullptr;
  int n = 0;
  if (tw3_share_list(&raw, &n) != 0) {
    raw = nullptr;
    n = 0;
  }
  std::unique_ptr<tw3_share[]> shares(raw);
  w32(out, kRefContainer);
  w32(out, uint32_t(n));  // EntriesRead
  w32(out, kRefBuffer);
  w32(out, uint32_t(n));  // conformant array maximum count
  for (int i = 0; i < n; ++i) put_record(out, level, uint32_t(i), shares[size_t(i)]);
  for (int i = 0; i < n; ++i) put_strings(out, level, shares[size_t(i)]);
  w32(out, uint32_t(n));   // TotalEntries
  w32(out, kNullPointer);  // ResumeHandle
  w32(out, 0);             // return value: success
}
