// The one security descriptor every object carries (MS-DTYP 2.4.6, in its
// self-relative form): nothing can be changed through this server, so the
// descriptor says so rather than mirroring host permissions. Owner
// BUILTIN\Administrators, group BUILTIN\Users, and a DACL with one ACE that
// grants Everyone read and execute, inherited below a folder.
#include <array>

#include "smb/files.h"

namespace {

constexpr uint8_t kSdRevision = 1;
constexpr uint16_t kSeDaclPresent = 0x0004;
constexpr uint16_t kSeSelfRelative = 0x8000;
constexpr uint32_t kSdHeaderSize = 20;

constexpr uint8_t kAclRevision = 2;
constexpr uint32_t kAclHeaderSize = 8;
constexpr uint8_t kAccessAllowedAce = 0;
constexpr uint8_t kObjectInheritAce = 0x01;
constexpr uint8_t kContainerInheritAce = 0x02;
constexpr uint32_t kAceHeaderSize = 4;

// A SID (MS-DTYP 2.4.2.2) with the NT authority or the world authority and
// at most two sub-authorities.
struct sid {
  uint8_t authority;  // last byte of the 6-byte big-endian IdentifierAuthority
  uint8_t count;
  std::array<uint32_t, 2> sub;
  uint32_t size() const { return 8 + 4u * count; }
};

constexpr sid kAdministrators{5, 2, {32, 544}};  // S-1-5-32-544
constexpr sid kUsers{5, 2, {32, 545}};           // S-1-5-32-545
constexpr sid kEveryone{1, 1, {0, 0}};           // S-1-1-0

void put_sid(tw3_buf* b, const sid& s) {
  tw3_buf_byte(b, 1);  // Revision
  tw3_buf_byte(b, s.count);
  for (int i = 0; i < 5; ++i) tw3_buf_byte(b, 0);
  tw3_buf_byte(b, s.authority);
  for (uint8_t i = 0; i < s.count; ++i) w32(b, s.sub[i]);
}

uint32_t dacl_size() { return kAclHeaderSize + kAceHeaderSize + 4 + kEveryone.size(); }

void put_dacl(tw3_buf* b, bool is_dir) {
  tw3_buf_byte(b, kAclRevision);
  tw3_buf_byte(b, 0);
  w16(b, uint16_t(dacl_size()));
  w16(b, 1);  // AceCount
  w16(b, 0);
  tw3_buf_byte(b, kAccessAllowedAce);
  tw3_buf_byte(b, is_dir ? kObjectInheritAce | kContainerInheritAce : 0);
  w16(b, uint16_t(kAceHeaderSize + 4 + kEveryone.size()));
  w32(b, TW3_ACCESS_READ_EXECUTE);
  put_sid(b, kEveryone);
}

}  // namespace

uint32_t tw3_secdesc_size(uint32_t info) {
  uint32_t n = kSdHeaderSize;
  if (info & TW3_SECINFO_OWNER) n += kAdministrators.size();
  if (info & TW3_SECINFO_GROUP) n += kUsers.size();
  if (info & TW3_SECINFO_DACL) n += dacl_size();
  return n;
}

void tw3_secdesc_put(tw3_buf* b, uint32_t info, bool is_dir) {
  const bool owner = (info & TW3_SECINFO_OWNER) != 0;
  const bool group = (info & TW3_SECINFO_GROUP) != 0;
  const bool dacl = (info & TW3_SECINFO_DACL) != 0;
  // The parts follow the header in this order: owner, group, DACL.
  const uint32_t owner_at = kSdHeaderSize;
  const uint32_t group_at = owner_at + (owner ? kAdministrators.size() : 0);
  const uint32_t dacl_at = group_at + (group ? kUsers.size() : 0);
  tw3_buf_byte(b, kSdRevision);
  tw3_buf_byte(b, 0);
  w16(b, uint16_t(kSeSelfRelative | (dacl ? kSeDaclPresent : 0)));
  w32(b, owner ? owner_at : 0);
  w32(b, group ? group_at : 0);
  w32(b, 0);  // no SACL
  w32(b, dacl ? dacl_at : 0);
  if (owner) put_sid(b, kAdministrators);
  if (group) put_sid(b, kUsers);
  if (dacl) put_dacl(b, is_dir);
}
