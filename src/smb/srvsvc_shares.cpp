// The share operations of srvsvc, NetrShareEnum (MS-SRVS 3.1.4.8) at levels
// 0, 1, 2, 501 and 502 (MS-SRVS 2.2.4.22 to 2.2.4.26) and
// NetrShareEnumSticky (MS-SRVS 3.1.4.7) at those but 501, NetrShareGetInfo
// (MS-SRVS 3.1.4.10) at those and level 1005 (MS-SRVS 2.2.4.29) and
// NetrShareCheck (MS-SRVS 3.1.4.16), and the NDR pieces every srvsvc
// operation reads and writes. Clients display the records of the level they
// asked for, so an answer at another level is misread (rpcclient asks for 2
// and crashed on 1).
#include <algorithm>
#include <array>
#include <climits>
#include <memory>
#include <string_view>

#include "config/config.h"
#include "smb/files.h"

namespace {

// NDR referent identifiers; any non-zero value serves, distinct ones keep
// the stub readable in a capture. Each range holds 2048 entries.
constexpr uint32_t kRefContainer = 0x00010000;
constexpr uint32_t kRefBuffer = 0x00020000;
constexpr uint32_t kRefShareInfo = 0x00020000;  // NetrShareGetInfo's one record
constexpr uint32_t kRefNetnameBase = 0x00022000;
constexpr uint32_t kRefRemarkBase = 0x00024000;
constexpr uint32_t kRefPathBase = 0x00026000;
constexpr uint32_t kRefSecurityBase = 0x00028000;
constexpr uint32_t kNullPointer = 0;

constexpr uint32_t kStypeDisktree = 0;
constexpr uint32_t kStypeIpc = 3;
constexpr uint32_t kUsesUnlimited = 0xFFFFFFFF;  // shi2_max_uses
constexpr uint32_t kLevelWithFlags = 501;     // SHARE_INFO_501: 1's and the flags
constexpr uint32_t kLevelWithSecurity = 502;  // SHARE_INFO_502_I: 2's and a security descriptor
constexpr uint32_t kLevelShareFlags = 1005;   // SHARE_INFO_1005: the flags alone
// shi501_flags, shi1005_flags: manual client-side caching
// (CSC_CACHE_MANUAL_REINT) and no DFS, as TREE_CONNECT's ShareFlags say.
constexpr uint32_t kShareFlags = 0;
// The share's security descriptor is the one of every object: Everyone may
// read.
constexpr uint32_t kShareSecurityInfo = TW3_SECINFO_OWNER | TW3_SECINFO_GROUP | TW3_SECINFO_DACL;
constexpr uint32_t kNerrNetNameNotFound = 2310;  // NERR_NetNameNotFound
constexpr uint32_t kNerrDeviceNotShared = 2311;  // NERR_DeviceNotShared
constexpr int kMaxNameUnits = 128;               // UTF-16 units of one share name or remark
constexpr uint64_t kNdrAlign = 4;

// The levels answered with whole records; NetrShareGetInfo also answers
// 1005, the flags alone.
bool record_level(uint32_t level) {
  return level <= 2 || level == kLevelWithFlags || level == kLevelWithSecurity;
}

bool is_ipc(const tw3_share& s) {
  return std::string_view(s.name) == "IPC$";
}

// The fixed part of one SHARE_INFO_0/1/2/501/502 record (the i-th of an
// array); what it points at follows the fixed parts of all records.
void put_record(tw3_buf* out, uint32_t level, uint32_t i, const tw3_share& s) {
  w32(out, kRefNetnameBase + 4 * i);
  if (level == 0) return;
  w32(out, is_ipc(s) ? kStypeIpc : kStypeDisktree);
  w32(out, kRefRemarkBase + 4 * i);
  if (level == 1) return;
  if (level == kLevelWithFlags) return w32(out, kShareFlags);
  w32(out, 0);               // permissions: not used with user-level security
  w32(out, kUsesUnlimited);  // max_uses
  w32(out, 0);               // current_uses
  w32(out, kRefPathBase + 4 * i);
  w32(out, kNullPointer);    // passwd
  if (level == 2) return;
  w32(out, tw3_secdesc_size(kShareSecurityInfo));  // shi502_reserved: the descriptor's size
  w32(out, kRefSecurityBase + 4 * i);
}

// What a record points at. The host path stays private: the path is empty.
void put_pointees(tw3_buf* out, uint32_t level, const tw3_share& s) {
  ndr_put_string(out, s.name);
  if (level == 0) return;
  ndr_put_string(out, is_ipc(s) ? "IPC share" : "read-only share");
  if (level == 1 || level == kLevelWithFlags) return;
  ndr_put_string(out, "");
  if (level == 2) return;
  w32(out, tw3_secdesc_size(kShareSecurityInfo));  // conformant array: its size
  tw3_secdesc_put(out, kShareSecurityInfo, true);
  while (out->len % kNdrAlign != 0 && !out->failed) tw3_buf_byte(out, 0);
}

}  // namespace

void ndr_put_string(tw3_buf* out, const char* text) {
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
  if ((count * 2) % kNdrAlign != 0) w16(out, 0);
}

bool ndr_read_string(tw3_rd* rd, char* text, size_t cap) {
  if (cap != 0) text[0] = 0;
  const uint32_t max = rd_u32(rd);
  const uint32_t offset = rd_u32(rd);
  const uint32_t units = rd_u32(rd);
  if (offset != 0 || units > max) rd->bad = 1;
  if (rd->bad) return false;
  const uint8_t* p = rd_at(rd, rd->pos, 2ull * units);  // null past the stub's end
  rd_skip(rd, 2ull * units);
  if (p == nullptr || rd->bad) return false;
  // The padding up to the next field; a stub that ends with the string has none.
  rd->pos = std::min(rd->len, (rd->pos + kNdrAlign - 1) / kNdrAlign * kNdrAlign);
  if (cap == 0) return false;
  // The count includes the terminating zero; the conversion refuses a zero
  // before it, and a name too long for `text`.
  uint32_t n = units;
  if (n > 0 && p[2 * n - 2] == 0 && p[2 * n - 1] == 0) --n;
  if (tw3_utf16_to_utf8(p, 2ull * n, text, int32_t(std::min<size_t>(cap, INT_MAX))) >= 0) return true;
  text[0] = 0;
  return false;
}

void ndr_skip_server_name(tw3_rd* rd) {
  if (rd_u32(rd) == kNullPointer) return;  // a unique pointer: null, or the string follows
  ndr_read_string(rd, nullptr, 0);
}

void ndr_put_no_info(tw3_buf* out, uint32_t status) {
  w32(out, kNullPointer);
  w32(out, status);
}

namespace {

// NetrShareEnum and NetrShareEnumSticky: the same arguments and answer; the
// sticky list has no level 501 (MS-SRVS 3.1.4.7).
bool share_enum(std::span<const uint8_t> args, bool sticky, tw3_buf* out) {
  tw3_rd rd{args.data(), args.size(), 0, 0};
  ndr_skip_server_name(&rd);
  const uint32_t level = rd_u32(&rd);  // InfoStruct's Level
  if (rd.bad) return false;
  w32(out, level);
  w32(out, level);  // union discriminant
  if (!record_level(level) || (sticky && level == kLevelWithFlags)) {
    w32(out, kNullPointer);  // no container
    w32(out, 0);             // TotalEntries
    ndr_put_no_info(out, TW3_ERROR_INVALID_LEVEL);  // ResumeHandle, return value
    return true;
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
  for (int i = 0; i < n; ++i) put_pointees(out, level, shares[size_t(i)]);
  w32(out, uint32_t(n));   // TotalEntries
  w32(out, kNullPointer);  // ResumeHandle
  w32(out, 0);             // return value: success
  return true;
}

}  // namespace

bool srvsvc_share_enum(std::span<const uint8_t> args, tw3_buf* out) { return share_enum(args, false, out); }

bool srvsvc_share_enum_sticky(std::span<const uint8_t> args, tw3_buf* out) { return share_enum(args, true, out); }

bool srvsvc_share_get_info(std::span<const uint8_t> args, tw3_buf* out) {
  tw3_rd rd{args.data(), args.size(), 0, 0};
  ndr_skip_server_name(&rd);
  std::array<char, TW3_SHARE_NAME_MAX + 1> name{};  // a longer name is no share's
  ndr_read_string(&rd, name.data(), name.size());   // NetName
  const uint32_t level = rd_u32(&rd);
  if (rd.bad) return false;
  w32(out, level);  // union discriminant
  tw3_share share{};
  if (!record_level(level) && level != kLevelShareFlags) {
    ndr_put_no_info(out, TW3_ERROR_INVALID_LEVEL);
  } else if (name[0] == 0 || tw3_share_find(name.data(), &share) != 0) {
    ndr_put_no_info(out, kNerrNetNameNotFound);
  } else {
    w32(out, kRefShareInfo);
    if (level == kLevelShareFlags) {
      w32(out, kShareFlags);
    } else {
      put_record(out, level, 0, share);
      put_pointees(out, level, share);
    }
    w32(out, 0);  // return value: success
  }
  return true;
}

bool srvsvc_share_check(std::span<const uint8_t> args, tw3_buf* out) {
  tw3_rd rd{args.data(), args.size(), 0, 0};
  ndr_skip_server_name(&rd);
  std::array<char, 1> device{};  // room for the empty path alone
  const bool empty = ndr_read_string(&rd, device.data(), device.size());
  if (rd.bad) return false;
  // The answer agrees with the paths the shares report, which keep the host
  // paths private: every share's is empty, IPC$'s first. Any other device
  // is not shared.
  w32(out, empty ? kStypeIpc : 0);  // Type
  w32(out, empty ? 0 : kNerrDeviceNotShared);
  return true;
}
